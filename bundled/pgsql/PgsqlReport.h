// The pgsql plug-in's report (PluginExtension.h): whether it reaches the
// server and why not, its spool and what it forwarded.
//
//   FAILING   it cannot reach, authenticate to or use the server (the
//             reason as libpq or the server said it, passwords replaced
//             by "***"), or the oldest spooled record is older than
//             "spoolalarm"
//   DEGRADED  connected, forwarding a spool
//   OK        connected with nothing spooled, or not yet asked to connect
//
// Numbers: pgsql_connected, pgsql_spool_records, pgsql_spool_oldest_seconds,
// pgsql_forwarded_records_total, pgsql_refused_rows.
#pragma once

#include "plugin/PluginExtension.h"

namespace ostra_pgsql {

void reportPgsql(void* instance, const OstraReportSink* sink);

}  // namespace ostra_pgsql
