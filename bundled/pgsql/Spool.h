// Spool: a local SQLite file that holds records while the server cannot
// take them, until they are forwarded. Every write commits with
// synchronous=FULL before it returns: a record answered as spooled
// survives a crash of the host, a kill -9 and a power cut.
//
//   CREATE TABLE spool(
//       n INTEGER PRIMARY KEY,   -- arrival order
//       time TEXT, type INTEGER, tag INTEGER, entries TEXT, entry_order TEXT,
//       service TEXT, host TEXT, site TEXT, seq INTEGER, idempotencykey TEXT);
//   CREATE TABLE refused(...)    -- the same, with the server's error: rows
//                                -- the server will never take, kept here
//   CREATE TABLE state(name TEXT PRIMARY KEY, value INTEGER)
//                                -- "nextseq": where the next block of
//                                -- sequence numbers starts
// At open, a file already there is checked (PRAGMA quick_check): one that
// fails is renamed aside (".damaged-<UTC time>", with its log files) and
// the open refused; nothing is ever deleted. While open, every operation
// first looks at which file the path names: a spool deleted, renamed or
// replaced under the host is noticed there (and by watch()), and its rows,
// still readable through the open connection, are copied into a new spool
// made at the path (a file someone put there is renamed aside first,
// ".replaced-<UTC time>"), so a record answered as spooled survives a
// restart that follows.
// Safe for several threads (one statement at a time).
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "FileIdentity.h"
#include "PgRow.h"
#include "platform/Mutex.h"

struct sqlite3;
struct sqlite3_stmt;

namespace ostra_pgsql {

// "2026-12-09T11:03:50.123Z" as milliseconds since 1970; 0 when it is not one.
long long utcMillis(const std::string& time);

class Spool {
public:
    Spool() = default;
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // False with `error` set when the file cannot be opened, or fails its
    // integrity check (it is then renamed aside, and `error` says where).
    bool open(const std::string& path, std::string& error);
    void close();
    const std::string& path() const { return path_; }

    // Keeps `row`; false with `error` set when it could not be committed.
    // A row whose sender's key the spool already holds is kept once:
    // `heldBefore` is then set.
    bool put(const PgRow& row, bool& heldBefore, std::string& error);
    // Keeps `rows` in one commit, in their order, all or none; `heldBefore`
    // says for each whether the spool held its sender's key already.
    bool putAll(const std::vector<const PgRow*>& rows, std::vector<bool>& heldBefore,
                std::string& error);
    // Up to `limit` of the oldest rows, in order.
    bool oldest(int limit, std::vector<PgRow>& rows, std::string& error);
    // Removes rows forwarded (all up to and including spool row `upTo`).
    bool removeUpTo(long long upTo, std::string& error);
    // Moves one row the server refuses for good out of the way, with why.
    bool setAside(const PgRow& row, const std::string& why, std::string& error);

    // The rows held (kept as they come and go: no query).
    long long depth();
    // The time of the oldest row held, or empty.
    std::string oldestTime();
    // The same as UTC milliseconds since 1970, 0 when none; kept as rows
    // come and go, so reading it waits for nothing.
    long long oldestMillis() const { return oldestMillis_.load(); }
    // The rows set aside in the refused table, counted from the open on.
    long long refusedKept() const { return refusedKept_.load(); }

    // Called with a line whenever the spool was made anew at its path.
    void setNotice(std::function<void(const std::string&)> notice);
    // Looks at the file at the path now (every other operation does so
    // too); false with `error` set when a new spool could not be made.
    bool watch(std::string& error);

    // Reserves `count` sequence numbers durably and returns the first:
    // never one handed out before, across restarts and kill -9.
    // `atLeast` raises the start (the clock, should the file be new).
    bool reserveSequence(long long count, long long atLeast, long long& first, std::string& error);

private:
    // The spool's tables in the database `db` ("main", or an attached one).
    static std::string schemaIn(const std::string& db);
    bool verified(std::string& error) OSTRA_REQUIRES(mutex_);
    bool openLocked(std::string& error) OSTRA_REQUIRES(mutex_);
    // Whether the path still names the open file; if not, makes the spool
    // anew there with every row. False with `error` when it cannot.
    bool theFileAtThePath(std::string& error) OSTRA_REQUIRES(mutex_);
    void closeLocked() OSTRA_REQUIRES(mutex_);
    bool execute(const char* sql, std::string& error) OSTRA_REQUIRES(mutex_);
    std::string lastError() const OSTRA_REQUIRES(mutex_);
    void noteOldestLocked() OSTRA_REQUIRES(mutex_);

    // Lock order: taken under PgsqlPlugin's modeMutex_ and sequenceMutex_
    // and the writer's depthMutex_; the notice is called under it (it logs).
    ostra::Mutex mutex_;
    std::string path_;  // set by open(), before any other thread uses the spool
    sqlite3* db_ OSTRA_GUARDED_BY(mutex_) = nullptr;
    sqlite3_stmt* insert_ OSTRA_GUARDED_BY(mutex_) = nullptr;
    sqlite3_stmt* oldest_ OSTRA_GUARDED_BY(mutex_) = nullptr;
    sqlite3_stmt* remove_ OSTRA_GUARDED_BY(mutex_) = nullptr;
    sqlite3_stmt* oldestTime_ OSTRA_GUARDED_BY(mutex_) = nullptr;
    std::atomic<long long> depth_{0};         // rows held, counted as they come and go
    std::atomic<long long> oldestMillis_{0};  // the oldest row's time (UTC ms), 0: none
    std::atomic<long long> refusedKept_{0};   // rows in the refused table
    // The file opened at path_.
    bundled_support::FileIdentity identity_ OSTRA_GUARDED_BY(mutex_);
    std::function<void(const std::string&)> notice_ OSTRA_GUARDED_BY(mutex_);
};

}  // namespace ostra_pgsql
