// Requests of the control plug-in: STATUS and CONTROL START/STOP.
#include "OstraService/InterruptibleLock.h"
#include "OstraService/PluginCalls.h"
#include "OstraService/ServiceHost.h"
#include "OstraService/Text.h"
#include "common/Record.h"

int CServiceHost::controlEventProc(void* context, void* sender, int tag, Record* record) {
    auto* host = static_cast<CServiceHost*>(context);
    if (host == nullptr) return 0;
    return host->handleControlRecord(static_cast<CControlPlugin*>(sender), tag, record);
}

int CServiceHost::handleControlRecord(CControlPlugin* sender, int tag, Record* record) {
    if (record == nullptr) return 0;
    Record answer;
    answer = *record;

    InterruptibleLock hostGuard(hostLock, stopping, &requestsWaiting);
    if (!hostGuard.acquire()) return 0;  // the host is stopping

    const char* command = record->get("CMD");
    if (text::equalsIgnoreCase(command, "STATUS")) {
        answer.set("CMD", "ANSWER");
        bool allRunning = true;
        for (CProtocolApp* app : protocols) {
            if (!app->isRunning()) allRunning = false;  // every one is asked
        }
        answer.set("ANSWER", allRunning ? "STARTED" : "STOPPED");
        if (sender != nullptr)
            plugin_calls::guard(0, [&] { return sender->processRecord(tag, &answer); },
                                controlFault("processRecord"));
    } else if (text::equalsIgnoreCase(command, "CONTROL")) {
        const char* type = record->get("TYPE");
        if (text::equalsIgnoreCase(type, "START")) {
            for (CProtocolApp* app : protocols) {
                try {
                    app->start(true);
                } catch (const libconfig::ConfigException&) {
                    // A value of the wrong type fails this start only.
                }
            }
        } else if (text::equalsIgnoreCase(type, "STOP")) {
            for (CProtocolApp* app : protocols) app->stop();
        }
    }
    return 0;
}
