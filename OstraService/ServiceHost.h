// CServiceHost: the one service object of the process.
//
// It owns what the running host needs: its own parsed copy of the
// configuration, the process-wide log with its file stream and formatter,
// the stream that hands log lines to the control plug-in, the control
// plug-in, and one CProtocolApp per configured protocol.
//
// serve() is the run sequence: set-up (read the configuration, load the
// control plug-in, create the protocols), wake-up passes until told to stop
// (in service mode when isRunning() turns false; in console mode when the
// stop key is pressed or a stop is requested), then the stop sequence.
//
// The host lock guards the protocol list and every start or stop of the
// protocols, and is the only lock under which the configuration tree is
// read. It is held during set-up, during each wake-up pass (not during the
// millisecond the pass sleeps), during the stop sequence and during each
// control request. Requests wait for it in the order they came
// (InterruptibleLock.h); between passes the run loop steps aside while
// requests are waiting, so they are served promptly.
//
// Control requests, and what they get:
//   - on the plug-in's own threads: served at once, under the host lock;
//   - from inside the processRecord that answers a STATUS: served at once
//     on that thread, up to four deep;
//   - from inside processLog, or nested deeper than that: deferred to the
//     run loop, which serves them between passes (DeferredRequests.h), so
//     no plug-in mistake can deadlock the host or recurse without end;
//   - from inside the control plug-in's start() during set-up: served at
//     once (the host lock is re-entrant) and see the protocols made so far;
//   - once the stop sequence has begun, until the control plug-in is
//     stopped: STATUS is answered "STOPPED" at once, without the lock, and
//     CONTROL is ignored. A plug-in whose stop() joins a thread that is
//     waiting to make a request thus never deadlocks the stop.
//
// Reload. `OstraService reload` (systemd's ExecReload) reaches the running
// host over its reload channel (StatusChannel.h); the run loop, between
// passes, reads the configuration again and applies the difference:
//   - a configuration `check` would find a problem in is refused whole:
//     nothing changes, one ERROR line per problem ("FILE:LINE: text"),
//     and `status`, METRICS and the console say "reload refused" until a
//     reload takes;
//   - a protocol whose entry says the same (names, types and values;
//     SettingText.h) keeps running with its connections, its counters and
//     its plug-ins; a changed entry's protocol is stopped and started anew
//     with the new settings (also when a command had stopped it: the
//     operator asked for the new settings to run); an added one starts; a
//     removed one stops. Matching is by name, then by entry;
//   - the log level applies to the host, every protocol and every plug-in
//     at once; the log file takes the new size, rotation and path;
//   - "wakeupwait" applies; the control plug-in keeps the settings it was
//     started with (it carries the console the reload may have come from)
//     and a change to them is logged as waiting for the next start.
// Control requests wait for the host lock as during a pass; records keep
// flowing through every protocol that is not restarted. SIGHUP still only
// reopens the log file, so logrotate never applies a half-edited file.
//
// Configuration faults. A protocols entry the host cannot use (no "name",
// or a value of the wrong type found while it is set up) ends the walk
// over the list, as before, with one ERROR line naming the entry and the
// setting. A wrong-typed value found later (a wake-up pass or a CONTROL
// START reaching a part of the entry that the first attempt did not) fails
// that attempt only, and is logged once per protocol and fault, not on
// every pass.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <libconfig.h++>
#include <memory>
#include <string>
#include <vector>

#include "OstraService/ControlLogStream.h"
#include "OstraService/DeferredRequests.h"
#include "OstraService/FirstFailureLogFile.h"
#include "OstraService/InterruptibleLock.h"
#include "OstraService/LogLineCounts.h"
#include "OstraService/MetricsAnswer.h"
#include "OstraService/ProtocolApp.h"
#include "OstraService/ReportSampler.h"
#include "OstraService/StatusChannel.h"
#include "OstraService/StatusReport.h"
#include "common/log/CLog.h"
#include "common/log/CStdLogFormat.h"
#include "common/log/flogstream.h"
#include "platform/Mutex.h"
#include "platform/winapi.h"
#include "plugin/CControlPlugin.h"
#include "service/CService.h"

namespace ostra {
class ConsoleKeyboard;
}

class CServiceHost : public CService {
public:
    // In console mode, passes over the protocols are wakeUpWait x 100 ms
    // apart: a second unless the configuration says "wakeupwait". A value
    // below 1 counts as 1, so that the stop key is always watched.
    static constexpr int kDefaultWakeUpWait = 10;
    static constexpr int kStopKey = 'S';
    // The exit code of a run whose set-up failed (the configuration is
    // missing, malformed or incomplete): EX_CONFIG, which the systemd unit
    // names in RestartPreventExitStatus, so a bad file is not retried.
    static constexpr int kSetUpFailed = 78;

