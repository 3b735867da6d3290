// SqliteStore: the records file, safe for several threads: one connection
// that writes, and one for lookups (RecordsReader.h).
//
// The file holds one table:
//
//   CREATE TABLE records(
//       id      INTEGER PRIMARY KEY,  -- rising with every stored record
//       time    TEXT NOT NULL,        -- UTC, e.g. 2026-12-08T06:01:02.345Z
//       type    INTEGER NOT NULL,     -- the protocol's type code (PBX: 1)
//       tag     INTEGER NOT NULL,     -- the tag the record came with
//       entries TEXT NOT NULL,        -- the record as a JSON object, in order
//       idempotencykey TEXT);         -- the sender's key for the record, or NULL
//   CREATE UNIQUE INDEX records_by_idempotencykey ON records(idempotencykey)
//       WHERE idempotencykey IS NOT NULL;
//   CREATE INDEX "records_by_entry_CALLER"     -- one per lookup field
//       ON records(json_extract(entries, '$."CALLER"'));
//
// A file made before the key column existed gets it when opened; its rows
// keep a NULL key. A lookup field's index is made when the file is opened
// (on a large file that takes a while, once); an index of a field no
// longer named stays, kept up by every insert, until someone drops it.
//
// Group commit: the write connection is used by one thread at a time. A
// caller that finds it free commits its own record and every record
// waiting then, in one transaction, on its own thread; callers that come
// meanwhile wait, and the next of them to find it free commits what waits
// then. Each record is answered only after the commit that holds it, so
// several senders share one wait for the disk instead of queueing for one
// each. A record the table refuses is undone alone (a savepoint each): the
// others of its transaction are stored as they would be alone. A caller
// may bring several rows at once (storeAll, a pipelining sender's batch):
// they queue together, in order, and share the commit as well.
//
// The file is opened in WAL mode with a busy timeout, so readers (the
// lookups' own connection among them) and other stores on the same file
// never make a store fail at once. A store returns only after its
// transaction committed: a record answered as stored is in the file
// whatever the host does next. Before a commit, at close, and when a
// lookup finds its file gone, the file at the path is checked to be the
// one open (one stat, at most every 10 ms: a check per row would cost a
// tenth of a busy store's time), so that rows never go on into a file
// nobody can find. When it was deleted or renamed away, the path is made
// anew with every row the open file holds, those stored since it went
// included (an operator's slip costs nothing; to start a fresh file, stop
// the host first). When another file was put there, it is opened and
// used; rows stored in the moments before that was noticed stay in the
// file that was replaced.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <string>
#include <vector>

#include "FileIdentity.h"
#include "RecordsReader.h"
#include "platform/Mutex.h"

struct sqlite3;
struct sqlite3_stmt;
class Record;

namespace ostra_sqlite {

using ostra::Mutex;
using ostra::MutexLock;

struct StoreSettings {
    std::string path;
    int busyTimeoutMs = 5000;
    // FULL: a record answered as stored survives a power cut or an OS crash
    // too (every commit waits for the disk). NORMAL: it survives a crash of
    // the process, but the last commits may roll back after a power cut.
    std::string synchronous = "FULL";       // OFF, NORMAL or FULL
    std::vector<std::string> lookupFields;  // entries a LOOKUP finds by an index
    int lookupTimeoutMs = 2000;             // the longest a LOOKUP may take
};

class SqliteStore {
public:
    SqliteStore() = default;
    ~SqliteStore();
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    // Opens (creating when needed) the file, its table and the lookup
    // fields' indexes. False with `error` set when that fails. `plans`:
    // one line per lookup field, whether its lookups read the index.
    bool open(const StoreSettings& settings, std::vector<std::string>& plans, std::string& error);
    // The synchronous mode the open file runs with, as the connection
    // reports it ("FULL", "NORMAL", "OFF").
    std::string synchronousInForce();
    // Waits for the commit in progress and stops a lookup in progress,
    // then closes the file, after the last check of the path; what that
    // check did, or empty. Records still waiting for their turn are
    // answered as closed.
    std::string close();
    bool isOpen();

    // One row to store, and what became of it: its id, or -1 with `error`
    // set; `notice` says so when the file had to be opened anew first. With
    // a non-empty `idempotencyKey` already in the file (stored by any
    // connection, before any restart, or earlier in the same transaction),
    // nothing is stored: the id is that row's and `storedBefore` is set. The
    // key is committed with its row, so a row whose answer was lost is found
    // when its sender tries again.
    struct StoreRequest {
        int type = 0;
        int tag = 0;
        const Record* record = nullptr;
        std::string idempotencyKey;
        long long id = -1;
        bool storedBefore = false;
        std::string error;
        std::string notice;
    };
    // Stores the rows in their order, together: in one transaction with the
    // rows other threads store meanwhile (in two when a transaction fills
    // up). Each is undone alone when the table refuses it. Returns once
    // every one of them is committed or has failed.
    void storeAll(std::vector<StoreRequest>& requests);

