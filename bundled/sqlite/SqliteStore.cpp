#include "SqliteStore.h"

#include <sqlite3.h>

#include <cstdio>
#include <utility>

#include "Json.h"
#include "LookupIndex.h"
#include "SystemError.h"
#include "Utf8.h"
#include "common/Record.h"

namespace ostra_sqlite {

namespace {

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS records("
    " id INTEGER PRIMARY KEY,"
    " time TEXT NOT NULL,"
    " type INTEGER NOT NULL,"
    " tag INTEGER NOT NULL,"
    " entries TEXT NOT NULL,"
    " idempotencykey TEXT)";

// Files made before the key existed lack its column; adding it is a change
// of the schema only, whatever the number of rows. Partial: rows without a
// key cost the index nothing.
const char* const kHasKeyColumn =
    "SELECT count(*) FROM pragma_table_info('records') WHERE name = 'idempotencykey'";
const char* const kAddKeyColumn = "ALTER TABLE records ADD COLUMN idempotencykey TEXT";
const char* const kKeyIndex =
    "CREATE UNIQUE INDEX IF NOT EXISTS records_by_idempotencykey"
    " ON records(idempotencykey) WHERE idempotencykey IS NOT NULL";

// A key already stored inserts nothing (no change counted): the resend is
// then answered with the row found by kFindKey. Another connection's row
// with the key conflicts only once committed, so the lookup sees it.
const char* const kInsert =
    "INSERT INTO records(time, type, tag, entries, idempotencykey)"
    " VALUES(strftime('%Y-%m-%dT%H:%M:%fZ', 'now'), ?1, ?2, ?3, ?4)"
    " ON CONFLICT(idempotencykey) WHERE idempotencykey IS NOT NULL DO NOTHING";

const char* const kFindKey = "SELECT id FROM records WHERE idempotencykey = ?1";

// A transaction takes at most this many records: those behind wait for
// the next, so no caller's wait grows without bound.
constexpr std::size_t kBatch = 256;

}  // namespace

std::string entriesAsJson(const Record& record) {
    std::string json = "{";
    for (int i = 0; i < record.count(); ++i) {
        if (i > 0) json += ',';
        bundled_support::appendJsonString(json, bundled_support::hostTextToUtf8(record.keyAt(i)));
        json += ':';
        bundled_support::appendJsonString(json, bundled_support::hostTextToUtf8(record.valueAt(i)));
    }
    json += '}';
    return json;
}

// A caller of storeAll, waiting for its rows. It lives on its own stack
// and leaves only when every row of its is answered, or still in waiting_
// (no other thread has them then).
//
// Each caller is woken alone, through a lock of its own: by the commit that
// answers its last row (the last any other thread touches it or its rows),
// or to look again (a row of its at the front, the store closing). Woken
// under queueMutex_, the followers of a busy store would each wake only to
// wait for that lock while the commit answers the others.
struct SqliteStore::Caller {
    explicit Caller(std::size_t rows) : unanswered(rows) {}

    // Its rows in waiting_ (guarded by queueMutex_): only while it has any
    // may it take the turn; the others are in a batch and wait for its answer.
    std::size_t queued = 0;

