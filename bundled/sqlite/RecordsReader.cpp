#include "RecordsReader.h"

#include <sqlite3.h>

#include "LookupIndex.h"

namespace ostra_sqlite {

namespace {

using Clock = RecordsReader::Clock;

// A look at the clock every thousand steps of SQLite's machine: tens of
// microseconds apart, a cost nobody measures.
constexpr int kStepsBetweenLooks = 1000;

struct Limit {
    Clock::time_point deadline;
    const std::atomic<bool>* closing;
};

int pastLimit(void* limit) {
    const Limit& running = *static_cast<Limit*>(limit);
    return *running.closing || Clock::now() >= running.deadline ? 1 : 0;
}

std::string text(sqlite3_stmt* statement, int column) {
    const unsigned char* value = sqlite3_column_text(statement, column);
    return value ? reinterpret_cast<const char*>(value) : "";
}

}  // namespace

RecordsReader::~RecordsReader() { close(); }

bool RecordsReader::open(const ReaderSettings& settings, unsigned generation,
                         std::vector<std::string>& plans, std::string& error) {
    MutexLock lock(mutex_);
    closeLocked();
    settings_ = settings;
    lookupTimeoutMs_ = settings.lookupTimeoutMs;
    generation_ = generation;
    wanted_ = openLocked(plans, error);
    return wanted_;
}

bool RecordsReader::openLocked(std::vector<std::string>& plans, std::string& error) {
    // The store made the file: opening never makes one, so a path left
    // empty meanwhile fails here instead of hiding the rows.
    if (sqlite3_open_v2(settings_.path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        error = "cannot open " + settings_.path +
                " for lookups: " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
        closeLocked();
        return false;
    }
    sqlite3_busy_timeout(db_, settings_.busyTimeoutMs);
    bool ready = sqlite3_exec(db_, "PRAGMA query_only=1", nullptr, nullptr, nullptr) == SQLITE_OK &&
                 sqlite3_prepare_v2(db_, kScanningLookup, -1, &scanning_, nullptr) == SQLITE_OK;
    for (std::size_t i = 0; ready && i < settings_.lookupFields.size(); ++i) {
        const std::string& field = settings_.lookupFields[i];
        const std::string sql = indexedLookup(field);
        sqlite3_stmt* query = nullptr;
        ready = sqlite3_prepare_v2(db_, sql.c_str(), -1, &query, nullptr) == SQLITE_OK;
        if (!ready) break;
        indexed_[field] = query;
        const std::string index = lookupIndexName(field);
        if (usesIndex(sql, index))
            plans.push_back(field + " from the index " + index);
        else
            plans.push_back(field + " by reading every row (SQLite does not use the index " +
                            index + " for it)");
    }
    if (!ready) {
        error = settings_.path + ": cannot prepare the lookups: " + sqlite3_errmsg(db_);
        closeLocked();
        return false;
    }
    identity_ = bundled_support::identityOf(settings_.path);
    lastChecked_ = Clock::now();
    return true;
}

bool RecordsReader::usesIndex(const std::string& sql, const std::string& index) {
    sqlite3_stmt* plan = nullptr;
    bool indexed = false, scans = false;
    if (sqlite3_prepare_v2(db_, ("EXPLAIN QUERY PLAN " + sql).c_str(), -1, &plan, nullptr) ==
        SQLITE_OK) {
        while (sqlite3_step(plan) == SQLITE_ROW) {
            const std::string detail = text(plan, 3);
            indexed = indexed || detail.find("INDEX " + index + " ") != std::string::npos;
            scans = scans || detail.rfind("SCAN ", 0) == 0;
        }
    }
    sqlite3_finalize(plan);
    return indexed && !scans;
}

void RecordsReader::close() {
    // A lookup in progress gives up at its next look at the clock instead
    // of holding the stop up to its limit; those waiting give up at once.
    closing_ = true;
    {
        MutexLock turn(turnMutex_);
        turnFree_.notifyAll();
    }
    MutexLock lock(mutex_);
    closing_ = false;
    wanted_ = false;
    closeLocked();
}

void RecordsReader::closeLocked() {
    for (auto& query : indexed_) sqlite3_finalize(query.second);
    indexed_.clear();
    sqlite3_finalize(scanning_);
    scanning_ = nullptr;
    sqlite3_close(db_);
    db_ = nullptr;
}

RecordsReader::Outcome RecordsReader::lookup(const std::string& key, const std::string& value,
                                             Clock::time_point deadline, unsigned generation,
                                             bool reopen, FoundRow& row, std::string& error) {
    if (!takeTurn(deadline, error)) return Outcome::kFailed;
    Outcome outcome = lookupInTurn(key, value, deadline, generation, reopen, row, error);
    giveTurn();
    return outcome;
}

bool RecordsReader::takeTurn(Clock::time_point deadline, std::string& error) {
    MutexLock turn(turnMutex_);
    if (running_ && waiting_ >= kMostWaiting) {
        error = "too many lookups at once: " + std::to_string(waiting_) +
                " wait for the one in progress";
        return false;
    }
    ++waiting_;
    bool inTime = true;
    while (running_ && !closing_ && inTime) inTime = turnFree_.waitUntil(turn, deadline);
    --waiting_;
    if (closing_) {
        error = "the plug-in is stopping";
        return false;
    }
    if (running_) {
        error = pastLimitReason();
        return false;
    }
    running_ = true;
    return true;
}

void RecordsReader::giveTurn() {
    MutexLock turn(turnMutex_);
    running_ = false;
    turnFree_.notifyOne();
}

std::string RecordsReader::pastLimitReason() const {
    return "the lookup took longer than its limit of " + std::to_string(lookupTimeoutMs_.load()) +
           " ms (lookuptimeout)";
}

RecordsReader::Outcome RecordsReader::lookupInTurn(const std::string& key, const std::string& value,
                                                   Clock::time_point deadline, unsigned generation,
                                                   bool reopen, FoundRow& row, std::string& error) {
    MutexLock lock(mutex_);
    if (!wanted_) {
        error = "the database is closed";
        return Outcome::kFailed;
    }
    if (!db_ || reopen || generation != generation_) {
        generation_ = generation;
        closeLocked();
        std::vector<std::string> plans;
        // The path may have gone since the store opened it: the store
        // looks at it first, then this is tried again.
        if (!openLocked(plans, error)) return reopen ? Outcome::kFailed : Outcome::kAnotherFile;
    } else if (Clock::now() - lastChecked_ >= std::chrono::milliseconds(10)) {
        lastChecked_ = Clock::now();
        if (bundled_support::identityOf(settings_.path) != identity_) return Outcome::kAnotherFile;
    }
    auto indexed = indexed_.find(key);
    sqlite3_stmt* query = indexed != indexed_.end() ? indexed->second : scanning_;
    return run(query, key, value, deadline, row, error) ? Outcome::kAnswered : Outcome::kFailed;
}

bool RecordsReader::run(sqlite3_stmt* query, const std::string& key, const std::string& value,
                        Clock::time_point deadline, FoundRow& row, std::string& error) {
    Limit limit{deadline, &closing_};
    sqlite3_progress_handler(db_, kStepsBetweenLooks, pastLimit, &limit);
    sqlite3_reset(query);
    sqlite3_bind_text(query, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(query, 2, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    int status = sqlite3_step(query);
    row = FoundRow();
    if (status == SQLITE_ROW) {
        row.id = sqlite3_column_int64(query, 0);
        row.time = text(query, 1);
        row.type = sqlite3_column_int(query, 2);
        row.tag = sqlite3_column_int(query, 3);
        row.entries = text(query, 4);
        row.count = sqlite3_column_int64(query, 5);
    } else if (status == SQLITE_INTERRUPT && closing_) {
        error = "the plug-in is stopping";
    } else if (status == SQLITE_INTERRUPT) {
        error = pastLimitReason();
    } else if (status != SQLITE_DONE) {
        error = sqlite3_errmsg(db_);
    }
    sqlite3_reset(query);
    sqlite3_progress_handler(db_, 0, nullptr, nullptr);
    return status == SQLITE_ROW || status == SQLITE_DONE;
}

}  // namespace ostra_sqlite
