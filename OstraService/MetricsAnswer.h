// The answer to a METRICS request: the host's numbers and one list per
// metric with an item per protocol (CControlPlugin.h lists the keys,
// plugin/HostMetrics.h reads them). A handful of keys whatever the number
// of protocols, so that asking stays cheap with hundreds of them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "OstraService/ProtocolMetrics.h"

class Record;

struct HostNumbers {
    std::uint64_t uptimeSeconds = 0;
    std::uint64_t logLines = 0, logLinesLost = 0;
    bool logLosing = false;  // the log file's last write failed
    std::uint64_t requests = 0, requestsDeferred = 0;
    std::string configuration;          // the hash of the configuration in force
    long long configurationLoaded = 0;  // when it was read (Unix seconds)
    std::string reloadRefused;          // why the last reload was refused, "" when none was
};

// What the plug-ins said of themselves beyond the protocols' slots: the
// control plug-in's slot and library, and the numbers' descriptions.
struct HostReports {
    const reports::ReportSlot* control = nullptr;
    std::string controlDll;
    const reports::NumberCatalog* catalog = nullptr;
};

// Adds the numbers to `answer` (a copy of the request). `stopping`: every
// protocol is reported STOPPED (the host is stopping them). The plug-ins'
// reports are the sampler's last answers: nothing here calls a plug-in.
void writeMetrics(const HostNumbers& host,
                  const std::vector<std::shared_ptr<metrics::ProtocolCounters>>& protocols,
                  bool stopping, Record& answer, const HostReports& reports = HostReports());
