// The host's answer to METRICS (plugin/CControlPlugin.h lists its keys),
// read into numbers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class Record;

namespace webcontrol {

using Count = std::uint64_t;

struct ProtocolNumbers {
    struct Database {
        std::string name;
        Count answers[3] = {};  // 0, 1, 3
        Count faults = 0;
    };
    std::string name;   // in the host's message bytes
    std::string state;  // RUNNING, STOPPED or FAILING
    long long since = 0;
    Count records = 0;
    Count answers[3] = {};
    Count databaseRecords = 0;
    Count databaseAnswers[3] = {};
    Count faults = 0;
    Count starts = 0, failedStarts = 0;
    std::string lastFailure;
    long long lastFailureTime = 0;
    std::vector<Count> latency;  // per bucket, not cumulative; the last is +Inf
    double latencySum = 0;
    std::vector<Database> databases;

    // The time below which `share` (0..1) of the records' latencies fall,
    // as the upper bound of the bucket that holds it (+Inf for the last);
    // negative when no record was timed.
    double latencyQuantile(double share, const std::vector<double>& bounds) const;
};

struct HostNumbers {
    std::string state;  // STATUS's answer: STARTED or STOPPED
    Count uptime = 0, logLines = 0, logLinesLost = 0, requests = 0, requestsDeferred = 0;
    std::vector<double> latencyBounds;
    std::vector<ProtocolNumbers> protocols;
};

// False when `answer` is not a METRICS answer (no "PROTOCOLS").
bool readMetrics(const Record& answer, HostNumbers& numbers);

}  // namespace webcontrol
