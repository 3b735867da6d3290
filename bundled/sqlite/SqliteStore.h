// SqliteStore: one connection to the records file, safe for several
// threads (one statement at a time).
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
//
// A file made before the key column existed gets it when opened; its rows
// keep a NULL key.
//
// The file is opened in WAL mode with a busy timeout, so other readers (and
// other stores on the same file) never make a store fail at once. A store
// returns only after its transaction committed: a record answered as stored
// is in the file whatever the host does next. Before a store or lookup, and
// at close, the file at the path is checked to be the one open (one stat, at
// most every 10 ms: a check per row would cost a tenth of a busy store's
// time), so that rows never go on into a file nobody can find. When it was
// deleted or renamed away, the path is made anew with every row the open
// file holds, those stored since it went included (an operator's slip costs
// nothing; to start a fresh file, stop the host first). When another file
// was put there, it is opened and used; rows stored in the moments before
// that was noticed stay in the file that was replaced.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "FileIdentity.h"

struct sqlite3;
struct sqlite3_stmt;
class Record;

namespace ostra_sqlite {

struct StoreSettings {
    std::string path;
    int busyTimeoutMs = 5000;
    // FULL: a record answered as stored survives a power cut or an OS crash
    // too (every commit waits for the disk). NORMAL: it survives a crash of
    // the process, but the last commits may roll back after a power cut.
    std::string synchronous = "FULL";  // OFF, NORMAL or FULL
};

// The newest stored row that matched a lookup.
struct FoundRow {
    long long count = 0;  // how many rows matched
    long long id = 0;
    std::string time;
    int type = 0;
    int tag = 0;
    std::string entries;
};

class SqliteStore {
public:
    SqliteStore() = default;
    ~SqliteStore();
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    // Opens (creating when needed) the file and its table. False with
    // `error` set when that fails.
    bool open(const StoreSettings& settings, std::string& error);
    // The synchronous mode the open file runs with, as the connection
    // reports it ("FULL", "NORMAL", "OFF").
    std::string synchronousInForce();
    // Waits for a statement in progress, then closes the file, after the
    // last check of the path; what that check did, or empty.
    std::string close();
    bool isOpen();

    // Stores one row; its id, or -1 with `error` set. `notice` says so when
    // the file had to be opened anew first. With a non-empty
    // `idempotencyKey` already in the file (stored by any connection, before
    // any restart), nothing is stored: the id is that row's and
    // `storedBefore` is set. The key is committed with its row, so a row
    // whose answer was lost is found when its sender tries again.
    long long store(int type, int tag, const Record& record, const std::string& idempotencyKey,
                    bool& storedBefore, std::string& error, std::string& notice);

    // Rows whose entries hold `key` with the value `value`. False with
    // `error` set on failure; `row.count` 0 when nothing matched.
    bool lookup(const std::string& key, const std::string& value, FoundRow& row, std::string& error,
                std::string& notice);

private:
    bool openLocked(std::string& error);
    // The table and the key's unique index, the key column added to a file
    // made without it.
    bool makeSchema(std::string& error);
    // The id of the row stored with `idempotencyKey`, or -1 with `error` set.
    long long rowWithKey(const std::string& idempotencyKey, std::string& error);
    void closeLocked();
    // False with `error` set when the file had to be opened anew and could
    // not be. Looks at the path only when `always` or 10 ms have passed.
    bool ensureTheFileAtThePath(std::string& error, std::string& notice, bool always = false);
    // The rows copied, or -1 with `error` set.
    long long copyIntoANewFileAtThePath(std::string& error);
    bool execute(const char* sql, std::string& error);
    std::string lastError() const;
    // " (<the operating system's reason>)" after a failed file operation
    // (a read-only file system, a folder it may not write), or "".
    std::string systemReason() const;
    std::string readSynchronous();

    std::mutex mutex_;
    StoreSettings settings_;
    bundled_support::FileIdentity identity_;
    std::string synchronousInForce_;
    std::chrono::steady_clock::time_point lastChecked_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* find_ = nullptr;
    sqlite3_stmt* findKey_ = nullptr;
};

// The record's entries as a JSON object in entry order. Bytes above 0x7F
// are kept as they are; control characters, quotes and backslashes are
// escaped.
std::string entriesAsJson(const Record& record);

}  // namespace ostra_sqlite
