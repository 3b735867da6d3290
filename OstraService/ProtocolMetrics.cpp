#include "OstraService/ProtocolMetrics.h"

namespace metrics {

namespace {
// The bounds in nanoseconds, so that placing a record compares integers.
constexpr Count kBoundNanoseconds[] = {
    100000,   250000,    500000,    1000000,   2500000,    5000000,    10000000,   25000000,
    50000000, 100000000, 250000000, 500000000, 1000000000, 2500000000, 5000000000, 10000000000};
static_assert(sizeof(kBoundNanoseconds) / sizeof(kBoundNanoseconds[0]) == kLatencyBuckets - 1,
              "one bound in nanoseconds per bound in seconds");
}  // namespace

void LatencyHistogram::observe(std::chrono::nanoseconds spent) {
    Count nanoseconds = spent.count() > 0 ? static_cast<Count>(spent.count()) : 0;
    int index = 0;
    while (index < kLatencyBuckets - 1 && nanoseconds > kBoundNanoseconds[index]) ++index;
    buckets_[index].add();
    sumNanoseconds_.fetch_add(nanoseconds, std::memory_order_relaxed);
}

const char* const kNotRunningReason = "a plug-in reports that it is not running";

const char* stateWord(ProtocolState state) {
    switch (state) {
        case ProtocolState::kRunning:
            return "RUNNING";
        case ProtocolState::kStopped:
            return "STOPPED";
        case ProtocolState::kDegraded:
            return "DEGRADED";
        default:
            return "FAILING";
    }
}

}  // namespace metrics

namespace metrics {

void ProtocolCounters::setName(const std::string& name) {
    ostra::MutexLock guard(lock_);
    guarded_.name = name;
}

DatabaseCounters& ProtocolCounters::database(std::size_t position, const std::string& dll) {
    ostra::MutexLock guard(lock_);
    auto& names = guarded_.databaseNames;
    while (guarded_.databases.size() <= position) {
        guarded_.databases.emplace_back();
        names.emplace_back();
    }
    if (names[position].empty()) {
        // A library named twice in one list gets "#2", "#3": each label is one database.
        int same = 1;
        for (std::size_t other = 0; other < names.size(); ++other)
            if (other != position && (names[other] == dll || names[other].rfind(dll + "#", 0) == 0))
                ++same;
        names[position] = same == 1 ? dll : dll + "#" + std::to_string(same);
    }
    return guarded_.databases[position];
}

void ProtocolCounters::attempted(bool failed, const std::string& failure,
                                 WallClock::time_point now) {
    ostra::MutexLock guard(lock_);
    ++guarded_.starts;
    if (!failed) return;
    ++guarded_.failedStarts;
    guarded_.lastFailure = failure;
    guarded_.lastFailureTime = now;
}

void ProtocolCounters::setState(ProtocolState state) {
    // Most calls find the state unchanged (STATUS asks every protocol):
    // they take neither the lock nor the time.
    if (state == state_.load(std::memory_order_acquire)) return;
    setState(state, WallClock::now());
}

void ProtocolCounters::setState(ProtocolState state, WallClock::time_point now) {
    ostra::MutexLock guard(lock_);
    if (state == guarded_.state) return;
    guarded_.state = state;
    guarded_.since = now;
    state_.store(state, std::memory_order_release);
    stateChanges_.fetch_add(1, std::memory_order_release);
}

ProtocolCounters::Relayed ProtocolCounters::relayedLocked() const {
    Relayed relayed;
    for (const DatabaseCounters& database : guarded_.databases) {
        relayed.answered0 += database.answers.answered0.read();
        relayed.answered1 += database.answers.answered1.read();
    }
    relayed.answered3 = notTaken.read();
    return relayed;
}

ProtocolSnapshot ProtocolCounters::snapshot() const {
    ProtocolSnapshot copy;
    read([&](const Guarded& guarded) {
        Relayed relayed = relayedLocked();
        copy.records = relayed.records();
        copy.answered0 = relayed.answered0;
        copy.answered1 = relayed.answered1;
        copy.answered3 = relayed.answered3;
        copy.name = guarded.name;
        copy.state = guarded.state;
        copy.since = guarded.since;
        if (guarded.state == ProtocolState::kFailing)
            copy.failure =
                guarded.lastFailureTime >= guarded.since ? guarded.lastFailure : kNotRunningReason;
        const auto now = reports::Clock::now();
        copy.databaseNames = guarded.databaseNames;
        for (const DatabaseCounters& database : guarded.databases) {
            copy.databaseSamples.emplace_back();
            copy.databaseSaid.push_back(database.report.read(copy.databaseSamples.back(), now));
        }
    });
    return copy;
}

void ProtocolCounters::slots(std::vector<reports::ReportSlot*>& into) {
    ostra::MutexLock guard(lock_);
    into.push_back(&protocolReport);
    for (DatabaseCounters& database : guarded_.databases) into.push_back(&database.report);
}

}  // namespace metrics
