#include "SqliteReport.h"

#include <string>

#include "SqlitePlugin.h"

namespace ostra_sqlite {

void reportSqlite(void* instance, const OstraReportSink* sink) {
    auto* plugin = static_cast<SqlitePlugin*>(static_cast<CDatabasePlugin*>(instance));
    const SqlitePlugin::Health health = plugin->health();
    if (health.lastFailure.empty())
        sink->state(sink->context, OSTRA_STATE_OK, ("storing in " + health.path).c_str());
    else
        sink->state(
            sink->context, OSTRA_STATE_FAILING,
            ("the last commit to " + health.path + " failed: " + health.lastFailure).c_str());
    sink->number(sink->context, "sqlite_records_stored_total", OSTRA_NUMBER_COUNTER,
                 static_cast<double>(health.stored), "Records committed since the start.");
    sink->number(sink->context, "sqlite_commit_failures_total", OSTRA_NUMBER_COUNTER,
                 static_cast<double>(health.failed),
                 "Records whose commit failed since the start.");
}

}  // namespace ostra_sqlite