    CServiceHost();
    ~CServiceHost() override;

    // The service body: "Service started", serve(false, 'S'), "Service stopped".
    void run() override;

    // The run sequence; returns once everything is stopped. `console`: end
    // on `stopKey` (compared upper-cased) or a stop request; otherwise end
    // when isRunning() turns false. Runs once per process.
    void serve(bool console, int stopKey);

    // With a path: attaches the log file at `path` (with the size and
    // rotation set before), the formatter and the service name. Always
    // returns the host's log.
    CLog* getLog(const char* path);

    // An INFO line of the host's life (the service or the console started or
    // stopped, the service installed or removed), written whatever the
    // configured level: the level filters the relay's trace and the
    // plug-ins' chatter, not when the service ran. Any thread.
    void logMilestone(int line, const char* text);

    // A service run without a log file of its own: the log file at `path`
    // is opened by the first ERROR line (FirstFailureLogFile.h).
    void openLogFileOnFirstFailure(const std::string& path);

    // SIGHUP: the log file is opened again at its path (logrotate moved it).
    void onReopenLogRequest() override;

    void setLogMaxSize(int megabytes) { logMaxSize = megabytes; }
    void setLogRotate(int count) { logRotate = count; }
    // Whether getLog has opened a log file.
    bool hasLogFile() const { return logsToFile; }
    int getLogMaxSize() const { return logMaxSize; }
    int getLogRotate() const { return logRotate; }

    // serve() then opens the status channel (StatusChannel.h) once set up
    // and past its first pass, and closes it at the end of the stop sequence. The executable asks
    // for it; hosts run inside other programs (tests) go without.
    void enableStatusChannel() { statusChannelWanted = true; }

    // The reload channel's client: asks the run loop for a reload and waits
    // for its outcome (exit code 0 applied, 1 refused, 3 the host is
    // stopping). Any thread but the run loop's.
    StatusReply requestReload();

    // A reload's new log file path: opened at once when it differs.
    void moveLogFile(const std::string& path);

    // The control plug-in's EventProc; `context` is the host. Returns 0.
    static int controlEventProc(void* context, void* sender, int tag, Record* record);
    // One control request: STATUS is answered through `sender`, CONTROL
    // START/STOP starts (forced) or stops every protocol, CONTROL_PROTOCOL
    // the one its "PROTOCOL" names. Returns 0. See above for requests that
    // are deferred or answered while stopping.
    int handleControlRecord(CControlPlugin* sender, int tag, Record* record);

private:
    struct HostedProtocol {
        std::unique_ptr<CProtocolApp> app;
        std::string name;
        std::string reportedFault;  // the last configuration fault logged for it
        std::string entryText;      // its entry as SettingText.h writes it
        // The tree its entry lives in: kept while the app (and plug-ins that
        // may hold on to their groups) run, whatever a reload reads later.
        std::shared_ptr<libconfig::Config> tree;
    };

    bool setUp() OSTRA_REQUIRES(hostLock);
    // Logs a set-up failure, and reports it to the Event Log (Windows).
    void setUpFailed(const std::string& text);
    void createProtocols(libconfig::Setting& list) OSTRA_REQUIRES(hostLock);
    // Makes the app of protocol entry `index` of the current tree into
    // `made`. False when the entry ends the walk over the list (logged);
    // `made.app` stays empty when the app could not be allocated.
    bool makeProtocol(libconfig::Setting& entry, int index, HostedProtocol& made)
        OSTRA_REQUIRES(hostLock);
    // The run loop's part of a reload (see above), when one was asked for.
    void serveReloadRequest();
    StatusReply reloadConfiguration();
    // Applies `fresh`, found sound, under the host lock; says what it did.
    std::string applyConfiguration(const std::shared_ptr<libconfig::Config>& fresh)
        OSTRA_REQUIRES(hostLock);
    // Notes the configuration now in force, for METRICS (a reload refused
    // before it is forgotten); returns its hash.
    std::string noteConfiguration(const libconfig::Config& inForce);
    void wakeProtocols();
    // The status line for the service manager, when one is due, and the
    // Event Log's line for a protocol that failed or runs again.
    void reportStatusWhenDue();
    void serveDeferredRequests();
    void answerStatus(CControlPlugin* sender, int tag, const Record& request, const char* state);
    // STATUS and METRICS once the stop sequence has begun: answered at once,
    // without the lock, every protocol STOPPED.
    void answerWhileStopping(CControlPlugin* sender, int tag, const Record& request);
    // The answer to METRICS, `state` being STATUS's answer.
    void answerMetrics(CControlPlugin* sender, int tag, const Record& request, const char* state);
    // START or STOP ("TYPE") of every protocol, or when `named` of the one
    // the request's "PROTOCOL" names.
    void controlProtocols(const Record& request, bool named) OSTRA_REQUIRES(hostLock);
    // Delivers an answer through the sender's processRecord.
    void deliverAnswer(CControlPlugin* sender, int tag, Record& answer);
    // A wrong-typed value met by a later start of protocol `index`: one
    // ERROR line, unless the same fault was the last one logged for it.
    void reportProtocolFault(size_t index, const libconfig::ConfigException& error)
        OSTRA_REQUIRES(hostLock);
    // Console mode: up to wakeUpWait x 100 one-millisecond ticks watching
    // the keyboard (at least 100). True when the run is to end: the stop
    // key, in either case, or a stop request.
    bool watchKeyboard(ostra::ConsoleKeyboard& keyboard, int stopKey);
    void stopSequence();
    // A status channel client's reply: the answer to a METRICS request made
    // through handleControlRecord, as a control plug-in makes it.
    std::string statusChannelReply();
    std::function<void(const char*)> controlFault(const char* operation);

