#include "PgRow.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "Json.h"
#include "Utf8.h"
#include "common/Record.h"

namespace ostra_pgsql {

namespace {

void appendArrayElement(std::string& literal, const std::string& text) {
    literal += '"';
    for (char c : text) {
        if (c == '"' || c == '\\') literal += '\\';
        literal += c;
    }
    literal += '"';
}

}  // namespace

std::string utcNow() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    long long millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &seconds);
#else
    gmtime_r(&seconds, &parts);
#endif
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  millis);
    return text;
}

void makeRow(const Record& record, int type, int tag, const std::string& idempotencyEntry,
             PgRow& row) {
    row.time = utcNow();
    row.type = type;
    row.tag = tag;
    row.entries = "{";
    row.entryOrder = "{";
    for (int i = 0; i < record.count(); ++i) {
        std::string key = bundled_support::hostTextToUtf8(record.keyAt(i));
        std::string value = bundled_support::hostTextToUtf8(record.valueAt(i));
        if (i > 0) {
            row.entries += ',';
            row.entryOrder += ',';
        }
        bundled_support::appendJsonString(row.entries, key);
        row.entries += ':';
        bundled_support::appendJsonString(row.entries, value);
        appendArrayElement(row.entryOrder, key);
        if (!idempotencyEntry.empty() && key == idempotencyEntry) row.idempotencyKey = value;
    }
    row.entries += '}';
    row.entryOrder += '}';
}

}  // namespace ostra_pgsql
