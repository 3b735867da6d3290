// What one protocol application has done, counted where it happens and read
// by whoever asks (the METRICS control request).
//
// A relayed record costs its thread one uncontended atomic add (the
// answer of each database it reaches) and nothing else on the common
// path: no lock, no allocation, no clock. What the relay answered the
// protocol follows from that: a record answered 0 or 1 was taken by
// exactly one database, so the protocol's 0s and 1s are the sums of its
// databases'; only records no database took (answered 3) have a counter
// of their own. Every count is exact; two counts read one after the
// other may be a record apart.
//
// The time records spend in the databases is measured for one record in
// kLatencySampling per thread (the first one included): two clock reads
// on every record would cost more than the relay itself.
//
// The state and the last failure change under the app's lock (a start
// attempt, a stop, an isRunning asked by STATUS or METRICS on whatever
// thread asks) and are guarded by a lock of their own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "OstraService/PluginReports.h"
#include "platform/Mutex.h"
#include "plugin/EventProc.h"

namespace metrics {

using Count = std::uint64_t;

class Counter {
public:
    void add() { value_.fetch_add(1, std::memory_order_relaxed); }
    Count read() const { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<Count> value_{0};
};

// Answers 0, 1 and 3 (anything else counts as 3, as the relay treats it).
struct AnswerCounts {
    Counter answered0, answered1, answered3;
    void count(int answer) {
        if (answer == RELAY_ANSWER_0)
            answered0.add();
        else if (answer == RELAY_ANSWER_1)
            answered1.add();
        else
            answered3.add();
    }
};

// Upper bounds of the latency buckets in seconds; one more bucket takes the
// rest (+Inf). From 100 µs (a record the database keeps in memory) to 10 s
// (a server that stalls).
constexpr double kLatencyBounds[] = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                     0.05,   0.1,     0.25,   0.5,   1,      2.5,   5,    10};
constexpr int kLatencyBuckets = sizeof(kLatencyBounds) / sizeof(kLatencyBounds[0]) + 1;
constexpr unsigned kLatencySampling = 16;

class LatencyHistogram {
public:
    void observe(std::chrono::nanoseconds spent);
    // Per bucket (not cumulative), the last one +Inf.
    Count bucket(int index) const { return buckets_[index].read(); }
    Count sumNanoseconds() const { return sumNanoseconds_.load(std::memory_order_relaxed); }

private:
    Counter buckets_[kLatencyBuckets];
    std::atomic<Count> sumNanoseconds_{0};
};

// One database plug-in's place in the protocol's list, kept across restarts
// of the protocol so that its counters only grow.
struct DatabaseCounters {
    AnswerCounts answers;        // its processRecord's results
    Counter faults;              // exceptions out of its operations
    reports::ReportSlot report;  // what the object in this place says of itself
};

// kDegraded: it runs, but a database library it names did not load.
enum class ProtocolState { kFailing, kRunning, kStopped, kDegraded };
// "RUNNING", "STOPPED" (by a command), "FAILING" (not running although it
// should) or "DEGRADED".
const char* stateWord(ProtocolState state);

// What a FAILING protocol whose last failed start is older than its state
// is failing of.
extern const char* const kNotRunningReason;

using WallClock = std::chrono::system_clock;

// What the service manager's status line needs of a protocol, copied.
struct ProtocolSnapshot {
    std::string name;
    ProtocolState state = ProtocolState::kFailing;
    WallClock::time_point since;
    Count records = 0;
    Count answered0 = 0, answered1 = 0, answered3 = 0;  // what the relay answered it
    // Why it fails: the last failed start when it began the state or came
    // after, else a plug-in that said it no longer runs. Empty unless FAILING.
    std::string failure;
    // What its databases say of themselves, by position, and their names.
    std::vector<reports::Said> databaseSaid;
    std::vector<reports::Sample> databaseSamples;
    std::vector<std::string> databaseNames;
};

// Everything one protocol application counts. The app owns it through a
// shared pointer and the host keeps one too, so the numbers outlive the
// app's plug-ins and can be read while the host stops.
class ProtocolCounters {
public:
    // The relay's counters (besides each database's answers).
    Counter notTaken;                    // records answered 3: no database took them
    AnswerCounts databaseAnswers;        // what the protocol answered the databases' records
    Counter faults;                      // exceptions out of the protocol plug-in
    LatencyHistogram latency;            // time in the databases' processRecord, per timed record
    reports::ReportSlot protocolReport;  // what the protocol plug-in says of itself

    // The relay's answers to the protocol's records, under the lock (see above).
    struct Relayed {
        Count answered0 = 0, answered1 = 0, answered3 = 0;
        Count records() const { return answered0 + answered1 + answered3; }
    };

    void setName(const std::string& name);
    // The counters of the database at `position` in the configured list,
    // made on first use; the reference stays valid as long as this object.
    // Not for the relay's path (it may allocate).
    DatabaseCounters& database(std::size_t position, const std::string& dll);

    // A start attempt ended; `failure` is its reason when it failed.
    void attempted(bool failed, const std::string& failure,
                   WallClock::time_point now = WallClock::now());
    // Records the state, and the time it began when it differs from the last
    // (the clock is read only then: STATUS sets every protocol's state).
    void setState(ProtocolState state);
    void setState(ProtocolState state, WallClock::time_point now);
    // Grows by one with every change of state: cheap to watch.
    Count stateChanges() const { return stateChanges_.load(std::memory_order_acquire); }

    ProtocolSnapshot snapshot() const;

    // The protocol's report slot, then each database's, for the sampler.
    void slots(std::vector<reports::ReportSlot*>& into);

    // What the lock guards, as of one moment.
    struct Guarded {
        std::string name;
        ProtocolState state = ProtocolState::kFailing;
        WallClock::time_point since = WallClock::now();
        Count starts = 0, failedStarts = 0;
        std::string lastFailure;
        WallClock::time_point lastFailureTime;
        std::deque<DatabaseCounters> databases;  // by position; never shrinks
        std::vector<std::string> databaseNames;
    };
    // Calls `read` with the guarded part under the lock: a reader takes what
    // it needs without copying the texts.
    template <typename Read>
    void read(Read&& read) const {
        ostra::MutexLock guard(lock_);
        read(static_cast<const Guarded&>(guarded_));
    }
    // With the lock held (inside read(), whose callback the analysis cannot
    // see holding it).
    Relayed relayedLocked() const OSTRA_NO_THREAD_SAFETY_ANALYSIS;

private:
    mutable ostra::Mutex lock_;
    Guarded guarded_ OSTRA_GUARDED_BY(lock_);
    std::atomic<ProtocolState> state_{ProtocolState::kFailing};  // guarded_.state, to look at
    std::atomic<Count> stateChanges_{0};
};

}  // namespace metrics
