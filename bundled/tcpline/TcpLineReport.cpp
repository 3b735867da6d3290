#include "TcpLineReport.h"

#include "TcpLinePlugin.h"

namespace tcpline {

void reportTcpLine(void* instance, const OstraReportSink* sink) {
    auto* plugin = static_cast<TcpLinePlugin*>(static_cast<CProtocolPlugin*>(instance));
    const TcpLinePlugin::Health health = plugin->health();
    sink->number(sink->context, "tcpline_clients", OSTRA_NUMBER_GAUGE,
                 static_cast<double>(health.clients), "Connections open now.");
    sink->number(sink->context, "tcpline_lines_total", OSTRA_NUMBER_COUNTER,
                 static_cast<double>(health.lines), "Lines relayed since the start.");
    sink->number(sink->context, "tcpline_lines_refused_total", OSTRA_NUMBER_COUNTER,
                 static_cast<double>(health.refused),
                 "Lines answered anything but 0 since the start.");
}

}  // namespace tcpline
