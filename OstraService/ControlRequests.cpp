// Requests of the control plug-in: STATUS and CONTROL START/STOP.
#include "OstraService/ControlLogStream.h"
#include "OstraService/InterruptibleLock.h"
#include "OstraService/PluginCalls.h"
#include "OstraService/ServiceHost.h"
#include "OstraService/Text.h"
#include "common/Record.h"

namespace {
// How many answers this thread is delivering right now. A request raised
// from inside the processRecord that answers another one is served in
// place (the host lock is re-entrant) up to this depth, and deferred
// beyond it, so a plug-in that asks again in every answer cannot recurse
// without end.
constexpr int kMaxNestedRequests = 4;
thread_local int answering = 0;

class AnsweringScope {
public:
    AnsweringScope() { ++answering; }
    ~AnsweringScope() { --answering; }
};
}  // namespace

int CServiceHost::controlEventProc(void* context, void* sender, int tag, Record* record) {
    auto* host = static_cast<CServiceHost*>(context);
    if (host == nullptr) return 0;
    return host->handleControlRecord(static_cast<CControlPlugin*>(sender), tag, record);
}

int CServiceHost::handleControlRecord(CControlPlugin* sender, int tag, Record* record) {
    if (record == nullptr) return 0;
    if (answering >= kMaxNestedRequests || CControlLogStream::deliveringOnThisThread()) {
        // Waiting for the host lock here could deadlock (see
        // DeferredRequests.h). Once the host is stopping, the answer to
        // STATUS is known and needs no lock, but not from inside an answer:
        // that would recurse.
        if (!stopping.load())
            deferred.push(sender, tag, *record);
        else if (answering == 0)
            answerStatusWhileStopping(sender, tag, *record);
        return 0;
    }
    InterruptibleLock hostGuard(hostLock, hostLine, stopping, &requestsWaiting);
    if (!hostGuard.acquire()) {
        answerStatusWhileStopping(sender, tag, *record);
        return 0;
    }

    const char* command = record->get("CMD");
    if (text::equalsIgnoreCase(command, "STATUS")) {
        bool allRunning = true;
        for (auto& protocol : protocols) {
            if (!protocol.app->isRunning()) allRunning = false;  // every one is asked
        }
        answerStatus(sender, tag, *record, allRunning ? "STARTED" : "STOPPED");
    } else if (text::equalsIgnoreCase(command, "CONTROL")) {
        const char* type = record->get("TYPE");
        if (text::equalsIgnoreCase(type, "START")) {
            for (size_t index = 0; index < protocols.size(); ++index) {
                try {
                    protocols[index].app->start(true);
                } catch (const libconfig::ConfigException& error) {
                    reportProtocolFault(index, error);  // this start fails, the others go on
                }
            }
        } else if (text::equalsIgnoreCase(type, "STOP")) {
            for (auto& protocol : protocols) protocol.app->stop();
        }
    }
    return 0;
}

void CServiceHost::answerStatus(CControlPlugin* sender, int tag, const Record& request,
                                const char* state) {
    if (sender == nullptr) return;
    Record answer;
    answer = request;
    answer.set("CMD", "ANSWER");
    answer.set("ANSWER", state);
    AnsweringScope scope;
    plugin_calls::guard(
        0, [&] { return sender->processRecord(tag, &answer); }, controlFault("processRecord"));
}

void CServiceHost::answerStatusWhileStopping(CControlPlugin* sender, int tag,
                                             const Record& request) {
    if (text::equalsIgnoreCase(request.get("CMD"), "STATUS"))
        answerStatus(sender, tag, request, "STOPPED");
}

void CServiceHost::serveDeferredRequests() {
    deferred.drain([this](DeferredRequests::Request& request) {
        handleControlRecord(request.sender, request.tag, &request.record);
    });
}
