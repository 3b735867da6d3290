#include "SqlitePlugin.h"

#include <libconfig.h++>
#include <new>
#include <vector>

#include "ExecutableDir.h"
#include "LookupIndex.h"
#include "LookupRecord.h"
#include "SqliteExtension.h"
#include "StrictSettings.h"
#include "Utf8.h"
#include "common/Record.h"
#include "plugin/PluginExport.h"

namespace ostra_sqlite {

int SqlitePlugin::start(Setting& entry) {
    try {
        StoreSettings settings;
        bundled_support::StrictSettings keys(entry, "sqlite", kSettings);
        std::string path = keys.text("path");
        settings.busyTimeoutMs = static_cast<int>(keys.integer("busytimeout"));
        settings.synchronous = keys.word("synchronous");
        idempotencyEntry_ = keys.text("idempotencykey");
        std::string fields = keys.text("lookupfields");
        settings.lookupTimeoutMs = static_cast<int>(keys.integer("lookuptimeout"));
        if (!keys.fault().empty()) {
            logLine(LOG_LEVEL_ERROR, __LINE__, keys.fault());
            return 1;
        }
        std::string fault;
        settings.lookupFields = lookupFields(fields, fault);
        if (!fault.empty()) {
            logLine(LOG_LEVEL_ERROR, __LINE__, "sqlite: \"lookupfields\": " + fault);
            return 1;
        }
        settings.path = bundled_support::besideExecutable(path);
        path_ = settings.path;
        std::string error;
        std::vector<std::string> plans;
        if (!store_.open(settings, plans, error)) {
            logLine(LOG_LEVEL_ERROR, __LINE__, "sqlite: " + error);
            return 1;
        }
        logLine(LOG_LEVEL_INFO, __LINE__,
                "sqlite: storing records in " + path_ +
                    " (synchronous=" + store_.synchronousInForce() + ")");
        for (const std::string& plan : plans)
            logLine(LOG_LEVEL_INFO, __LINE__, "sqlite: a LOOKUP of " + plan);
        return 0;
    } catch (const std::exception& failure) {
        logLine(LOG_LEVEL_ERROR, __LINE__, std::string("sqlite: ") + failure.what());
        return 1;
    }
}

void SqlitePlugin::stop() {
    std::string notice = store_.close();
    if (!notice.empty()) logLine(LOG_LEVEL_ERROR, __LINE__, "sqlite: " + notice);
}

void SqlitePlugin::noteStored(bool stored, const std::string& failure) {
    (stored ? stored_ : failed_).fetch_add(1, std::memory_order_relaxed);
    if (stored && !failureHeld_.load(std::memory_order_relaxed)) return;
    ostra::MutexLock guard(healthMutex_);
    lastFailure_ = stored ? std::string() : failure;
    failureHeld_.store(!stored, std::memory_order_relaxed);
}

SqlitePlugin::Health SqlitePlugin::health() {
    Health health;
    health.path = path_;
    health.stored = stored_.load(std::memory_order_relaxed);
    health.failed = failed_.load(std::memory_order_relaxed);
    ostra::MutexLock guard(healthMutex_);
    health.lastFailure = lastFailure_;
    return health;
}

int SqlitePlugin::processRecord(int tag, Record* record) {
    if (!record) return 3;
    try {
        if (bundled_support::isLookupRecord(*record)) return answerLookup(*record);
        std::string key = idempotencyEntry_.empty() ? "" : record->get(idempotencyEntry_.c_str());
        bool storedBefore = false;
        std::string error, notice;
        long long id = store_.store(type_, tag, *record, key, storedBefore, error, notice);
        if (!notice.empty()) logLine(LOG_LEVEL_ERROR, __LINE__, "sqlite: " + notice);
        if (storedBefore && id >= 0)
            logLine(LOG_LEVEL_INFO, __LINE__,
                    "sqlite: " + idempotencyEntry_ + "=" + key + " was stored before as row " +
                        std::to_string(id) + "; answered with that row, not stored again");
        noteStored(id >= 0, error);
        if (id < 0) {
            logLine(LOG_LEVEL_ERROR, __LINE__,
                    "sqlite: record not stored in " + path_ + ": " + error);
            record->set("REASON", error.c_str());  // the sender hears why, not only "1"
            return 1;
        }
        record->set("ROW_ID", std::to_string(id).c_str());
        return 0;
    } catch (const std::exception& failure) {
        logLine(LOG_LEVEL_ERROR, __LINE__, std::string("sqlite: ") + failure.what());
        return 1;
    }
}

int SqlitePlugin::answerLookup(Record& record) {
    FoundRow row;
    std::string error, notice;
    // Compared with the entries as they were stored: in UTF-8.
    bool found =
        store_.lookup(bundled_support::hostTextToUtf8(record.get("FIELD")),
                      bundled_support::hostTextToUtf8(record.get("VALUE")), row, error, notice);
    if (!notice.empty()) logLine(LOG_LEVEL_ERROR, __LINE__, "sqlite: " + notice);
    if (!found) {
        logLine(LOG_LEVEL_ERROR, __LINE__, "sqlite: lookup failed in " + path_ + ": " + error);
        record.set("REASON", error.c_str());
        return 1;
    }
    bundled_support::setLookupAnswer(
        record, {row.count, std::to_string(row.id), row.time, std::to_string(row.type),
                 std::to_string(row.tag), row.entries});
    return 0;
}

void SqlitePlugin::logLine(int level, int sourceLine, const std::string& text) {
    log_.log(level, "sqlite", sourceLine, text.c_str());
}

}  // namespace ostra_sqlite

OSTRA_PLUGIN_KIND(database)

OSTRA_PLUGIN_FACTORY {
    return static_cast<CDatabasePlugin*>(new (std::nothrow) ostra_sqlite::SqlitePlugin);
}
