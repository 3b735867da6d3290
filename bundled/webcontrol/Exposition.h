// The host's numbers in the Prometheus text format (version 0.0.4), for
// GET /metrics. Every metric is named ostraservice_*, labelled by
// "protocol" and, for a database's, "database"; the latency of the
// databases is a histogram in seconds.
#pragma once

#include <string>

#include "MetricsRecord.h"

namespace webcontrol {

extern const char* const kExpositionContentType;

std::string exposition(const HostNumbers& numbers);

// `text` (the host's message bytes) as a label value: UTF-8, with
// backslash, double quote and line feed escaped.
std::string labelValue(const std::string& text);

}  // namespace webcontrol
