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
        lookupTimeoutMs_ = settings.lookupTimeoutMs;
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
    int answer = 1;
    processBatch(tag, &record, &answer, 1);
    return answer;
}

void SqlitePlugin::processBatch(int tag, Record** records, int* answers, int count) {
    // Records to store go together up to the next LOOKUP, which then reads
    // them as stored, as it would have one at a time. A sender's LOOKUPs
    // share one limit: the batch holds the protocol's thread no longer.
    const auto lookupDeadline =
        RecordsReader::Clock::now() + std::chrono::milliseconds(lookupTimeoutMs_.load());
    std::vector<SqliteStore::StoreRequest> requests;
    std::vector<int> positions;
    auto storeWaiting = [&] {
        store_.storeAll(requests);
        for (std::size_t k = 0; k < requests.size(); ++k)
            answers[positions[k]] = answerStored(*records[positions[k]], requests[k]);
        requests.clear();
        positions.clear();
    };
    for (int i = 0; i < count; ++i) {
        Record* record = records[i];
        answers[i] = 3;
        if (record == nullptr) continue;
        try {
            if (bundled_support::isLookupRecord(*record)) {
                if (!requests.empty()) storeWaiting();
                answers[i] = answerLookup(*record, lookupDeadline);
                continue;
            }
            SqliteStore::StoreRequest request;
            request.type = type_;
            request.tag = tag;
            request.record = record;
            if (!idempotencyEntry_.empty())
                request.idempotencyKey = record->get(idempotencyEntry_.c_str());
            requests.push_back(std::move(request));
            positions.push_back(i);
        } catch (const std::exception& failure) {
            logLine(LOG_LEVEL_ERROR, __LINE__, std::string("sqlite: ") + failure.what());
            answers[i] = 1;
        }
    }
    try {
        if (!requests.empty()) storeWaiting();
    } catch (const std::exception& failure) {
        // Nothing answered 0 that was not committed: the rest is answered 1.
        logLine(LOG_LEVEL_ERROR, __LINE__, std::string("sqlite: ") + failure.what());
        for (int position : positions) answers[position] = 1;
    }
}

int SqlitePlugin::answerStored(Record& record, const SqliteStore::StoreRequest& stored) {
    if (!stored.notice.empty()) logLine(LOG_LEVEL_ERROR, __LINE__, "sqlite: " + stored.notice);
    const long long id = stored.id;
    if (stored.storedBefore && id >= 0)
        logLine(LOG_LEVEL_INFO, __LINE__,
                "sqlite: " + idempotencyEntry_ + "=" + stored.idempotencyKey +
                    " was stored before as row " + std::to_string(id) +
                    "; answered with that row, not stored again");
    noteStored(id >= 0, stored.error);
    if (id < 0) {
        logLine(LOG_LEVEL_ERROR, __LINE__,
                "sqlite: record not stored in " + path_ + ": " + stored.error);
        record.set("REASON", stored.error.c_str());  // the sender hears why, not only "1"
        return 1;
    }
    record.set("ROW_ID", std::to_string(id).c_str());
    return 0;
}

int SqlitePlugin::answerLookup(Record& record, RecordsReader::Clock::time_point deadline) {
    FoundRow row;
    std::string error, notice;
    // Compared with the entries as they were stored: in UTF-8.
    bool found = store_.lookup(bundled_support::hostTextToUtf8(record.get("FIELD")),
                               bundled_support::hostTextToUtf8(record.get("VALUE")), deadline, row,
                               error, notice);
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
