#include "Spool.h"

#include <cstdio>

#include <sqlite3.h>

#include <algorithm>

namespace ostra_pgsql {

namespace {

const char* const kPragmas = "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;";

const char* const kInsert =
    "INSERT INTO spool(time, type, tag, entries, entry_order, service, host, site, seq,"
    " idempotencykey) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)"
    " ON CONFLICT DO NOTHING";
const char* const kOldest =
    "SELECT n, time, type, tag, entries, entry_order, service, host, site, seq,"
    " idempotencykey FROM spool ORDER BY n LIMIT ?1";
const char* const kRemove = "DELETE FROM spool WHERE n <= ?1";
const char* const kDepth = "SELECT count(*) FROM spool";
const char* const kOldestTime = "SELECT time FROM spool ORDER BY n LIMIT 1";

std::string column(sqlite3_stmt* statement, int index) {
    const unsigned char* text = sqlite3_column_text(statement, index);
    return text ? std::string(reinterpret_cast<const char*>(text),
                              static_cast<std::size_t>(sqlite3_column_bytes(statement, index)))
                : std::string();
}

void bindText(sqlite3_stmt* statement, int index, const std::string& text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
}

// Binds the row's fields to ?first .. ?first+9.
void bindRow(sqlite3_stmt* statement, int first, const PgRow& row) {
    bindText(statement, first, row.time);
    sqlite3_bind_int(statement, first + 1, row.type);
    sqlite3_bind_int(statement, first + 2, row.tag);
    bindText(statement, first + 3, row.entries);
    bindText(statement, first + 4, row.entryOrder);
    bindText(statement, first + 5, row.identity.service);
    bindText(statement, first + 6, row.identity.host);
    bindText(statement, first + 7, row.identity.site);
    sqlite3_bind_int64(statement, first + 8, row.seq);
    if (row.idempotencyKey.empty())
        sqlite3_bind_null(statement, first + 9);
    else
        bindText(statement, first + 9, row.idempotencyKey);
}

}  // namespace

std::string Spool::schemaIn(const std::string& db) {
    return "CREATE TABLE IF NOT EXISTS " + db +
           ".spool(n INTEGER PRIMARY KEY, time TEXT NOT NULL,"
           " type INTEGER NOT NULL, tag INTEGER NOT NULL, entries TEXT NOT NULL,"
           " entry_order TEXT NOT NULL, service TEXT NOT NULL, host TEXT NOT NULL,"
           " site TEXT NOT NULL, seq INTEGER NOT NULL, idempotencykey TEXT);"
           "CREATE UNIQUE INDEX IF NOT EXISTS " +
           db +
           ".spool_by_idempotencykey"
           " ON spool(service, host, site, idempotencykey) WHERE idempotencykey IS NOT NULL;"
           "CREATE TABLE IF NOT EXISTS " +
           db +
           ".refused(n INTEGER PRIMARY KEY, time TEXT, type INTEGER,"
           " tag INTEGER, entries TEXT, entry_order TEXT, service TEXT, host TEXT, site TEXT,"
           " seq INTEGER, idempotencykey TEXT, error TEXT, refused_at TEXT);"
           "CREATE TABLE IF NOT EXISTS " +
           db + ".state(name TEXT PRIMARY KEY, value INTEGER NOT NULL);";
}

Spool::~Spool() { close(); }

bool Spool::open(const std::string& path, std::string& error) {
    ostra::MutexLock guard(mutex_);
    path_ = path;
    if (bundled_support::identityOf(path).exists && !verified(error)) return false;
    return openLocked(error);
}

bool Spool::openLocked(std::string& error) {
    const std::string& path = path_;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    bool ready = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) == SQLITE_OK &&
                 sqlite3_busy_timeout(db_, 5000) == SQLITE_OK && execute(kPragmas, error) &&
                 execute(schemaIn("main").c_str(), error) &&
                 sqlite3_prepare_v2(db_, kInsert, -1, &insert_, nullptr) == SQLITE_OK &&
                 sqlite3_prepare_v2(db_, kOldest, -1, &oldest_, nullptr) == SQLITE_OK &&
                 sqlite3_prepare_v2(db_, kRemove, -1, &remove_, nullptr) == SQLITE_OK &&
                 sqlite3_prepare_v2(db_, kOldestTime, -1, &oldestTime_, nullptr) == SQLITE_OK;
    // A count that fails is no empty spool: the open fails.
    sqlite3_stmt* count = nullptr;
    ready = ready && sqlite3_prepare_v2(db_, kDepth, -1, &count, nullptr) == SQLITE_OK &&
            sqlite3_step(count) == SQLITE_ROW;
    if (ready) depth_ = sqlite3_column_int64(count, 0);
    sqlite3_finalize(count);
    count = nullptr;
    if (ready &&
        sqlite3_prepare_v2(db_, "SELECT count(*) FROM refused", -1, &count, nullptr) == SQLITE_OK &&
        sqlite3_step(count) == SQLITE_ROW)
        refusedKept_ = sqlite3_column_int64(count, 0);
    sqlite3_finalize(count);
    if (ready) noteOldestLocked();
    if (!ready) {
        if (error.empty()) error = lastError();
        error = "cannot open the spool " + path + ": " + error;
        closeLocked();
    }
    identity_ = ready ? bundled_support::identityOf(path) : bundled_support::FileIdentity();
    return ready;
}

