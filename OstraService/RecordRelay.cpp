// The record relay between an app's protocol plug-in and its database
// plug-ins. ProtocolApp.h explains how it stays safe while the app tears
// its plug-ins down.
#include <algorithm>
#include <chrono>
#include <vector>

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

// A database that took the record has answered, whatever happened to the
// app meanwhile: the sender must not be told to send it again.
bool taken(int answer) { return answer == RELAY_ANSWER_0 || answer == RELAY_ANSWER_1; }

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
    // A record of a batch: it waited for the databases as long as the batch.
    void spentInDatabases(Clock::duration spent) {
        spent_ = spent;
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

int CProtocolApp::offerRecord(size_t index, CDatabasePlugin* database,
                              metrics::DatabaseCounters* databaseCounted, unsigned offeredIn,
                              int tag, Record* record) {
    // The START line is written once the relay may go on, outside any
    // lock, so that relays on other threads do not wait for a log write.
    if (index == 0)
        log.log(LOG_LEVEL_DEBUG, kSource, __LINE__, "ProtocolApp protocolEventProc START");
    log.log(LOG_LEVEL_DEBUG, kSource, __LINE__,
            "ProtocolApp protocolEventProc call db->processRecord");
    int answer = plugin_calls::guard(
        int{RELAY_NOT_SUPPORTED}, [&] { return database->processRecord(tag, record); },
        [&](const char* what) {
            databaseCounted->faults.add();
            reportRelayFault(index, offeredIn, what);
        });
    databaseCounted->answers.count(answer);
    log.log(LOG_LEVEL_DEBUG, kSource, __LINE__,
            "ProtocolApp protocolEventProc return from  db->processRecord");
    return answer;
}

int CProtocolApp::relayFromProtocol(int tag, Record* record) {
    RelayScope scope(*this);
    RelayTally tally(*counters_);
    log.log(LOG_LEVEL_DEBUG, kSource, __LINE__, "ProtocolApp protocolEventProc WAIT");
    auto offer = [&](size_t index, CDatabasePlugin* database,
                     metrics::DatabaseCounters* databaseCounted, unsigned offeredIn) {
        const auto called = tally.databaseCalling();
        int answer = offerRecord(index, database, databaseCounted, offeredIn, tag, record);
        tally.databaseCalled(called);
        return answer;
    };
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

int CProtocolApp::protocolBatchProc(void* context, void* sender, int tag, Record** records,
                                    int* answers, int count) {
    auto* app = static_cast<CProtocolApp*>(context);
    if (count <= 0 || records == nullptr || answers == nullptr) return 0;
    if (app == nullptr) {
        answers[0] = RELAY_NOT_SUPPORTED;
        return 1;
    }
    return app->relayBatchFromProtocol(tag, records, answers, count);
}

int CProtocolApp::relayBatchFromProtocol(int tag, Record** records, int* answers, int count) {
    {
        RelayScope scope(*this);
        // Counted in above, so what is published now stays until this returns.
        const RelayTargets* targets = publishedTargets.load();
        if (targets != nullptr && !targets->batches.empty() && targets->batches[0] != nullptr) {
            relayBatchTo(*targets, tag, records, answers, count);
            return count;
        }
    }
    // The first database takes one record at a time, or nothing is
    // published (a start in progress is waited for, a stopped app answers
    // 3, a start raising records finds no databases): the single relay.
    answers[0] = relayFromProtocol(tag, records[0]);
    return 1;
}

void CProtocolApp::relayBatchTo(const RelayTargets& targets, int tag, Record** records,
                                int* answers, int count) {
    // Called only while the first of at least one database stores batches.
    using Clock = std::chrono::steady_clock;
    std::vector<Record*> offered;  // not taken yet
    std::vector<int> positions;    // of `offered`, in `records`
    for (int i = 0; i < count; ++i) {
        log.log(LOG_LEVEL_DEBUG, kSource, __LINE__, "ProtocolApp protocolEventProc WAIT");
        answers[i] = RELAY_NOT_SUPPORTED;
        offered.push_back(records[i]);
        positions.push_back(i);
    }
    const size_t databaseCount = targets.databases.size();
    Clock::duration spent{};
    std::vector<int> given;
    for (size_t index = 0; index < databaseCount && !offered.empty(); ++index) {
        CDatabasePlugin* database = targets.databases[index];
        metrics::DatabaseCounters* databaseCounted = targets.counters[index];
        const auto since = Clock::now();
        given.assign(offered.size(), RELAY_NOT_SUPPORTED);
        if (OstraProcessBatch processBatch = targets.batches[index]) {
            for (size_t k = 0; k < offered.size(); ++k) {
                if (index == 0)
                    log.log(LOG_LEVEL_DEBUG, kSource, __LINE__,
                            "ProtocolApp protocolEventProc START");
                log.log(LOG_LEVEL_DEBUG, kSource, __LINE__,
                        "ProtocolApp protocolEventProc call db->processRecord");
            }
            const bool returned = plugin_calls::guard(
                false,
                [&] {
                    processBatch(database, tag, offered.data(), given.data(),
                                 static_cast<int>(offered.size()));
                    return true;
                },
                [&](const char* what) {
                    databaseCounted->faults.add();
                    reportRelayFault(index, targets.generation, what);
                });
            // A batch that threw has answered nothing.
            if (!returned) given.assign(offered.size(), RELAY_NOT_SUPPORTED);
            for (int answer : given) {
                databaseCounted->answers.count(answer);
                log.log(LOG_LEVEL_DEBUG, kSource, __LINE__,
                        "ProtocolApp protocolEventProc return from  db->processRecord");
            }
        } else {
            for (size_t k = 0; k < offered.size(); ++k)
                given[k] = offerRecord(index, database, databaseCounted, targets.generation, tag,
                                       offered[k]);
        }
        spent += Clock::now() - since;
        size_t kept = 0;
        for (size_t k = 0; k < offered.size(); ++k) {
            if (taken(given[k])) {
                answers[positions[k]] = given[k];
            } else {
                offered[kept] = offered[k];
                positions[kept++] = positions[k];
            }
        }
        offered.resize(kept);
        positions.resize(kept);
        if (publishedTargets.load() != &targets) break;  // torn down meanwhile
    }
    for (int i = 0; i < count; ++i) {
        RelayTally tally(*counters_);
        tally.answer(answers[i]);
        tally.spentInDatabases(spent);
    }
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
