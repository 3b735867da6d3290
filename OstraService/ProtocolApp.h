// CProtocolApp: one entry of the configuration list "protocols".
//
// It owns the entry's protocol plug-in and its database plug-ins, hands
// each of them the service's log settings, wires them to the two relay
// procedures, and offers the host init, start, stop and isRunning.
//
//   Waiting           no plug-ins; start(false) tries again once the
//                     retry is due (RetryPacing.h: 1 s after a failure,
//                     then 2, 4, 8, 16 and at most 30 s)
//   Set up            plug-ins created and started; start returns at once
//   Stopped           stop() ran; start(false) does nothing until a
//                     start(true)
//
// A database library that cannot be made is left out: the protocol runs
// without it and is DEGRADED, not RUNNING, until a start finds it.
//
// Reports. Each started plug-in whose library exports a report is attached
// to its slot in the counters (PluginReports.h) right after its start, and
// every slot is detached before the first stop() of a teardown, which waits
// for a report in progress: the sampler never reports on a stopped object.
//
// An attempt fails when the protocol library cannot be made, the type is
// unknown, a key is missing, or the protocol or a database plug-in refuses
// its start; what was made of it is stopped and destroyed (a protocol
// plug-in that refused gets its stop(), then its destructor), so a failing
// protocol holds no port between its attempts. A start(true) tries at
// once whatever the pacing. An attempt that fails as the one before it did
// writes its lines once, then once a minute with a count
// (RepeatedFailures.h).
//
// Locks. Every operation holds the app lock (a critical section, re-entrant
// for its owner) while it calls the plug-ins. Callers hold the host lock,
// because the operations read the entry from the host's configuration tree,
// which is not thread safe. The relay procedures take only the app lock,
// and release it around every call into a plug-in.
//
// Tearing down while records are relayed. stop() (and a start whose
// database plug-in refuses) must destroy plug-ins that other threads may be
// calling through the relay at that very moment, and a plug-in's stop()
// typically signals its worker thread and joins it while that worker is
// raising an event. Three rules make this safe:
//   1. Before it stops any plug-in, the teardown raises a flag. A relay
//      waits for the app lock only while the flag is down: it waits in
//      line for it (InterruptibleLock.h) and, once the flag is up, gives up
//      and answers 3. So a worker blocked in its EventProc is released and
//      the plug-in's stop() can join it.
//   2. Every relay counts itself in for as long as it runs, and the
//      teardown destroys nothing until that count is back to zero. A relay
//      is therefore never inside a plug-in (or the app) that is destroyed.
//   3. Each teardown moves the app to a new generation. A relay that comes
//      back from a plug-in with "not supported" to find the flag up, or the
//      generation changed, stops offering the record and answers 3 (an
//      answer of 0 or 1 is returned as the database gave it: the record was
//      taken); it never steps on through a list that has been emptied or
//      rebuilt meanwhile.
// The flag and the count are atomics: a relay leaving the app touches
// nothing else, so the host may delete the app as soon as stop() returns.
//
// Relays of a running app take no lock at all. Once a start has wired and
// started every plug-in, it publishes what a relay needs (the databases,
// their counters, the generation) as one read-only object; the teardown
// withdraws it before it raises the flag, and deletes it only when the
// count of relays inside is back to zero. A relay counts itself in first
// and reads the pointer after, so it either sees it withdrawn or is waited
// for. Many senders relaying at once then never queue for the app lock,
// which only the host's own operations (and relays while nothing is
// published: a start in progress, a plug-in relaying from inside its own
// start) still take.
//
// Batches. A protocol library that takes the batch relay gets it right
// after setCallback(). While the targets are published and the first
// database stores batches, a batch goes database by database: one that
// stores batches gets every record still untaken in one call, any other
// gets them one at a time; the next database gets what was answered 3.
// Otherwise only the first record goes, through the single relay, and the
// protocol raises the rest at its source's next turn. Either way each
// record gets the answer, trace lines and counts it would have had alone.
//
// Plug-in faults. An exception out of a plug-in's operation is that
// plug-in's failure, logged once with the protocol's name and the library:
// a start that throws is a refused start, an isRunning that throws says
// "not running", a processRecord that throws answers 3, a stop that throws
// is as good as stopped. (A destructor that throws ends the process, as in
// any C++ program; plug-in destructors must not throw.)
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "OstraService/InterruptibleLock.h"
#include "OstraService/ProtocolMetrics.h"
#include "OstraService/RepeatedFailures.h"
#include "OstraService/RetryPacing.h"
#include "common/log/CLog.h"
#include "common/log/CTrace.h"
#include "platform/winapi.h"
#include "plugin/CDatabasePlugin.h"
#include "plugin/CProtocolPlugin.h"
#include "plugin/PluginExtension.h"

