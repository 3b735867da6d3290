// The host's numbers in the Prometheus text format (version 0.0.4), for
// GET /metrics. Every metric is named ostraservice_*, labelled by
// "protocol" and, for a database's, "database"; the latency of the
// databases is a histogram in seconds. What the plug-ins report of
// themselves (PluginExtension.h) follows: ostraservice_database_up, and each
// number as ostraservice_<name>, a family per name.
#pragma once

#include <string>

#include "plugin/HostMetrics.h"

namespace webcontrol {

using ostra_metrics::Count;
using ostra_metrics::HostMetrics;
using ostra_metrics::ProtocolMetrics;

extern const char* const kExpositionContentType;

std::string exposition(const HostMetrics& numbers);

// `text` (the host's message bytes) as a label value: valid UTF-8 (an
// invalid part becomes U+FFFD, bundled/support/Utf8.h), with backslash,
// double quote and line feed escaped.
std::string labelValue(const std::string& text);

}  // namespace webcontrol
