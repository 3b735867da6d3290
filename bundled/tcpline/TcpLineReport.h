// The tcpline plug-in's report (PluginExtension.h): always OK (a server
// that cannot listen refuses its start); numbers tcpline_clients,
// tcpline_lines_total and tcpline_lines_refused_total (lines answered
// anything but 0: an error, a refusal, no database).
#pragma once

#include "plugin/PluginExtension.h"

namespace tcpline {

void reportTcpLine(void* instance, const OstraReportSink* sink);

}  // namespace tcpline