void Spool::close() {
    ostra::MutexLock guard(mutex_);
    closeLocked();
}

void Spool::closeLocked() {
    for (sqlite3_stmt** statement : {&insert_, &oldest_, &remove_, &oldestTime_}) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
    }
    sqlite3_close(db_);
    db_ = nullptr;
}

bool Spool::put(const PgRow& row, bool& heldBefore, std::string& error) {
    std::vector<bool> held;
    if (!putAll({&row}, held, error)) return false;
    heldBefore = held[0];
    return true;
}

bool Spool::putAll(const std::vector<const PgRow*>& rows, std::vector<bool>& heldBefore,
                   std::string& error) {
    ostra::MutexLock guard(mutex_);
    heldBefore.assign(rows.size(), false);
    if (!db_) {
        error = "the spool is closed";
        return false;
    }
    if (!theFileAtThePath(error)) return false;
    // One row commits on its own; more go in one transaction, all or none.
    const bool together = rows.size() > 1;
    if (together && !execute("BEGIN IMMEDIATE", error)) {
        error = "cannot write the spool " + path_ + ": " + error;
        return false;
    }
    long long added = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        sqlite3_reset(insert_);
        bindRow(insert_, 1, *rows[i]);
        int status = sqlite3_step(insert_);
        sqlite3_reset(insert_);
        if (status != SQLITE_DONE) {
            error = "cannot write the spool " + path_ + ": " + lastError();
            std::string ignored;
            if (together) execute("ROLLBACK", ignored);
            heldBefore.assign(rows.size(), false);
            return false;
        }
        heldBefore[i] = sqlite3_changes(db_) == 0;
        if (!heldBefore[i]) ++added;
    }
    if (together && !execute("COMMIT", error)) {
        error = "cannot write the spool " + path_ + ": " + error;
        std::string ignored;
        execute("ROLLBACK", ignored);
        heldBefore.assign(rows.size(), false);
        return false;
    }
    depth_ += added;
    if (oldestMillis_.load() == 0) noteOldestLocked();
    return true;
}

bool Spool::oldest(int limit, std::vector<PgRow>& rows, std::string& error) {
    ostra::MutexLock guard(mutex_);
    rows.clear();
    if (!db_) {
        error = "the spool is closed";
        return false;
    }
    if (!theFileAtThePath(error)) return false;
    sqlite3_reset(oldest_);
    sqlite3_bind_int(oldest_, 1, limit);
    int status;
    while ((status = sqlite3_step(oldest_)) == SQLITE_ROW) {
        PgRow row;
        row.spoolId = sqlite3_column_int64(oldest_, 0);
        row.time = column(oldest_, 1);
        row.type = sqlite3_column_int(oldest_, 2);
        row.tag = sqlite3_column_int(oldest_, 3);
        row.entries = column(oldest_, 4);
        row.entryOrder = column(oldest_, 5);
        row.identity = {column(oldest_, 6), column(oldest_, 7), column(oldest_, 8)};
        row.seq = sqlite3_column_int64(oldest_, 9);
        row.idempotencyKey = column(oldest_, 10);
        rows.push_back(std::move(row));
    }
    sqlite3_reset(oldest_);
    if (status != SQLITE_DONE) error = "cannot read the spool " + path_ + ": " + lastError();
    return status == SQLITE_DONE;
}

bool Spool::removeUpTo(long long upTo, std::string& error) {
    ostra::MutexLock guard(mutex_);
    if (!db_) {
        error = "the spool is closed";
        return false;
    }
    if (!theFileAtThePath(error)) return false;
    sqlite3_reset(remove_);
    sqlite3_bind_int64(remove_, 1, upTo);
    int status = sqlite3_step(remove_);
    sqlite3_reset(remove_);
    if (status == SQLITE_FULL) {
        // A full disk: the log folded into the file and emptied gives the
        // delete room to be written.
        sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
        status = sqlite3_step(remove_);
        sqlite3_reset(remove_);
    }
    if (status == SQLITE_DONE) depth_ -= sqlite3_changes(db_);
    if (status != SQLITE_DONE) error = "cannot write the spool " + path_ + ": " + lastError();
    noteOldestLocked();
    return status == SQLITE_DONE;
}