class Record;

class CProtocolApp {
public:
    CProtocolApp();
    // Stops and destroys the plug-ins (waiting for relays still running).
    virtual ~CProtocolApp();
    CProtocolApp(const CProtocolApp&) = delete;
    CProtocolApp& operator=(const CProtocolApp&) = delete;

    // Takes on the host log's streams, level, name and formatter (every start
    // sets that level again, and hands it to the plug-ins' logs), keeps a
    // reference to the entry (which must outlive the app), and makes the
    // first start attempt; returns its result.
    int init(CLog& hostLog, Setting& entry);

    // Creates and starts the plug-ins when there are none. Returns 0, or -1
    // when the type is unknown, a key is missing or a plug-in refused. Does
    // nothing (0) after stop() unless `force`; without `force`, after a
    // failed attempt, does nothing until the retry is due and returns that
    // attempt's result. A configuration value of the wrong type throws the
    // configuration library's exception to the caller.
    int start(bool force);

    // Stops, then destroys, every plug-in; start(false) does nothing after.
    void stop();

    // A reload's new log level: the app's own log and its plug-ins' logs
    // take it at once; later starts hand it on.
    void setLevel(int level);

    // True when the protocol plug-in exists and it and every database
    // plug-in say they run.
    bool isRunning();

    // What the app has done (ProtocolMetrics.h); shared so that the numbers
    // outlive the app. The state follows starts, stops and isRunning.
    const std::shared_ptr<metrics::ProtocolCounters>& counters() const { return counters_; }

    // The relay procedures registered with the plug-ins, with the app as
    // context. They return 0, 1 or 3.
    static int protocolEventProc(void* context, void* sender, int tag, Record* record);
    static int databaseEventProc(void* context, void* sender, int tag, Record* record);
    // The batch relay handed to a protocol library that takes one
    // (PluginExtension.h): each record answered as protocolEventProc would
    // answer it, in order; a database that stores batches gets the records
    // it is offered in one call, any other one record at a time.
    static int protocolBatchProc(void* context, void* sender, int tag, Record** records,
                                 int* answers, int count);

private:
    class RelayScope;

    int startLocked() OSTRA_REQUIRES(critSection);
    // Asks the protocol and every database whether they run.
    bool pluginsSayRunning() OSTRA_REQUIRES(critSection);
    bool startDatabases(Setting& entry, int typeCode, const std::string& protocolDll)
        OSTRA_REQUIRES(critSection);
    // Stops every plug-in, waits for relays to leave, destroys the plug-ins.
    void tearDown(CDatabasePlugin* refusedDatabase = nullptr) OSTRA_REQUIRES(critSection);
    void handLogTo(CLog* pluginLog);
    // What reports an exception out of a plug-in call: one ERROR line naming
    // the protocol and the library. Made for every call (isRunning on each
    // STATUS), so it copies nothing until a fault is reported; `dll` must
    // outlive it.
    struct FaultReport {
        CProtocolApp& app;
        const std::string& dll;
        const char* operation;
        metrics::Counter* counter;  // the plug-in's faults, or null
        void operator()(const char* what) const OSTRA_REQUIRES(app.critSection);
    };
    FaultReport faultOf(const std::string& dll, const char* operation,
                        metrics::Counter* counter = nullptr) {
        return {*this, dll, operation, counter};
    }
    void reportLoadFailure(const std::string& dll) OSTRA_REQUIRES(critSection);

