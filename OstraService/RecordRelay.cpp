// The record relay between an app's protocol plug-in and its database
// plug-ins. ProtocolApp.h explains how it stays safe while the app tears
// its plug-ins down.
#include <chrono>

#include "OstraService/InterruptibleLock.h"
#include "OstraService/Messages.h"
#include "OstraService/PluginCalls.h"
#include "OstraService/ProtocolApp.h"
#include "plugin/EventProc.h"

namespace {
const char kSource[] = "ProtocolApp";
}  // namespace

// Counts a relay in for its whole run, and takes the app lock for it unless
// the app is being torn down.
class OSTRA_SCOPED_CAPABILITY CProtocolApp::RelayScope {
public:
    explicit RelayScope(CProtocolApp& app) OSTRA_EXCLUDES(app.critSection)
        : counted_(app.relaysInside), lock_(app.critSection, app.waitLine, app.tearingDown) {}
    ~RelayScope() OSTRA_RELEASE() {}
    RelayScope(const RelayScope&) = delete;
    RelayScope& operator=(const RelayScope&) = delete;

    bool acquire() OSTRA_TRY_ACQUIRE(true) OSTRA_NO_THREAD_SAFETY_ANALYSIS {
        return lock_.acquire();
    }
    void release() OSTRA_RELEASE() OSTRA_NO_THREAD_SAFETY_ANALYSIS { lock_.release(); }

private:
    // Declared first: the count drops last, after the lock is left.
    struct Counted {
        explicit Counted(std::atomic<int>& count) : count_(count) { count_.fetch_add(1); }
        ~Counted() { count_.fetch_sub(1); }
        std::atomic<int>& count_;
    } counted_;
    InterruptibleLock lock_;
};

namespace {
// How many records this thread relays before it times one again.
thread_local unsigned untilTimed = 0;

// Counts what a relayed record needs counted besides its databases'
// answers: a record no database took (answered 3), and, for one record in
// kLatencySampling, the time its databases took. Declared after the
// RelayScope, so it is done while the relay still counts itself in (the
// app and its counters are then alive).
class RelayTally {
public:
    using Clock = std::chrono::steady_clock;
    explicit RelayTally(metrics::ProtocolCounters& counters)
        : counters_(counters), timed_(untilTimed-- == 0) {
        if (timed_) untilTimed = metrics::kLatencySampling - 1;
    }
    ~RelayTally() {
        if (answer_ == RELAY_NOT_SUPPORTED) counters_.notTaken.add();
        if (timed_ && called_) counters_.latency.observe(spent_);
    }
    RelayTally(const RelayTally&) = delete;
    RelayTally& operator=(const RelayTally&) = delete;

    int answer(int answer) { return answer_ = answer; }
    // Around one database's processRecord.
    Clock::time_point databaseCalling() { return timed_ ? Clock::now() : Clock::time_point(); }
    void databaseCalled(Clock::time_point since) {
        if (!timed_) return;
        spent_ += Clock::now() - since;
        called_ = true;
    }

private:
    metrics::ProtocolCounters& counters_;
    const bool timed_;
    bool called_ = false;
    Clock::duration spent_{};
    int answer_ = RELAY_NOT_SUPPORTED;
};
}  // namespace

int CProtocolApp::protocolEventProc(void* context, void* sender, int tag, Record* record) {
    auto* app = static_cast<CProtocolApp*>(context);
    return app != nullptr ? app->relayFromProtocol(tag, record) : RELAY_NOT_SUPPORTED;
}

int CProtocolApp::databaseEventProc(void* context, void* sender, int tag, Record* record) {
    auto* app = static_cast<CProtocolApp*>(context);
    return app != nullptr ? app->relayFromDatabase(tag, record) : RELAY_NOT_SUPPORTED;
}