bool Spool::setAside(const PgRow& row, const std::string& why, std::string& error) {
    ostra::MutexLock guard(mutex_);
    if (!db_) {
        error = "the spool is closed";
        return false;
    }
    if (!theFileAtThePath(error)) return false;
    sqlite3_stmt* move = nullptr;
    bool moved =
        execute("BEGIN IMMEDIATE", error) &&
        sqlite3_prepare_v2(db_,
                           "INSERT INTO refused(time, type, tag, entries, entry_order, service,"
                           " host, site, seq, idempotencykey, error, refused_at)"
                           " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11,"
                           " strftime('%Y-%m-%dT%H:%M:%fZ', 'now'))",
                           -1, &move, nullptr) == SQLITE_OK;
    if (moved) {
        bindRow(move, 1, row);
        bindText(move, 11, why);
        moved = sqlite3_step(move) == SQLITE_DONE;
    }
    sqlite3_finalize(move);
    std::string remove = "DELETE FROM spool WHERE n = " + std::to_string(row.spoolId);
    moved = moved && execute(remove.c_str(), error) && execute("COMMIT", error);
    if (moved) {
        --depth_;
        ++refusedKept_;
        noteOldestLocked();
    }
    if (!moved) {
        if (error.empty()) error = lastError();
        error = "cannot write the spool " + path_ + ": " + error;
        std::string ignored;
        execute("ROLLBACK", ignored);
    }
    return moved;
}

long long Spool::depth() { return depth_.load(); }

void Spool::noteOldestLocked() {
    sqlite3_reset(oldestTime_);
    std::string time = sqlite3_step(oldestTime_) == SQLITE_ROW ? column(oldestTime_, 0) : "";
    sqlite3_reset(oldestTime_);
    oldestMillis_ = time.empty() ? 0 : utcMillis(time);
}

long long utcMillis(const std::string& time) {
    int year, month, day, hour, minute;
    double second;
    if (std::sscanf(time.c_str(), "%4d-%2d-%2dT%2d:%2d:%lfZ", &year, &month, &day, &hour, &minute,
                    &second) != 6)
        return 0;
    // Days since 1970-01-01 of a proleptic Gregorian date.
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const long long days = static_cast<long long>(era) * 146097 + dayOfEra - 719468;
    return ((days * 24 + hour) * 60 + minute) * 60000LL + static_cast<long long>(second * 1000);
}

std::string Spool::oldestTime() {
    ostra::MutexLock guard(mutex_);
    if (!db_) return "";
    sqlite3_reset(oldestTime_);
    std::string time = sqlite3_step(oldestTime_) == SQLITE_ROW ? column(oldestTime_, 0) : "";
    sqlite3_reset(oldestTime_);
    return time;
}

bool Spool::reserveSequence(long long count, long long atLeast, long long& first,
                            std::string& error) {
    ostra::MutexLock guard(mutex_);
    if (!db_) {
        error = "the spool is closed";
        return false;
    }
    if (!theFileAtThePath(error)) return false;
    sqlite3_stmt* read = nullptr;
    bool done = execute("BEGIN IMMEDIATE", error) &&
                sqlite3_prepare_v2(db_, "SELECT value FROM state WHERE name = 'nextseq'", -1, &read,
                                   nullptr) == SQLITE_OK;
    long long stored = 0;
    if (done && sqlite3_step(read) == SQLITE_ROW) stored = sqlite3_column_int64(read, 0);
    sqlite3_finalize(read);
    first = std::max(stored, atLeast);
    std::string write = "INSERT OR REPLACE INTO state(name, value) VALUES('nextseq', " +
                        std::to_string(first + count) + ")";
    done = done && execute(write.c_str(), error) && execute("COMMIT", error);
    if (!done) {
        if (error.empty()) error = lastError();
        error = "cannot write the spool " + path_ + ": " + error;
        std::string ignored;
        execute("ROLLBACK", ignored);
    }
    return done;
}

bool Spool::execute(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message ? message : lastError();
    sqlite3_free(message);
    return false;
}

std::string Spool::lastError() const { return db_ ? sqlite3_errmsg(db_) : "out of memory"; }

}  // namespace ostra_pgsql
