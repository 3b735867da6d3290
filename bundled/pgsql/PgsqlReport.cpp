#include "PgsqlReport.h"

#include <string>

#include "PgsqlPlugin.h"

namespace ostra_pgsql {

namespace {

std::string withThousands(long long value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > (value < 0 ? 1 : 0); at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

// 45 s, 2 min, 3 h: as a person reads an age.
std::string age(double seconds) {
    const long long whole = static_cast<long long>(seconds);
    if (whole < 60) return std::to_string(whole) + " s";
    if (whole < 3600) return std::to_string(whole / 60) + " min";
    return std::to_string(whole / 3600) + " h";
}

}  // namespace

void reportPgsql(void* instance, const OstraReportSink* sink) {
    auto* plugin = static_cast<PgsqlPlugin*>(static_cast<CDatabasePlugin*>(instance));
    const PgsqlPlugin::Health health = plugin->health();
    const std::string spooling = health.spoolDepth > 0
                                     ? "spooling " + withThousands(health.spoolDepth) +
                                           (health.spoolDepth == 1 ? " record" : " records") +
                                           ", oldest " + age(health.oldestSeconds)
                                     : std::string();
    if (!health.connected && !health.failure.empty()) {
        std::string reason = "cannot use " + health.server + ": " + health.failure;
        if (!spooling.empty()) reason += "; " + spooling;
        sink->state(sink->context, OSTRA_STATE_FAILING, reason.c_str());
    } else if (health.spoolDepth > 0 && health.oldestSeconds > health.spoolAlarmSeconds) {
        std::string reason =
            spooling + " (over spoolalarm, " + std::to_string(health.spoolAlarmSeconds) + " s)";
        sink->state(sink->context, OSTRA_STATE_FAILING, reason.c_str());
    } else if (health.spoolDepth > 0) {
        sink->state(sink->context, OSTRA_STATE_DEGRADED, spooling.c_str());
    } else {
        sink->state(sink->context, OSTRA_STATE_OK, "");
    }
    sink->number(sink->context, "pgsql_connected", OSTRA_NUMBER_GAUGE, health.connected ? 1 : 0,
                 "1 while connected to the server, else 0.");
    sink->number(sink->context, "pgsql_spool_records", OSTRA_NUMBER_GAUGE,
                 static_cast<double>(health.spoolDepth), "Records waiting in the spool.");
    sink->number(sink->context, "pgsql_spool_oldest_seconds", OSTRA_NUMBER_GAUGE,
                 health.oldestSeconds, "Age of the oldest spooled record in seconds (0: none).");
    sink->number(sink->context, "pgsql_forwarded_records_total", OSTRA_NUMBER_COUNTER,
                 static_cast<double>(health.forwarded),
                 "Spooled records stored in the table since the start.");
    sink->number(sink->context, "pgsql_refused_rows", OSTRA_NUMBER_GAUGE,
                 static_cast<double>(health.refusedKept),
                 "Rows the server refused for good, kept in the spool's table \"refused\".");
}

}  // namespace ostra_pgsql
