// The spool's file: checked before it is opened, and watched while open
// (Spool.h says what is done when either finds it wrong).
#include <sqlite3.h>

#include <cstdio>

#include "Spool.h"

namespace ostra_pgsql {

namespace {

bool exists(const std::string& path) { return bundled_support::identityOf(path).exists; }

// `path` with a suffix saying why and when it was put aside, one no file
// has yet: ".damaged-20261209T110350Z", then "-2", "-3" ...
std::string asideName(const std::string& path, const char* why) {
    std::string stamp;  // 20261209T110350Z: no ':', which Windows refuses
    for (char c : utcNow().substr(0, 19))
        if (c != '-' && c != ':') stamp += c;
    std::string base = path + "." + why + "-" + stamp + "Z";
    std::string name = base;
    for (int n = 2; exists(name) || exists(name + "-wal"); ++n)
        name = base + "-" + std::to_string(n);
    return name;
}

// Renames the file at `path` to `aside`, with its log files when they
// are its own (not those of a connection still open on a file moved away).
bool renameAside(const std::string& path, const std::string& aside, bool withLogs) {
    if (std::rename(path.c_str(), aside.c_str()) != 0) return false;
    for (const char* log : {"-wal", "-shm"})
        if (withLogs && exists(path + log))
            std::rename((path + log).c_str(), (aside + log).c_str());
    return true;
}

}  // namespace

bool Spool::verified(std::string& error) {
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    std::string problem;
    std::string held = "records (they cannot be counted)";
    bool damaged = false;
    if (sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr) == SQLITE_OK &&
        sqlite3_busy_timeout(db_, 5000) == SQLITE_OK) {
        // quick_check reads every page of the file: a page that cannot be
        // read would otherwise hide the rows behind it, and count(*) fail.
        sqlite3_stmt* check = nullptr;
        int status = sqlite3_prepare_v2(db_, "PRAGMA quick_check(5)", -1, &check, nullptr);
        std::string found;
        if (status == SQLITE_OK) {
            while ((status = sqlite3_step(check)) == SQLITE_ROW) {
                const unsigned char* text = sqlite3_column_text(check, 0);
                std::string line = text ? reinterpret_cast<const char*>(text) : "";
                if (line != "ok") found += (found.empty() ? "" : "; ") + line;
            }
        }
        const int code = sqlite3_errcode(db_);
        if (status != SQLITE_DONE && status != SQLITE_OK) found = lastError();
        sqlite3_finalize(check);
        damaged = !found.empty() &&
                  (status == SQLITE_DONE || code == SQLITE_CORRUPT || code == SQLITE_NOTADB);
        problem = found;
        if (!found.empty() && !damaged) error = "cannot read the spool " + path_ + ": " + found;
        if (damaged) {
            // What it held, as far as it can be read, for the line.
            sqlite3_stmt* count = nullptr;
            if (sqlite3_prepare_v2(db_, "SELECT count(*) FROM spool", -1, &count, nullptr) ==
                    SQLITE_OK &&
                sqlite3_step(count) == SQLITE_ROW)
                held = std::to_string(sqlite3_column_int64(count, 0)) + " records";
            sqlite3_finalize(count);
        }
    } else {
        error = "cannot open the spool " + path_ + ": " + lastError();
    }
    closeLocked();
    if (!damaged) return error.empty();
    const std::string aside = asideName(path_, "damaged");
    if (!renameAside(path_, aside, true)) {
        error = "the spool " + path_ + " fails its integrity check (" + problem +
                ") and cannot be renamed aside; the start is refused until it is moved away";
        return false;
    }
    error = "the spool " + path_ + " fails its integrity check (" + problem + "); it is kept as " +
            aside + " and the start is refused: its " + held +
            " are not forwarded (read what it holds with sqlite3 " + aside +
            " .recover); the next start makes a new spool";
    return false;
}

void Spool::setNotice(std::function<void(const std::string&)> notice) {
    ostra::MutexLock guard(mutex_);
    notice_ = std::move(notice);
}

bool Spool::watch(std::string& error) {
    ostra::MutexLock guard(mutex_);
    if (!db_) return true;
    return theFileAtThePath(error);
}

bool Spool::theFileAtThePath(std::string& error) {
    const bundled_support::FileIdentity now = bundled_support::identityOf(path_);
    if (now == identity_) return true;
    // Deleted, renamed or replaced under the host: this connection still
    // reads the file it opened, log included. Its rows go into a new spool
    // at the path; a file put there by someone else is first renamed
    // aside, never overwritten.
    std::string what = "was deleted or renamed";
    if (now.exists) {
        const std::string aside = asideName(path_, "replaced");
        if (!renameAside(path_, aside, false)) {
            error = "the spool " + path_ + " was replaced while open, and the file now there" +
                    " cannot be renamed aside: the spool cannot be written";
            return false;
        }
        what = "was replaced (the file found there is kept as " + aside + ")";
    }
    // The old log files still carry the path's name: a new file there must
    // not start from them. This connection keeps them open for its reading.
    std::remove((path_ + "-wal").c_str());
    std::remove((path_ + "-shm").c_str());
    long long rows = -1;
    sqlite3_stmt* attach = nullptr;
    bool copied =
        sqlite3_prepare_v2(db_, "ATTACH DATABASE ?1 AS fresh", -1, &attach, nullptr) == SQLITE_OK &&
        sqlite3_bind_text(attach, 1, path_.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
        sqlite3_step(attach) == SQLITE_DONE;
    sqlite3_finalize(attach);
    if (copied) {
        copied = execute("PRAGMA fresh.synchronous=FULL", error) &&
                 execute("BEGIN IMMEDIATE", error) && execute(schemaIn("fresh").c_str(), error) &&
                 execute("INSERT INTO fresh.spool SELECT * FROM main.spool", error);
        rows = copied ? sqlite3_changes(db_) : -1;
        copied = copied && execute("INSERT INTO fresh.refused SELECT * FROM main.refused", error) &&
                 execute("INSERT OR REPLACE INTO fresh.state SELECT * FROM main.state", error) &&
                 execute("COMMIT", error);
        if (!copied) {
            std::string ignored;
            execute("ROLLBACK", ignored);
        }
        std::string ignored;
        execute("DETACH DATABASE fresh", ignored);
    } else {
        error = lastError();
    }
    if (!copied) {
        error = "the spool " + path_ + " " + what + " while open, and a new one cannot be made" +
                " there: " + error + "; its records are still held in the open file";
        return false;
    }
    closeLocked();
    if (!openLocked(error)) return false;
    if (notice_)
        notice_("the spool " + path_ + " " + what + " while open; made anew there with its " +
                std::to_string(rows) + " records");
    return true;
}

}  // namespace ostra_pgsql
