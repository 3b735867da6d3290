// The answer to a METRICS request: the host's numbers and every protocol's,
// as flat keys (the list is in plugin/CControlPlugin.h).
#pragma once

#include <cstdint>
#include <vector>

#include "OstraService/ProtocolMetrics.h"

class Record;

struct HostNumbers {
    std::uint64_t uptimeSeconds = 0;
    std::uint64_t logLines = 0, logLinesLost = 0;
    std::uint64_t requests = 0, requestsDeferred = 0;
};

// Adds the numbers to `answer` (a copy of the request).
void writeMetrics(const HostNumbers& host, const std::vector<metrics::ProtocolSnapshot>& protocols,
                  Record& answer);
