// RecordsReader: the lookups' own connection to the records file.
//
// In WAL mode a reader runs beside the writer: a lookup never waits for a
// commit, and no record waits for a lookup. Lookups take turns on this
// connection, each answered by its deadline (the time limit from its
// arrival, waiting for its turn included). At most kMostWaiting wait for
// the one in progress; more are answered at once: lookups that each read
// every row cannot tie up every thread the protocol relays records on. A
// field named as a lookup field is answered from its index (the store
// makes it when it opens the file); any other field by reading every row's
// entries, as before there were indexes, within the same limit.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "FileIdentity.h"
#include "platform/Mutex.h"

struct sqlite3;
struct sqlite3_stmt;

namespace ostra_sqlite {

using ostra::Mutex;
using ostra::MutexLock;

// The newest stored row that matched a lookup.
struct FoundRow {
    long long count = 0;  // how many rows matched
    long long id = 0;
    std::string time;
    int type = 0;
    int tag = 0;
    std::string entries;
};

struct ReaderSettings {
    std::string path;
    int busyTimeoutMs = 5000;
    std::vector<std::string> lookupFields;
    int lookupTimeoutMs = 2000;
};

class RecordsReader {
public:
    RecordsReader() = default;
    ~RecordsReader();
    RecordsReader(const RecordsReader&) = delete;
    RecordsReader& operator=(const RecordsReader&) = delete;

    // Opens the file, which must exist, as the store's `generation`; one
    // line per lookup field in `plans`, saying whether its query reads the
    // index (as SQLite plans it). False with `error` set on failure.
    bool open(const ReaderSettings& settings, unsigned generation, std::vector<std::string>& plans,
              std::string& error);
    // Stops a lookup in progress (answered "the plug-in is stopping") and
    // waits for it.
    void close();

    using Clock = std::chrono::steady_clock;
    static constexpr int kMostWaiting = 4;

    enum class Outcome { kAnswered, kFailed, kAnotherFile };
    // The rows whose entry `key` holds `value`, by `deadline`. The file is opened again
    // first when the store has opened another since (`generation`) or when
    // `reopen`. kAnotherFile: the file at the path is no longer the one
    // open (looked at every 10 ms at most), or (without `reopen`) could not
    // be opened; nothing was read. kFailed with
    // `error` set: closed, an error, or the time limit passed.
    Outcome lookup(const std::string& key, const std::string& value, Clock::time_point deadline,
                   unsigned generation, bool reopen, FoundRow& row, std::string& error);

private:
    // Waits for the connection until `deadline`: false with `error` set
    // when too many wait already, the reader closes or the deadline passes.
    bool takeTurn(Clock::time_point deadline, std::string& error);
    void giveTurn();
    Outcome lookupInTurn(const std::string& key, const std::string& value,
                         Clock::time_point deadline, unsigned generation, bool reopen,
                         FoundRow& row, std::string& error);
    std::string pastLimitReason() const;
    bool openLocked(std::vector<std::string>& plans, std::string& error) OSTRA_REQUIRES(mutex_);
    void closeLocked() OSTRA_REQUIRES(mutex_);
    bool usesIndex(const std::string& sql, const std::string& index) OSTRA_REQUIRES(mutex_);
    bool run(sqlite3_stmt* query, const std::string& key, const std::string& value,
             Clock::time_point deadline, FoundRow& row, std::string& error) OSTRA_REQUIRES(mutex_);

    // The turns: one lookup on the connection, a few waiting.
    Mutex turnMutex_;
    ostra::Condition turnFree_;
    bool running_ OSTRA_GUARDED_BY(turnMutex_) = false;
    int waiting_ OSTRA_GUARDED_BY(turnMutex_) = 0;
    std::atomic<int> lookupTimeoutMs_{2000};  // for the reasons, read without a lock

    Mutex mutex_;
    ReaderSettings settings_ OSTRA_GUARDED_BY(mutex_);
    std::atomic<bool> closing_{false};              // close() waits for the mutex
    bool wanted_ OSTRA_GUARDED_BY(mutex_) = false;  // open() and no close() since
    unsigned generation_ OSTRA_GUARDED_BY(mutex_) = 0;
    bundled_support::FileIdentity identity_ OSTRA_GUARDED_BY(mutex_);
    std::chrono::steady_clock::time_point lastChecked_ OSTRA_GUARDED_BY(mutex_);
    sqlite3* db_ OSTRA_GUARDED_BY(mutex_) = nullptr;
    sqlite3_stmt* scanning_ OSTRA_GUARDED_BY(mutex_) = nullptr;
    std::map<std::string, sqlite3_stmt*> indexed_ OSTRA_GUARDED_BY(mutex_);
};

}  // namespace ostra_sqlite