int CProtocolApp::relayFromProtocol(int tag, Record* record) {
    RelayScope scope(*this);
    RelayTally tally(*counters_);
    log.log(LOG_LEVEL_DEBUG, kSource, __LINE__, "ProtocolApp protocolEventProc WAIT");
    // One database's call, made without the app lock.
    auto offer = [&](size_t index, CDatabasePlugin* database,
                     metrics::DatabaseCounters* databaseCounted, unsigned offeredIn) {
        // The START line is written once the relay may go on, outside any
        // lock, so that relays on other threads do not wait for a log write.
        if (index == 0)
            log.log(LOG_LEVEL_DEBUG, kSource, __LINE__, "ProtocolApp protocolEventProc START");
        log.log(LOG_LEVEL_DEBUG, kSource, __LINE__,
                "ProtocolApp protocolEventProc call db->processRecord");
        const auto called = tally.databaseCalling();
        int answer = plugin_calls::guard(
            int{RELAY_NOT_SUPPORTED}, [&] { return database->processRecord(tag, record); },
            [&](const char* what) {
                databaseCounted->faults.add();
                reportRelayFault(index, offeredIn, what);
            });
        tally.databaseCalled(called);
        databaseCounted->answers.count(answer);
        log.log(LOG_LEVEL_DEBUG, kSource, __LINE__,
                "ProtocolApp protocolEventProc return from  db->processRecord");
        return answer;
    };
    // A database that took the record has answered, whatever happened to
    // the app meanwhile: the sender must not be told to send it again.
    auto taken = [](int answer) { return answer == RELAY_ANSWER_0 || answer == RELAY_ANSWER_1; };

    // Counted in above, so what is published now stays until this returns.
    if (const RelayTargets* targets = publishedTargets.load()) {
        const size_t count = targets->databases.size();
        for (size_t index = 0; index < count; ++index) {
            int answer = offer(index, targets->databases[index], targets->counters[index],
                               targets->generation);
            if (taken(answer)) return tally.answer(answer);
            if (publishedTargets.load() != targets) break;  // torn down meanwhile
        }
        if (count == 0)
            log.log(LOG_LEVEL_DEBUG, kSource, __LINE__, "ProtocolApp protocolEventProc START");
        return RELAY_NOT_SUPPORTED;
    }

    // Nothing published: a start in progress (waited for), a stopped app,
    // or a plug-in relaying from inside its own start on this thread.
    if (!scope.acquire()) return RELAY_NOT_SUPPORTED;
    const unsigned offeredIn = generation;
    const size_t count = databases.size();
    for (size_t index = 0; index < count; ++index) {
        CDatabasePlugin* database = databases[index];
        metrics::DatabaseCounters* databaseCounted = databaseCounters[index];
        scope.release();
        int answer = offer(index, database, databaseCounted, offeredIn);
        if (taken(answer)) return tally.answer(answer);
        if (index + 1 == count) return RELAY_NOT_SUPPORTED;
        if (!scope.acquire() || generation != offeredIn)
            return RELAY_NOT_SUPPORTED;  // torn down meanwhile
    }
    scope.release();
    if (count == 0)
        log.log(LOG_LEVEL_DEBUG, kSource, __LINE__, "ProtocolApp protocolEventProc START");
    return RELAY_NOT_SUPPORTED;
}

int CProtocolApp::relayFromDatabase(int tag, Record* record) {
    RelayScope scope(*this);
    metrics::ProtocolCounters& counted = *counters_;
    // Only the answer is counted: the records are the answers' sum.
    struct Answered {
        metrics::AnswerCounts& counts;
        int answer = RELAY_NOT_SUPPORTED;
        ~Answered() { counts.count(answer); }
        int is(int code) { return answer = code; }
    } tally{counted.databaseAnswers};
    log.log(LOG_LEVEL_DEBUG, kSource, __LINE__, "ProtocolApp databaseEventProc WAIT");
    if (!scope.acquire()) return RELAY_NOT_SUPPORTED;
    log.log(LOG_LEVEL_DEBUG, kSource, __LINE__, "ProtocolApp databaseEventProc START");
    if (protocol == nullptr) {
        log.log(LOG_LEVEL_DEBUG, kSource, __LINE__, "ProtocolApp databaseEventProc NOt SUPPORTED");
        return RELAY_NOT_SUPPORTED;
    }
    CProtocolPlugin* target = protocol;
    scope.release();
    int answer = plugin_calls::guard(
        int{RELAY_NOT_SUPPORTED}, [&] { return target->processRecord(tag, record); },
        [&](const char* what) {
            counted.faults.add();
            reportRelayFault(kProtocolsFault, 0, what);
        });
    // The protocol has answered; a teardown that began meanwhile does not
    // change that answer.
    scope.acquire();
    log.log(LOG_LEVEL_DEBUG, kSource, __LINE__, "ProtocolApp return from protocol->processrecord");
    // Anything but 0 and 3 counts as 1.
    if (answer == RELAY_ANSWER_0) return tally.is(RELAY_ANSWER_0);
    if (answer == RELAY_NOT_SUPPORTED) return RELAY_NOT_SUPPORTED;
    return tally.is(RELAY_ANSWER_1);
}

void CProtocolApp::reportRelayFault(size_t index, unsigned offeredIn, const char* what) {
    // Rare, so the names are looked up again rather than kept at hand; they
    // are read under the app lock and written out without it.
    InterruptibleLock lookup(critSection, waitLine, tearingDown);
    std::string protocolName, dll = "?";
    if (lookup.acquire()) {
        protocolName = name;
        if (index == kProtocolsFault)
            dll = protocolDll;
        else if (generation == offeredIn && index < databaseDlls.size())
            dll = databaseDlls[index];
        lookup.release();
    }
    log.log(LOG_LEVEL_ERROR, kSource, __LINE__,
            messages::pluginFault(messages::protocolOwner(protocolName), dll, "processRecord", what)
                .c_str());
}
