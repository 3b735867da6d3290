// The sqlite plug-in's report (PluginExtension.h): FAILING while the last
// commit failed (the reason names the file and the failure), OK once a
// record is stored again. Numbers: sqlite_records_stored_total,
// sqlite_commit_failures_total.
#pragma once

#include "plugin/PluginExtension.h"

namespace ostra_sqlite {

void reportSqlite(void* instance, const OstraReportSink* sink);

}  // namespace ostra_sqlite