    // Rows whose entries hold `key` with the value `value`, read beside the
    // writer, by `deadline` (see RecordsReader). False with `error` set on
    // failure; `row.count` 0 when nothing matched.
    bool lookup(const std::string& key, const std::string& value,
                RecordsReader::Clock::time_point deadline, FoundRow& row, std::string& error,
                std::string& notice);

private:
    // The right to use the write connection: held by one thread at a time
    // (the one that set busy_), not a mutex, so that no lock is held while
    // a commit waits for the disk.
    class OSTRA_CAPABILITY("the writer's turn") Turn {};
    struct Caller;
    struct Waiting;

    // Queues `mine` and waits until each is answered, committing what
    // waits whenever the turn is free and a row of its still waits.
    void waitForRows(Caller& me, std::vector<Waiting>& mine);

    // The turn is busy_, read and set under queueMutex_; these three are
    // what the analysis takes as its acquiring and releasing.
    bool takeTurnIfFree() OSTRA_REQUIRES(queueMutex_)
        OSTRA_TRY_ACQUIRE(true, turn_) OSTRA_NO_THREAD_SAFETY_ANALYSIS;
    void waitForTurn(MutexLock& lock) OSTRA_REQUIRES(queueMutex_)
        OSTRA_ACQUIRE(turn_) OSTRA_NO_THREAD_SAFETY_ANALYSIS;
    void giveTurn() OSTRA_REQUIRES(queueMutex_)
        OSTRA_RELEASE(turn_) OSTRA_NO_THREAD_SAFETY_ANALYSIS;

    // Commits `batch` in one transaction and answers each of its records.
    void commit(const std::vector<Waiting*>& batch) OSTRA_REQUIRES(turn_);
    void insert(Waiting& record) OSTRA_REQUIRES(turn_);
    // Has the writer look at the path (and repair it), for a lookup.
    bool lookAtThePath(std::string& error, std::string& notice);

    bool openLocked(std::string& error) OSTRA_REQUIRES(turn_);
    // The table, the key's unique index and the lookup fields' indexes,
    // the key column added to a file made without it.
    bool makeSchema(std::string& error) OSTRA_REQUIRES(turn_);
    // The id of the row stored with `idempotencyKey`, or -1 with `error` set.
    long long rowWithKey(const std::string& idempotencyKey, std::string& error)
        OSTRA_REQUIRES(turn_);
    void closeLocked() OSTRA_REQUIRES(turn_);
    // False with `error` set when the file had to be opened anew and could
    // not be. Looks at the path only when `always` or 10 ms have passed.
    bool ensureTheFileAtThePath(std::string& error, std::string& notice, bool always = false)
        OSTRA_REQUIRES(turn_);
    // The rows copied, or -1 with `error` set.
    long long copyIntoANewFileAtThePath(std::string& error) OSTRA_REQUIRES(turn_);
    bool prepareTransactionStatements() OSTRA_REQUIRES(turn_);
    // Runs a prepared statement that returns no rows; false with `error` set.
    bool step(sqlite3_stmt* statement, std::string& error) OSTRA_REQUIRES(turn_);
    bool execute(const char* sql, std::string& error) OSTRA_REQUIRES(turn_);
    std::string lastError() const OSTRA_REQUIRES(turn_);
    // " (<the operating system's reason>)" after a failed file operation
    // (a read-only file system, a folder it may not write), or "".
    std::string systemReason() const OSTRA_REQUIRES(turn_);
    std::string readSynchronous() OSTRA_REQUIRES(turn_);

    Mutex queueMutex_;
    std::condition_variable turnGiven_;
    std::deque<Waiting*> waiting_ OSTRA_GUARDED_BY(queueMutex_);
    bool busy_ OSTRA_GUARDED_BY(queueMutex_) = false;  // a thread has the turn
    bool open_ OSTRA_GUARDED_BY(queueMutex_) = false;
    std::string synchronousInForce_ OSTRA_GUARDED_BY(queueMutex_);

    Turn turn_;
    StoreSettings settings_ OSTRA_GUARDED_BY(turn_);
    bundled_support::FileIdentity identity_ OSTRA_GUARDED_BY(turn_);
    std::chrono::steady_clock::time_point lastChecked_ OSTRA_GUARDED_BY(turn_);
    sqlite3* db_ OSTRA_GUARDED_BY(turn_) = nullptr;
    sqlite3_stmt* insert_ OSTRA_GUARDED_BY(turn_) = nullptr;
    sqlite3_stmt* findKey_ OSTRA_GUARDED_BY(turn_) = nullptr;
    sqlite3_stmt* begin_ OSTRA_GUARDED_BY(turn_) = nullptr;
    sqlite3_stmt* commit_ OSTRA_GUARDED_BY(turn_) = nullptr;
    sqlite3_stmt* savepoint_ OSTRA_GUARDED_BY(turn_) = nullptr;
    sqlite3_stmt* release_ OSTRA_GUARDED_BY(turn_) = nullptr;
    sqlite3_stmt* rollbackTo_ OSTRA_GUARDED_BY(turn_) = nullptr;

    // Each file the writer opens is a new generation: the reader follows.
    std::atomic<unsigned> generation_{0};
    RecordsReader reader_;
};

// The record's entries as a JSON object in entry order, always valid
// UTF-8: on Windows the host's Windows-1250 text is converted; elsewhere
// each part that is not valid UTF-8 becomes U+FFFD (bundled/support/Utf8.h).
// Control characters, quotes and backslashes are escaped.
std::string entriesAsJson(const Record& record);

}  // namespace ostra_sqlite
