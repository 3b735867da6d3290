// PgConnection: one connection to a PostgreSQL server, driven only through
// libpq's asynchronous calls against deadlines of our own. libpq's blocking
// calls can wait for ever on a frozen server or a dead network; here no
// call waits past the deadline it is given. When a deadline passes the
// connection is closed: the server ends what it was doing when it sees the
// connection go (and its own statement_timeout, set at connect, ends a
// statement that runs long on a live server). libpq's cancel request is not
// used: it waits, blocking, for the server to close the cancel connection,
// which a frozen server never does.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct pg_conn;

namespace ostra_pgsql {

using Clock = std::chrono::steady_clock;

// A half-open session (its far end gone without a word, or a client cut
// off mid-pipeline with the batch's locks held) ends within about a
// minute on both sides: TCP keepalives after 20 s idle, then 4 probes 5 s
// apart; and on the server a transaction left open ends after 45 s. The
// server's settings are lowered to these, never raised; libpq's are set
// unless the conninfo sets them.
constexpr std::chrono::seconds kKeepaliveIdle(20);
constexpr std::chrono::seconds kKeepaliveInterval(5);
constexpr int kKeepaliveCount = 4;
constexpr std::chrono::milliseconds kIdleInTransaction(45000);

// Why something could not be done.
enum class Failure {
    kNone,
    // The server could not be reached, the connection broke or a deadline
    // passed: what was sent may or may not have been committed. Trying
    // again later is right (a record's unique key makes it safe).
    kUnavailable,
    // The server answered with an error that the same request would meet
    // again (a value it refuses, a missing permission).
    kRefused,
};

// One statement of a pipeline: text parameters, nullopt for NULL.
struct Statement {
    const char* sql = nullptr;
    std::vector<std::optional<std::string>> params;
};

// What one statement answered.
struct StatementResult {
    bool ok = false;
    std::string sqlstate;  // the server's error code when !ok
    std::string error;     // its message when !ok
    std::vector<std::vector<std::optional<std::string>>> rows;
};

struct Outcome {
    Failure failure = Failure::kNone;
    std::string error;  // the first error, for the log and the sender
    std::string sqlstate;
    std::vector<StatementResult> results;  // one per statement sent
};

class PgConnection {
public:
    PgConnection() = default;
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    // Connects with libpq's keywords and values (no expansion of dbname).
    // `statementTimeoutMs` becomes the session's statement_timeout, a
    // synchronous_commit of "off" becomes "on", and the server's keepalives
    // and idle_in_transaction_session_timeout are lowered to the limits
    // above. False with `error` set when the server cannot be reached by
    // `deadline`.
    bool connect(const std::vector<std::pair<std::string, std::string>>& options,
                 int statementTimeoutMs, Clock::time_point deadline, std::string& error);
    bool isOpen() const { return connection_ != nullptr; }
    void close();
    // The limits on a half-open session the server reported in force at
    // the last connect, for the log.
    const std::string& sessionLimits() const { return sessionLimits_; }

    // Sends every statement at once (libpq's pipeline mode, one round trip)
    // and collects their results by `deadline`. The statements form one
    // transaction, committed when the server answers the pipeline's end:
    // when one fails, those before it are rolled back and those after it
    // are not run. A lost connection or a passed deadline closes the
    // connection and answers kUnavailable: whether it committed is then
    // unknown.
    Outcome run(const std::vector<Statement>& statements, Clock::time_point deadline);

private:
    // Waits for the socket to be readable or writable, as asked, until
    // `deadline`. False when it passed or the wait failed.
    bool waitForSocket(bool reading, bool writing, Clock::time_point deadline);
    Outcome lost(const std::string& why);

    pg_conn* connection_ = nullptr;
    std::string sessionLimits_;
};

// The error classes that mean "not now" rather than "never": the
// connection (08), resources such as a full disk (53), an operator's
// shutdown (57), a serialization failure or deadlock (40).
bool isTransient(const std::string& sqlstate);

}  // namespace ostra_pgsql