    std::vector<HostedProtocol> protocols OSTRA_GUARDED_BY(hostLock);
    // Every protocol's counters, in order: filled by the set-up, unchanged
    // after it, and kept through the stop sequence (read without the lock
    // once `stopping` is up).
    std::vector<std::shared_ptr<metrics::ProtocolCounters>> protocolCounters;
    std::shared_ptr<libconfig::Config> config OSTRA_GUARDED_BY(hostLock);
    // The tree the control plug-in was started with; a reload keeps it.
    std::shared_ptr<libconfig::Config> controlTree;
    std::string controlText;  // its group as SettingText.h writes it
    int wakeUpWait;
    CRITICAL_SECTION hostLock;
    WaitLine hostLine;  // control requests waiting for hostLock, in turn
    CControlLogStream controlStream;
    CLog log;
    CLog milestoneLog;  // the host log's streams at INFO, for logMilestone
    CStdLogFormat formatter;
    LogLineCounts logLineCounts;  // before fileStream, which counts into it
    flogstream fileStream;
    std::unique_ptr<FirstFailureLogFile> fileOnFailure;
    bool logsToFile = false;
    std::string logPath;  // the log file's, once getLog opened one
    int logMaxSize;
    int logRotate;

    CControlPlugin* control;
    std::string controlDll;
    // What the plug-ins say of themselves: the control plug-in's slot (the
    // protocols' are in their counters), the numbers' descriptions, and the
    // thread that asks them, from the set-up to the stop sequence.
    const std::shared_ptr<reports::ReportSlot> controlReport;
    const std::shared_ptr<reports::NumberCatalog> numberCatalog;
    std::unique_ptr<ReportSampler> sampler;
    std::atomic<bool> stopping;
    std::atomic<int> requestsWaiting;
    DeferredRequests deferred;
    std::chrono::steady_clock::time_point startedAt;
    StatusReport status;  // the run loop's
    std::chrono::steady_clock::time_point nextStatusLook;
    std::atomic<std::uint64_t> requestsServed{0};
    std::atomic<std::uint64_t> requestsDeferred{0};
    bool statusChannelWanted = false;
    std::unique_ptr<StatusChannel> statusChannel;  // the run's, while it is served
    std::unique_ptr<StatusChannel> reloadChannel;  // opened and closed with it

    // A reload asked for on the reload channel's thread, carried out by the
    // run loop.
    ostra::Mutex reloadLock;
    ostra::Condition reloadDone;
    std::uint64_t reloadsAsked OSTRA_GUARDED_BY(reloadLock) = 0;
    std::uint64_t reloadsDone OSTRA_GUARDED_BY(reloadLock) = 0;
    StatusReply lastReload OSTRA_GUARDED_BY(reloadLock);
    std::atomic<bool> reloadWanted{false};

    // The configuration in force, for METRICS: its hash, when it was read,
    // and why the last reload was refused ("" once one takes).
    ostra::Mutex configInfoLock;
    std::string configHash OSTRA_GUARDED_BY(configInfoLock);
    long long configLoadedAt OSTRA_GUARDED_BY(configInfoLock) = 0;
    std::string reloadRefusal OSTRA_GUARDED_BY(configInfoLock);
};
