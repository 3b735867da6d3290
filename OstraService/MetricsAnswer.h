// The answer to a METRICS request: the host's numbers and one list per
// metric with an item per protocol (CControlPlugin.h lists the keys,
// plugin/HostMetrics.h reads them). A handful of keys whatever the number
// of protocols, so that asking stays cheap with hundreds of them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "OstraService/ProtocolMetrics.h"

class Record;

struct HostNumbers {
    std::uint64_t uptimeSeconds = 0;
    std::uint64_t logLines = 0, logLinesLost = 0;
    std::uint64_t requests = 0, requestsDeferred = 0;
};

// Adds the numbers to `answer` (a copy of the request). `stopping`: every
// protocol is reported STOPPED (the host is stopping them).
void writeMetrics(const HostNumbers& host,
                  const std::vector<std::shared_ptr<metrics::ProtocolCounters>>& protocols,
                  bool stopping, Record& answer);