    // What a relay offers a record to while the app runs; never changed
    // once published.
    struct RelayTargets {
        unsigned generation = 0;
        std::vector<CDatabasePlugin*> databases;
        std::vector<metrics::DatabaseCounters*> counters;  // beside `databases`
        std::vector<OstraProcessBatch> batches;  // beside `databases`; null: one at a time
    };
    void publishRelayTargets() OSTRA_REQUIRES(critSection);

    int relayFromProtocol(int tag, Record* record);
    int relayBatchFromProtocol(int tag, Record** records, int* answers, int count);
    // Offers the records of a batch to the published databases in turn.
    void relayBatchTo(const RelayTargets& targets, int tag, Record** records, int* answers,
                      int count);
    // One database's processRecord for one record, made without the app
    // lock: trace lines, fault and answer counted.
    int offerRecord(size_t index, CDatabasePlugin* database,
                    metrics::DatabaseCounters* databaseCounted, unsigned offeredIn, int tag,
                    Record* record);
    int relayFromDatabase(int tag, Record* record);
    // A processRecord that threw during a relay: database `index` of
    // generation `offeredIn`, or the protocol (kProtocolsFault).
    static constexpr size_t kProtocolsFault = static_cast<size_t>(-1);
    void reportRelayFault(size_t index, unsigned offeredIn, const char* what);

    bool enabled OSTRA_GUARDED_BY(critSection);
    RepeatedFailures repeatedFailures
        OSTRA_GUARDED_BY(critSection);  // what a failing attempt writes again
    std::atomic<int> configuredLevel;   // the host log's level (init's, or a reload's)
    CLog log;
    CTrace trace;
    std::string name OSTRA_GUARDED_BY(critSection);
    std::vector<CDatabasePlugin*> databases OSTRA_GUARDED_BY(critSection);
    CProtocolPlugin* protocol OSTRA_GUARDED_BY(critSection);
    Setting* setting OSTRA_GUARDED_BY(critSection);
    CRITICAL_SECTION critSection;
    WaitLine waitLine;  // relays waiting for critSection, in turn

    // The libraries the plug-ins came from, for the log.
    std::string protocolDll OSTRA_GUARDED_BY(critSection);
    std::vector<std::string> databaseDlls OSTRA_GUARDED_BY(critSection);  // beside `databases`
    // Each database's counters, beside `databases`.
    std::vector<metrics::DatabaseCounters*> databaseCounters OSTRA_GUARDED_BY(critSection);
    // The counters of the databases whose library did not load in this
    // start: while there are any, the protocol runs DEGRADED.
    std::vector<metrics::DatabaseCounters*> missingDatabases OSTRA_GUARDED_BY(critSection);
    metrics::ProtocolState runningState() const OSTRA_REQUIRES(critSection);

    // enabled && protocol != nullptr, readable without the app lock: a
    // wake-up pass over an app that is set up then costs next to nothing.
    std::atomic<bool> setUpAndEnabled;
    void noteState() OSTRA_REQUIRES(critSection) {
        setUpAndEnabled.store(enabled && protocol != nullptr);
    }

    RetryPacing retry;                   // when start(false) tries again after a failure
    std::atomic<int> lastAttemptResult;  // what start(false) returns meanwhile

    std::atomic<bool> tearingDown;
    std::atomic<int> relaysInside;
    unsigned generation OSTRA_GUARDED_BY(critSection);
    std::unique_ptr<RelayTargets> ownedTargets OSTRA_GUARDED_BY(critSection);
    std::atomic<const RelayTargets*> publishedTargets{nullptr};  // ownedTargets while it runs
    const std::shared_ptr<metrics::ProtocolCounters> counters_;
};
