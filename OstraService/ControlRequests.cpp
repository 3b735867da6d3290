// Requests of the control plug-in (STATUS, METRICS, CONTROL and
// CONTROL_PROTOCOL START/STOP), and of the status channel.
#include "OstraService/ControlLogStream.h"
#include "OstraService/InterruptibleLock.h"
#include "OstraService/KeptAnswer.h"
#include "OstraService/Messages.h"
#include "OstraService/PluginCalls.h"
#include "OstraService/ServiceHost.h"
#include "OstraService/Text.h"
#include "common/Record.h"

namespace {
const char kSource[] = "OstraService";

// How many answers this thread is delivering right now. A request raised
// from inside the processRecord that answers another one is served in
// place (the host lock is re-entrant) up to this depth, and deferred
// beyond it, so a plug-in that asks again in every answer cannot recurse
// without end.
constexpr int kMaxNestedRequests = 4;
thread_local int answering = 0;

// A copy of the request, as an answer in `state` (STARTED or STOPPED).
Record answerTo(const Record& request, const char* state) {
    Record answer(request);
    answer.set("CMD", "ANSWER");
    answer.set("ANSWER", state);
    return answer;
}

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
        if (!stopping.load()) {
            if (deferred.push(sender, tag, *record))
                requestsDeferred.fetch_add(1, std::memory_order_relaxed);
        } else if (answering == 0) {
            answerWhileStopping(sender, tag, *record);
        }
        return 0;
    }
    InterruptibleLock hostGuard(hostLock, hostLine, stopping, &requestsWaiting);
    if (!hostGuard.acquire()) {
        answerWhileStopping(sender, tag, *record);
        return 0;
    }
    requestsServed.fetch_add(1, std::memory_order_relaxed);

    const char* command = record->get("CMD");
    bool isStatus = text::equalsIgnoreCase(command, "STATUS");
    if (isStatus || text::equalsIgnoreCase(command, "METRICS")) {
        bool allRunning = true;
        for (auto& protocol : protocols) {
            if (!protocol.app->isRunning()) allRunning = false;  // every one is asked
        }
        if (isStatus)
            answerStatus(sender, tag, *record, allRunning ? "STARTED" : "STOPPED");
        else
            answerMetrics(sender, tag, *record, allRunning ? "STARTED" : "STOPPED");
    } else if (text::equalsIgnoreCase(command, "CONTROL")) {
        // Every protocol, whatever else the request carries: a plug-in may
        // use any key of its own, "PROTOCOL" included.
        controlProtocols(*record, false);
    } else if (text::equalsIgnoreCase(command, "CONTROL_PROTOCOL")) {
        controlProtocols(*record, true);
    }
    return 0;
}

void CServiceHost::controlProtocols(const Record& request, bool named) {
    const char* type = request.get("TYPE");
    bool start = text::equalsIgnoreCase(type, "START");
    if (!start && !text::equalsIgnoreCase(type, "STOP")) return;
    // A missing or empty name names no protocol.
    const std::string only = named ? request.get("PROTOCOL") : "";
    bool found = !named;
    for (size_t index = 0; index < protocols.size(); ++index) {
        if (named && protocols[index].name != only) continue;
        found = true;
        if (!start) {
            protocols[index].app->stop();
            continue;
        }
        try {
            protocols[index].app->start(true);
        } catch (const libconfig::ConfigException& error) {
            reportProtocolFault(index, error);  // this start fails, the others go on
        }
    }
    // Who did what stays on record: a protocol that stops is otherwise
    // a mystery in the log.
    log.log(LOG_LEVEL_INFO, kSource, __LINE__,
            messages::controlAction(start, named, only, found, request.get("ORIGIN")).c_str());
}

void CServiceHost::answerStatus(CControlPlugin* sender, int tag, const Record& request,
                                const char* state) {
    if (sender == nullptr) return;
    Record answer = answerTo(request, state);
    deliverAnswer(sender, tag, answer);
}

void CServiceHost::answerMetrics(CControlPlugin* sender, int tag, const Record& request,
                                 const char* state) {
    if (sender == nullptr) return;
    HostNumbers host;
    host.uptimeSeconds =
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                       std::chrono::steady_clock::now() - startedAt)
                                       .count());
    host.logLines = logLineCounts.written.load(std::memory_order_relaxed);
    host.logLinesLost = logLineCounts.lost.load(std::memory_order_relaxed);
    host.logLosing = logLineCounts.losing.load(std::memory_order_relaxed);
    host.requests = requestsServed.load(std::memory_order_relaxed);
    host.requestsDeferred = requestsDeferred.load(std::memory_order_relaxed);
    {
        ostra::MutexLock hold(configInfoLock);
        host.configuration = configHash;
        host.configurationLoaded = configLoadedAt;
        host.reloadRefused = reloadRefusal;
    }
    Record answer = answerTo(request, state);
    HostReports reports;
    reports.control = controlReport.get();
    reports.controlDll = controlDll;
    reports.catalog = numberCatalog.get();
    writeMetrics(host, protocolCounters, stopping.load(), answer, reports);
    deliverAnswer(sender, tag, answer);
}

void CServiceHost::deliverAnswer(CControlPlugin* sender, int tag, Record& answer) {
    AnsweringScope scope;
    plugin_calls::guard(
        0, [&] { return sender->processRecord(tag, &answer); }, controlFault("processRecord"));
}

void CServiceHost::answerWhileStopping(CControlPlugin* sender, int tag, const Record& request) {
    const char* command = request.get("CMD");
    if (text::equalsIgnoreCase(command, "STATUS")) {
        requestsServed.fetch_add(1, std::memory_order_relaxed);
        answerStatus(sender, tag, request, "STOPPED");
    } else if (text::equalsIgnoreCase(command, "METRICS")) {
        requestsServed.fetch_add(1, std::memory_order_relaxed);
        answerMetrics(sender, tag, request, "STOPPED");
    }
}

void CServiceHost::serveDeferredRequests() {
    deferred.drain([this](DeferredRequests::Request& request) {
        handleControlRecord(request.sender, request.tag, &request.record);
    });
}

std::string CServiceHost::statusChannelReply() {
    try {
        KeptAnswer kept;
        Record request;
        request.set("CMD", "METRICS");
        handleControlRecord(&kept, 0, &request);
        if (!text::equalsIgnoreCase(kept.answer.get("CMD"), "ANSWER"))
            return encodeStatusReply(StatusReply{kStatusUnknown, "No answer from the host\n"});
        return encodeStatusReply(statusReply(getName(), stopping.load(), kept.answer));
    } catch (const std::exception&) {
        // Out of memory, say: this client goes without, the host runs on.
        return std::string();
    }
}