    void answer(std::size_t rows) { signal(rows); }
    void lookAgain() { signal(0); }
    // Sleeps until every row is answered (true) or told to look again (false).
    bool awaitSignal() {
        MutexLock hold(signalMutex);
        while (!signalled) hold.wait(signal_);
        signalled = false;
        return unanswered == 0;
    }
    bool allAnswered() {
        MutexLock hold(signalMutex);
        return unanswered == 0;
    }

private:
    void signal(std::size_t answeredRows) {
        MutexLock hold(signalMutex);
        unanswered -= answeredRows;
        if (answeredRows > 0 && unanswered > 0) return;  // more to come
        signalled = true;
        signal_.notify_one();
    }
    Mutex signalMutex;
    std::condition_variable signal_;
    bool signalled OSTRA_GUARDED_BY(signalMutex) = false;
    std::size_t unanswered OSTRA_GUARDED_BY(signalMutex);
};

// A row and, once its commit is over, its answer.
struct SqliteStore::Waiting {
    Caller* caller = nullptr;
    int type = 0;
    int tag = 0;
    std::string json;
    std::string key;
    // Written by the commit that holds the row, read once it is answered.
    long long id = -1;
    bool storedBefore = false;
    std::string error;
    std::string notice;
};

SqliteStore::~SqliteStore() { close(); }

bool SqliteStore::takeTurnIfFree() {
    if (busy_) return false;
    busy_ = true;
    return true;
}

void SqliteStore::waitForTurn(MutexLock& lock) {
    while (busy_) lock.wait(turnGiven_);
    busy_ = true;
}

void SqliteStore::giveTurn() {
    busy_ = false;
    turnGiven_.notify_all();  // those who wait for the turn itself (open, close, a lookup)
    if (!waiting_.empty()) waiting_.front()->caller->lookAgain();
}

bool SqliteStore::open(const StoreSettings& settings, std::vector<std::string>& plans,
                       std::string& error) {
    MutexLock lock(queueMutex_);
    waitForTurn(lock);
    lock.unlock();
    reader_.close();
    closeLocked();
    settings_ = settings;
    bool opened = openLocked(error);
    if (opened) {
        ReaderSettings reading{settings_.path, settings_.busyTimeoutMs, settings_.lookupFields,
                               settings_.lookupTimeoutMs};
        opened = reader_.open(reading, generation_, plans, error);
        if (!opened) closeLocked();
    }
    std::string synchronous = opened ? readSynchronous() : "";
    lock.lock();
    open_ = opened;
    synchronousInForce_ = synchronous;
    giveTurn();
    return opened;
}

bool SqliteStore::openLocked(std::string& error) {
    const StoreSettings& settings = settings_;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(settings.path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        error = "cannot open " + settings.path + ": " + lastError() + systemReason();
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    sqlite3_busy_timeout(db_, settings.busyTimeoutMs);
    std::string pragmas =
        "PRAGMA journal_mode=WAL; PRAGMA synchronous=" + settings.synchronous + ";";
    bool ready = execute(pragmas.c_str(), error) && makeSchema(error) &&
                 sqlite3_prepare_v2(db_, kInsert, -1, &insert_, nullptr) == SQLITE_OK &&
                 sqlite3_prepare_v2(db_, kFindKey, -1, &findKey_, nullptr) == SQLITE_OK &&
                 prepareTransactionStatements();
    if (!ready) {
        if (error.empty()) error = lastError();
        error = settings.path + ": " + error + systemReason();
        closeLocked();
    }
    identity_ =
        ready ? bundled_support::identityOf(settings.path) : bundled_support::FileIdentity();
    if (ready) ++generation_;
    return ready;
}

bool SqliteStore::makeSchema(std::string& error) {
    // One transaction: two hosts opening an old file at once add the column
    // once, and a failure leaves the file as it was.
    if (!execute("BEGIN IMMEDIATE", error)) return false;
    sqlite3_stmt* query = nullptr;
    bool made = execute(kSchema, error) &&
                sqlite3_prepare_v2(db_, kHasKeyColumn, -1, &query, nullptr) == SQLITE_OK &&
                sqlite3_step(query) == SQLITE_ROW;
    bool hasKeyColumn = made && sqlite3_column_int(query, 0) > 0;
    sqlite3_finalize(query);
    made = made && (hasKeyColumn || execute(kAddKeyColumn, error)) && execute(kKeyIndex, error);
    for (const std::string& field : settings_.lookupFields)
        made = made && execute(createLookupIndex(field).c_str(), error);
    made = made && execute("COMMIT", error);
    if (!made) {
        if (error.empty()) error = lastError();
        std::string ignored;
        execute("ROLLBACK", ignored);
    }
    return made;
}

bool SqliteStore::ensureTheFileAtThePath(std::string& error, std::string& notice, bool always) {
    auto checkedAt = std::chrono::steady_clock::now();
    if (!always && checkedAt - lastChecked_ < std::chrono::milliseconds(10)) return true;
    lastChecked_ = checkedAt;
    bundled_support::FileIdentity now = bundled_support::identityOf(settings_.path);
    if (now == identity_) return true;
    if (now.exists) {
        notice = settings_.path + " was replaced while open; storing into the file now there";
    } else {
        long long rows = copyIntoANewFileAtThePath(error);
        if (rows < 0) return false;
        notice = settings_.path + " was deleted or renamed while open; made anew there with its " +
                 std::to_string(rows) + " rows";
    }
    closeLocked();
    return openLocked(error);
}

long long SqliteStore::copyIntoANewFileAtThePath(std::string& error) {
    // The old log files still carry the moved file's name: a new file at
    // the path must not start from them (SQLite would replay the old pages
    // into it). This connection keeps them open for its own reading.
    std::remove((settings_.path + "-wal").c_str());
    std::remove((settings_.path + "-shm").c_str());
    // The moved file can no longer be written, but it can be read, log
    // included: every row it holds goes into the new file.
    sqlite3_stmt* attach = nullptr;
    bool attached =
        sqlite3_prepare_v2(db_, "ATTACH DATABASE ?1 AS fresh", -1, &attach, nullptr) == SQLITE_OK &&
        sqlite3_bind_text(attach, 1, settings_.path.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
        sqlite3_step(attach) == SQLITE_DONE;
    sqlite3_finalize(attach);
    if (!attached) {
        error = "cannot make " + settings_.path + " anew: " + lastError();
        return -1;
    }
    std::string schema = std::string(kSchema);
    schema.replace(schema.find("records("), 8, "fresh.records(");
    bool copied = execute(schema.c_str(), error) &&
                  execute("INSERT INTO fresh.records SELECT * FROM main.records", error);
    long long rows = copied ? sqlite3_changes(db_) : -1;
    std::string detachError;
    execute("DETACH DATABASE fresh", detachError);
    if (!copied) error = "cannot copy the rows into " + settings_.path + ": " + error;
    return rows;
}

std::string SqliteStore::close() {
    MutexLock lock(queueMutex_);
    open_ = false;  // whoever waits for the turn now gives up
    turnGiven_.notify_all();
    for (Waiting* record : waiting_) record->caller->lookAgain();
    waitForTurn(lock);
    lock.unlock();
    // The reader first: the last connection to close takes the log into
    // the file.
    reader_.close();
    std::string error, notice;
    if (db_ && !ensureTheFileAtThePath(error, notice, true)) notice = error;
    closeLocked();
    lock.lock();
    giveTurn();
    return notice;
}

void SqliteStore::closeLocked() {
    if (!db_) return;
    for (sqlite3_stmt** statement :
         {&insert_, &findKey_, &begin_, &commit_, &savepoint_, &release_, &rollbackTo_}) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
    }
    sqlite3_close(db_);
    db_ = nullptr;
}

bool SqliteStore::isOpen() {
    MutexLock lock(queueMutex_);
    return open_;
}

void SqliteStore::storeAll(std::vector<StoreRequest>& requests) {
    if (requests.empty()) return;
    Caller me(requests.size());
    std::vector<Waiting> mine(requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
        mine[i].caller = &me;
        mine[i].type = requests[i].type;
        mine[i].tag = requests[i].tag;
        mine[i].json = entriesAsJson(*requests[i].record);
        mine[i].key = requests[i].idempotencyKey;
    }
    waitForRows(me, mine);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        requests[i].id = mine[i].id;
        requests[i].storedBefore = mine[i].storedBefore;
        requests[i].error = std::move(mine[i].error);
        requests[i].notice = std::move(mine[i].notice);
    }
}

void SqliteStore::waitForRows(Caller& me, std::vector<Waiting>& mine) {
    MutexLock lock(queueMutex_);
    if (!open_) {
        for (Waiting& row : mine) row.error = "the database is closed";
        return;
    }
    // Together and in order: the commits take rows from the front, so they
    // land as given, in one transaction unless one is already full.
    for (Waiting& row : mine) waiting_.push_back(&row);
    me.queued = mine.size();
    for (;;) {
        if (!open_) {
            // Closing: withdrawn unless a commit has them already (that one
            // answers them, and close() waits for it).
            std::size_t withdrawn = 0;
            for (auto it = waiting_.begin(); it != waiting_.end();) {
                if ((*it)->caller != &me) {
                    ++it;
                    continue;
                }
                (*it)->error = "the database is closed";
                it = waiting_.erase(it);
                ++withdrawn;
            }
            me.queued = 0;
            if (withdrawn > 0) me.answer(withdrawn);
            if (me.allAnswered()) return;
        } else if (me.queued > 0 && takeTurnIfFree()) {
            std::vector<Waiting*> batch;
            while (!waiting_.empty() && batch.size() < kBatch) {
                batch.push_back(waiting_.front());
                --batch.back()->caller->queued;
                waiting_.pop_front();
            }
            lock.unlock();
            commit(batch);
            lock.lock();
            // The next commit may begin while this one's rows are told.
            giveTurn();
            lock.unlock();
            // Rows of one caller come together: each caller is told once.
            for (std::size_t i = 0; i < batch.size();) {
                Caller* caller = batch[i]->caller;
                std::size_t rows = 0;
                while (i < batch.size() && batch[i]->caller == caller) ++rows, ++i;
                caller->answer(rows);
            }
            if (me.allAnswered()) return;
            lock.lock();
            continue;
        }
        lock.unlock();
        if (me.awaitSignal()) return;
        lock.lock();
    }
}

void SqliteStore::commit(const std::vector<Waiting*>& batch) {
    std::string error;
    if (!db_) {
        error = "the database is closed";
    } else if (ensureTheFileAtThePath(error, batch.front()->notice) && step(begin_, error)) {
        for (Waiting* record : batch) {
            insert(*record);
            if (sqlite3_get_autocommit(db_)) break;
        }
        // An error that ends the transaction (a full disk, an I/O error)
        // takes every row with it: none of them is answered as stored.
        if (sqlite3_get_autocommit(db_)) {
            error = lastError();
        } else if (!step(commit_, error)) {
            std::string ignored;
            if (!sqlite3_get_autocommit(db_)) execute("ROLLBACK", ignored);
        } else {
            // Answered 0 only once in the file at the path: a file deleted
            // since the look above is made anew, these rows with the rest,
            // before anyone hears of them.
            ensureTheFileAtThePath(error, batch.front()->notice, true);
        }
    }
    if (error.empty()) return;
    for (Waiting* record : batch) {
        record->id = -1;
        record->storedBefore = false;
        if (record->error.empty()) record->error = error;
    }
}

void SqliteStore::insert(Waiting& record) {
    // Its own savepoint: a row the table refuses (a trigger, a constraint)
    // is undone alone, and the rows before and after it stay.
    if (!step(savepoint_, record.error)) return;
    sqlite3_reset(insert_);
    sqlite3_bind_int(insert_, 1, record.type);
    sqlite3_bind_int(insert_, 2, record.tag);
    sqlite3_bind_text(insert_, 3, record.json.data(), static_cast<int>(record.json.size()),
                      SQLITE_TRANSIENT);
    if (record.key.empty())
        sqlite3_bind_null(insert_, 4);
    else
        sqlite3_bind_text(insert_, 4, record.key.data(), static_cast<int>(record.key.size()),
                          SQLITE_TRANSIENT);
    int status = sqlite3_step(insert_);
    sqlite3_reset(insert_);
    if (status != SQLITE_DONE) {
        record.error = lastError();
    } else if (sqlite3_changes(db_) > 0) {
        record.id = sqlite3_last_insert_rowid(db_);
    } else {
        // Its key is in the file, or earlier in this transaction.
        record.storedBefore = true;
        record.id = rowWithKey(record.key, record.error);
    }
    if (sqlite3_get_autocommit(db_)) return;  // the transaction is gone
    std::string ignored;
    if (record.id < 0) step(rollbackTo_, ignored);
    step(release_, ignored);
}

long long SqliteStore::rowWithKey(const std::string& idempotencyKey, std::string& error) {
    sqlite3_reset(findKey_);
    sqlite3_bind_text(findKey_, 1, idempotencyKey.data(), static_cast<int>(idempotencyKey.size()),
                      SQLITE_TRANSIENT);
    int status = sqlite3_step(findKey_);
    long long id = status == SQLITE_ROW ? sqlite3_column_int64(findKey_, 0) : -1;
    if (status == SQLITE_DONE)
        error = "the row stored with this key was deleted";
    else if (status != SQLITE_ROW)
        error = lastError();
    sqlite3_reset(findKey_);
    return id;
}

bool SqliteStore::lookup(const std::string& key, const std::string& value,
                         RecordsReader::Clock::time_point deadline, FoundRow& row,
                         std::string& error, std::string& notice) {
    using Outcome = RecordsReader::Outcome;
    Outcome outcome = reader_.lookup(key, value, deadline, generation_, false, row, error);
    if (outcome != Outcome::kAnotherFile) return outcome == Outcome::kAnswered;
    // Not the file at the path: the writer repairs the path as it does
    // before a store, and the reader opens what is there then.
    if (!lookAtThePath(error, notice)) return false;
    return reader_.lookup(key, value, deadline, generation_, true, row, error) ==
           Outcome::kAnswered;
}

bool SqliteStore::lookAtThePath(std::string& error, std::string& notice) {
    MutexLock lock(queueMutex_);
    if (!open_) {
        error = "the database is closed";
        return false;
    }
    waitForTurn(lock);
    lock.unlock();
    bool looked = db_ && ensureTheFileAtThePath(error, notice, true);
    if (!db_) error = "the database is closed";
    lock.lock();
    giveTurn();
    return looked;
}

bool SqliteStore::prepareTransactionStatements() {
    // Prepared once, not parsed again for every row inside the commit,
    // where every other record waits.
    const std::pair<sqlite3_stmt**, const char*> statements[] = {
        {&begin_, "BEGIN IMMEDIATE"},
        {&commit_, "COMMIT"},
        {&savepoint_, "SAVEPOINT record"},
        {&release_, "RELEASE record"},
        {&rollbackTo_, "ROLLBACK TO record"}};
    for (const auto& [statement, sql] : statements)
        if (sqlite3_prepare_v2(db_, sql, -1, statement, nullptr) != SQLITE_OK) return false;
    return true;
}

bool SqliteStore::step(sqlite3_stmt* statement, std::string& error) {
    int status = sqlite3_step(statement);
    const bool done = status == SQLITE_DONE || status == SQLITE_ROW;
    if (!done) error = lastError();
    sqlite3_reset(statement);
    return done;
}

bool SqliteStore::execute(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message ? message : lastError();
    sqlite3_free(message);
    return false;
}

std::string SqliteStore::lastError() const { return db_ ? sqlite3_errmsg(db_) : "out of memory"; }

std::string SqliteStore::readSynchronous() {
    static const char* const kNames[] = {"OFF", "NORMAL", "FULL", "EXTRA"};
    sqlite3_stmt* query = nullptr;
    std::string name = "?";
    if (sqlite3_prepare_v2(db_, "PRAGMA synchronous", -1, &query, nullptr) == SQLITE_OK &&
        sqlite3_step(query) == SQLITE_ROW) {
        int value = sqlite3_column_int(query, 0);
        if (value >= 0 && value < 4) name = kNames[value];
    }
    sqlite3_finalize(query);
    return name;
}

std::string SqliteStore::synchronousInForce() {
    MutexLock lock(queueMutex_);
    return synchronousInForce_;
}

std::string SqliteStore::systemReason() const {
    // Only a failure of the file itself has a system reason; a schema error
    // would pick up some earlier call's.
    if (db_ != nullptr) {
        int code = sqlite3_errcode(db_) & 0xff;
        if (code != SQLITE_CANTOPEN && code != SQLITE_READONLY && code != SQLITE_IOERR &&
            code != SQLITE_PERM && code != SQLITE_NOTADB)
            return "";
    }
    std::string reason = bundled_support::whyNotWritable(settings_.path);
    if (reason.empty() && db_ != nullptr)
        reason = bundled_support::systemErrorText(sqlite3_system_errno(db_));
    return reason.empty() ? "" : " (" + reason + ")";
}

}  // namespace ostra_sqlite
