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

const char* stateWord(ProtocolState state) {
    switch (state) {
        case ProtocolState::kRunning:
            return "RUNNING";
        case ProtocolState::kStopped:
            return "STOPPED";
        default:
            return "FAILING";
    }
}

}  // namespace metrics

namespace metrics {

void ProtocolCounters::setName(const std::string& name) {
    std::lock_guard<std::mutex> guard(lock_);
    name_ = name;
}

DatabaseCounters& ProtocolCounters::database(std::size_t position, const std::string& dll) {
    std::lock_guard<std::mutex> guard(lock_);
    while (databases_.size() <= position) {
        databases_.emplace_back();
        databaseNames_.emplace_back();
    }
    if (databaseNames_[position].empty()) {
        // A library named twice in one list gets "#2", "#3": each label is one database.
        int same = 1;
        for (std::size_t other = 0; other < databaseNames_.size(); ++other)
            if (other != position &&
                (databaseNames_[other] == dll || databaseNames_[other].rfind(dll + "#", 0) == 0))
                ++same;
        databaseNames_[position] = same == 1 ? dll : dll + "#" + std::to_string(same);
    }
    return databases_[position];
}

void ProtocolCounters::attempted(bool failed, const std::string& failure,
                                 WallClock::time_point now) {
    std::lock_guard<std::mutex> guard(lock_);
    ++starts_;
    if (!failed) return;
    ++failedStarts_;
    lastFailure_ = failure;
    lastFailureTime_ = now;
}

void ProtocolCounters::setState(ProtocolState state, WallClock::time_point now) {
    std::lock_guard<std::mutex> guard(lock_);
    if (state == state_) return;
    state_ = state;
    since_ = now;
    stateChanges_.fetch_add(1, std::memory_order_release);
}

ProtocolSnapshot ProtocolCounters::snapshot() const {
    ProtocolSnapshot copy;
    copy.records = records.read();
    copy.answered0 = answers.answered0.read();
    copy.answered1 = answers.answered1.read();
    copy.answered3 = answers.answered3.read();
    copy.databaseRecords = databaseRecords.read();
    copy.databaseAnswered0 = databaseAnswers.answered0.read();
    copy.databaseAnswered1 = databaseAnswers.answered1.read();
    copy.databaseAnswered3 = databaseAnswers.answered3.read();
    copy.faults = faults.read();
    for (int bucket = 0; bucket < kLatencyBuckets; ++bucket)
        copy.latency[bucket] = latency.bucket(bucket);
    copy.latencySum = latency.sumSeconds();
    std::lock_guard<std::mutex> guard(lock_);
    copy.name = name_;
    copy.state = state_;
    copy.since = since_;
    copy.starts = starts_;
    copy.failedStarts = failedStarts_;
    copy.lastFailure = lastFailure_;
    copy.lastFailureTime = lastFailureTime_;
    copy.databases.reserve(databases_.size());
    for (std::size_t position = 0; position < databases_.size(); ++position) {
        const DatabaseCounters& counters = databases_[position];
        copy.databases.push_back({databaseNames_[position], counters.answers.answered0.read(),
                                  counters.answers.answered1.read(),
                                  counters.answers.answered3.read(), counters.faults.read()});
    }
    return copy;
}

}  // namespace metrics
