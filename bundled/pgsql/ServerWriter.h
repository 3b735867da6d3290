// ServerWriter: the pgsql plug-in's one connection to the server and the
// thread that owns it.
//
// One connection, not one per protocol thread, used by one thread at a
// time. A caller that finds it free stores its record on its own thread
// (no hand-over to another thread on the way); callers that come while it
// is in use wait, and the next of them to find it free stores all the
// records waiting then in one transaction (group commit), so several
// senders share one disk sync on the server instead of queueing for one
// each. No caller waits longer than the operation in progress and its own,
// each bounded by a connect and a statement timeout.
//
// Every connection holds a session advisory lock on the host's identity in
// the table (PgTable::claim): a second live host under the same service,
// host name and site finds it held, and its start (or its connection) is
// refused with a line naming the identity, as a table of the wrong shape
// is; a host's own session that the server has not yet ended after a
// restart is waited for up to half a second.
//
// The connection is made when there is work (a record, a lookup, rows in
// the spool), never inside start() beyond its budget; after a failure it is
// tried again after a growing pause (0.25 s doubling up to 30 s, back to
// 0.25 s only once records are stored again, not when a connection opens),
// and records offered meanwhile are answered kUnavailable at once, for the
// caller to spool. A server that refuses records for a reason of its own
// state (a permission, read-only) rather than the row's counts as such a
// failure: its records are answered kUnavailable too. The writer's thread forwards the spool's rows
// while no record waits, oldest first, in transactions of up to 256, and removes them from the
// spool only after their commit.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "PgConnection.h"
#include "PgTable.h"
#include "Spool.h"
#include "platform/Mutex.h"

namespace ostra_pgsql {

struct WriterSettings {
    std::vector<std::pair<std::string, std::string>> options;  // libpq's keywords and values
    Identity identity;   // whose rows: locked on the server while connected
    std::string server;  // where, for the log: host, port and database, no password
    int connectTimeoutMs = 5000;
    int statementTimeoutMs = 5000;
};

struct StoreResult {
    Failure failure = Failure::kNone;
    std::string error;
    std::string sqlstate;       // the server's code for the error, if it answered
    std::string rowId;          // the row's id in the table
    bool storedBefore = false;  // the row or its sender's key was there already
};

class ServerWriter {
public:
    using LogLine = std::function<void(int level, const std::string& text)>;
    // Called when the writer found the spool empty; true when it stays
    // so (the plug-in then stops spooling).
    using SpoolEmptied = std::function<bool()>;

    ServerWriter(const PgTable& table, Spool& spool, LogLine log, SpoolEmptied emptied);
    ~ServerWriter();

    // Tries the server once, by `deadline`, before the thread runs: false
    // with `error` set only when the server answered that the table cannot
    // be used (the connection failing is no reason to refuse a start).
    // `answered` says whether the server answered at all.
    bool start(const WriterSettings& settings, Clock::time_point deadline, bool& answered,
               std::string& error);
    // Ends the thread; records waiting get kUnavailable.
    void stop();

    // Stores one row with the rows other threads hand in meanwhile.
    StoreResult store(const PgRow& row);
    // Stores `rows` in their order, in one transaction where they fit (with
    // those other threads hand in); one result per row. The rows stored
    // are a first part of `rows`: no row is stored after one that was not
    // answered.
    std::vector<StoreResult> storeAll(const std::vector<PgRow>& rows);
    // Runs one query on the connection.
    Outcome query(const Statement& statement);
    // The spool holds rows to forward.
    void spooled();

    // Why the table cannot be used, or empty.
    std::string tableFault();

    // How the connection stands, for the plug-in's report: read without
    // waiting for the connection.
    struct Link {
        bool connected = false;
        std::string failure;      // why the last attempt or connection failed; "" when none
        long long forwarded = 0;  // spooled rows stored in the table since the start
    };
    Link link();
    // Logs the spool's depth when it changed notably (the first row, a
    // doubling or halving, empty again; once a minute while rows wait).
    void noteSpoolDepth();

private:
    struct Job;

    void run();
    // Queues `mine` and stores them (with those waiting) or waits for
    // whoever does. True once all are done; false with `unanswered`
    // saying why not.
    bool submit(const std::vector<std::shared_ptr<Job>>& mine, std::string& unanswered);
    // Connects when there is none and the pause since the last failure is
    // over. False when there is no connection to use.
    bool connected();
    void storeRows(std::vector<std::shared_ptr<Job>>& jobs);
    void forwardSpool();
    // Prepares the table and takes the identity's advisory lock on a new
    // connection; kRefused when another live host holds the lock.
    Outcome prepareSession(Clock::time_point deadline);
    // Stores `rows` in one transaction; one result per row.
    std::vector<StoreResult> insertRows(const std::vector<const PgRow*>& rows);
    // Closes the connection and pauses; `refused`: the server answered,
    // refusing records for a reason of its own state.
    void lostServer(const std::string& why, bool refused = false);
    // Records were stored: the next failure is tried again soon.
    void storing();

    const PgTable& table_;
    Spool& spool_;
    LogLine log_;
    SpoolEmptied emptied_;
    WriterSettings settings_;
    PgConnection connection_;  // used by the thread that set busy_

    // A leaf: nothing is called while it is held but the spool's depth.
    ostra::Mutex mutex_;
    ostra::Condition changed_;
    std::deque<std::shared_ptr<Job>> jobs_ OSTRA_GUARDED_BY(mutex_);
    bool spoolHasRows_ OSTRA_GUARDED_BY(mutex_) = false;
    bool stopping_ OSTRA_GUARDED_BY(mutex_) = false;
    // A thread uses the connection and the state below: a turn taken and
    // given under mutex_, not a lock the analysis sees.
    bool busy_ OSTRA_GUARDED_BY(mutex_) = false;
    std::string tableFault_ OSTRA_GUARDED_BY(mutex_);
    std::thread thread_;

    // The busy_ thread's.
    Clock::time_point nextAttempt_{};
    std::chrono::milliseconds pause_{250};
    std::string lastFailure_;     // logged once until it changes or records are stored
    bool connectFailed_ = false;  // the last connect failed
    std::string lastWatchFault_;  // the run thread's: logged once until it changes
    std::chrono::milliseconds spoolPause_{1000};  // after the spool could not shrink
    std::string lastSpoolFault_;

    // What noteSpoolDepth logged. Held while it asks the spool and logs:
    // before Spool's mutex and the plug-in's secretsMutex_.
    ostra::Mutex depthMutex_;
    long long loggedDepth_ OSTRA_GUARDED_BY(depthMutex_) = 0;
    Clock::time_point depthLoggedAt_ OSTRA_GUARDED_BY(depthMutex_) = Clock::time_point();
    long long forwarded_ OSTRA_GUARDED_BY(depthMutex_) = 0;
    ostra::Mutex linkMutex_;  // a leaf
    Link link_ OSTRA_GUARDED_BY(linkMutex_);
    void noteLink(bool connected, const std::string& failure);
};

}  // namespace ostra_pgsql
