// The last ten minutes of the host's numbers, one sample a second: the
// console's chart of records per second, and the health check's share of
// records not stored in the last minute.
//
// Thread safe: the sampler adds, requests read.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/Mutex.h"
#include "plugin/HostMetrics.h"

namespace webcontrol {

using ostra_metrics::Count;
using ostra_metrics::HostMetrics;
using ostra_metrics::ProtocolMetrics;

class MetricsHistory {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kSamples = 600;  // ten minutes at one a second

    void add(const HostMetrics& numbers, Clock::time_point at = Clock::now());

    // Records per second of `protocol` between consecutive samples, oldest
    // first (at most kSamples - 1).
    std::vector<double> recordsPerSecond(const std::string& protocol) const;

    struct Window {
        Count records = 0;
        Count notStored = 0;  // answered 1 or 3
    };
    // What `protocol` did over the last `span` of samples (up to the newest).
    Window last(const std::string& protocol, std::chrono::seconds span) const;

private:
    struct Totals {
        Count records = 0, notStored = 0;
    };
    struct Sample {
        Clock::time_point at;
        std::map<std::string, Totals> protocols;
    };
    mutable ostra::Mutex mutex_;
    std::deque<Sample> samples_ OSTRA_GUARDED_BY(mutex_);
};

}  // namespace webcontrol
