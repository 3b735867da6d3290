#include "PgConnection.h"

#include <libpq-fe.h>

#include <algorithm>

#include "Net.h"

namespace ostra_pgsql {

namespace {

// libpq's messages on one line: they reach the log and a sender's REASON,
// where a line end would end the answer.
std::string trimmed(const char* text) {
    std::string message;
    for (const char* c = text ? text : ""; *c != '\0'; ++c) {
        if (*c == '\n') {
            message += "; ";
            while (c[1] == '\t' || c[1] == ' ') ++c;
        } else {
            message += *c == '\t' || *c == '\r' ? ' ' : *c;
        }
    }
    while (!message.empty() && (message.back() == ' ' || message.back() == ';')) message.pop_back();
    return message;
}

int millisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

}  // namespace

bool isTransient(const std::string& sqlstate) {
    if (sqlstate.size() != 5) return true;  // no code: not the server's answer
    const std::string kind = sqlstate.substr(0, 2);
    return kind == "08" || kind == "53" || kind == "57" || kind == "40";
}

PgConnection::~PgConnection() { close(); }

void PgConnection::close() {
    if (connection_ == nullptr) return;
    // Non-blocking: the goodbye is sent if the socket takes it, never waited for.
    PQfinish(connection_);
    connection_ = nullptr;
}

bool PgConnection::waitForSocket(bool reading, bool writing, Clock::time_point deadline) {
    std::vector<ostra_net::PollEntry> entries(1);
    entries[0].socket = static_cast<ostra_net::Socket>(PQsocket(connection_));
    entries[0].wantRead = reading;
    entries[0].wantWrite = writing;
    for (;;) {
        int timeout = millisecondsUntil(deadline);
        int ready = ostra_net::pollSockets(entries, timeout);
        if (ready > 0) return true;
        if (ready < 0 || timeout == 0) return false;
    }
}

bool PgConnection::connect(const std::vector<std::pair<std::string, std::string>>& options,
                           int statementTimeoutMs, Clock::time_point deadline, std::string& error) {
    close();
    std::vector<const char*> keywords, values;
    for (const auto& option : options) {
        keywords.push_back(option.first.c_str());
        values.push_back(option.second.c_str());
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    connection_ = PQconnectStartParams(keywords.data(), values.data(), 0);
    if (connection_ == nullptr) {
        error = "out of memory";
        return false;
    }
    PostgresPollingStatusType polling = PGRES_POLLING_WRITING;
    while (PQstatus(connection_) != CONNECTION_BAD && polling != PGRES_POLLING_OK &&
           polling != PGRES_POLLING_FAILED) {
        const bool writing = polling == PGRES_POLLING_WRITING;
        if (!waitForSocket(!writing, writing, deadline)) {
            error = "no connection within the connect timeout";
            close();
            return false;
        }
        polling = PQconnectPoll(connection_);
    }
    if (PQstatus(connection_) != CONNECTION_OK) {
        error = trimmed(PQerrorMessage(connection_));
        close();
        return false;
    }
    if (PQsetnonblocking(connection_, 1) != 0) {
        error = trimmed(PQerrorMessage(connection_));
        close();
        return false;
    }
    Statement limit{"SELECT set_config('statement_timeout', $1, false)",
                    {std::to_string(statementTimeoutMs)}};
    // A record is answered as stored once its commit is on the server's
    // disk: a server (or role) set to commit without waiting for it is
    // overruled for this session; the other settings all wait for it.
    Statement durable{
        "SELECT set_config('synchronous_commit', 'on', false)"
        " WHERE current_setting('synchronous_commit') = 'off'",
        {}};
    Statement halfOpen{
        "SELECT set_config(s.name, w.value::text, false) FROM (VALUES"
        " ('idle_in_transaction_session_timeout', $1::bigint), ('tcp_keepalives_idle', $2::bigint),"
        " ('tcp_keepalives_interval', $3::bigint), ('tcp_keepalives_count', $4::bigint)) AS "
        "w(name, value)"
        " JOIN pg_settings s ON s.name = w.name"
        " WHERE s.setting::bigint = 0 OR s.setting::bigint > w.value",
        {std::to_string(kIdleInTransaction.count()), std::to_string(kKeepaliveIdle.count()),
         std::to_string(kKeepaliveInterval.count()), std::to_string(kKeepaliveCount)}};
    Statement inForce{
        "SELECT 'tcp_keepalives_idle=' || current_setting('tcp_keepalives_idle') ||"
        " ' tcp_keepalives_interval=' || current_setting('tcp_keepalives_interval') ||"
        " ' tcp_keepalives_count=' || current_setting('tcp_keepalives_count') ||"
        " ' idle_in_transaction_session_timeout=' ||"
        " current_setting('idle_in_transaction_session_timeout')",
        {}};
    Outcome set = run({limit, durable, halfOpen, inForce}, deadline);
    if (set.failure != Failure::kNone) {
        error = set.error;
        close();
        return false;
    }
    const auto& shown = set.results.at(3).rows;
    sessionLimits_ = shown.empty() ? "" : shown[0].at(0).value_or("");
    return true;
}

Outcome PgConnection::lost(const std::string& why) {
    Outcome outcome;
    outcome.failure = Failure::kUnavailable;
    outcome.error = why;
    close();
    return outcome;
}

Outcome PgConnection::run(const std::vector<Statement>& statements, Clock::time_point deadline) {
    if (connection_ == nullptr) return lost("not connected");
    if (PQenterPipelineMode(connection_) != 1) return lost(trimmed(PQerrorMessage(connection_)));
    std::vector<const char*> values;
    std::vector<int> lengths;
    for (const Statement& statement : statements) {
        values.clear();
        lengths.clear();
        for (const auto& param : statement.params) {
            values.push_back(param ? param->data() : nullptr);
            lengths.push_back(param ? static_cast<int>(param->size()) : 0);
        }
        if (!PQsendQueryParams(connection_, statement.sql, static_cast<int>(values.size()), nullptr,
                               values.data(), lengths.data(), nullptr, 0))
            return lost(trimmed(PQerrorMessage(connection_)));
    }
    if (!PQpipelineSync(connection_)) return lost(trimmed(PQerrorMessage(connection_)));

    Outcome outcome;
    outcome.results.resize(statements.size());
    std::size_t current = 0;  // the statement whose results come next
    bool synced = false;
    while (!synced) {
        int flushed = PQflush(connection_);
        if (flushed < 0) return lost(trimmed(PQerrorMessage(connection_)));
        if (flushed == 0 && !PQisBusy(connection_)) {
            PGresult* result = PQgetResult(connection_);
            if (result == nullptr) {
                ++current;  // the end of one statement's results
                continue;
            }
            ExecStatusType status = PQresultStatus(result);
            if (status == PGRES_PIPELINE_SYNC) {
                synced = true;
            } else if (current < outcome.results.size()) {
                StatementResult& answer = outcome.results[current];
                answer.ok = status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK;
                if (status == PGRES_TUPLES_OK) {
                    for (int row = 0; row < PQntuples(result); ++row) {
                        answer.rows.emplace_back();
                        for (int column = 0; column < PQnfields(result); ++column)
                            answer.rows.back().push_back(
                                PQgetisnull(result, row, column)
                                    ? std::nullopt
                                    : std::optional<std::string>(PQgetvalue(result, row, column)));
                    }
                } else if (status == PGRES_PIPELINE_ABORTED) {
                    answer.error = "not run: an earlier statement failed";
                } else if (!answer.ok) {
                    const char* code = PQresultErrorField(result, PG_DIAG_SQLSTATE);
                    answer.sqlstate = code ? code : "";
                    // The primary message alone: the DETAIL of a refused
                    // row repeats the row, values and all.
                    const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
                    answer.error = trimmed(primary ? primary : PQresultErrorMessage(result));
                    if (outcome.error.empty()) {
                        outcome.error = answer.error;
                        outcome.sqlstate = answer.sqlstate;
                    }
                }
            }
            PQclear(result);
            continue;
        }
        // Results may come while the rest is still being sent: read as well.
        if (!waitForSocket(true, flushed == 1, deadline))
            return lost("no answer from the server within the statement timeout");
        if (!PQconsumeInput(connection_)) return lost(trimmed(PQerrorMessage(connection_)));
    }
    PQexitPipelineMode(connection_);
    if (PQstatus(connection_) == CONNECTION_BAD) return lost(trimmed(PQerrorMessage(connection_)));
    if (!outcome.error.empty())
        outcome.failure = isTransient(outcome.sqlstate) ? Failure::kUnavailable : Failure::kRefused;
    if (outcome.failure == Failure::kUnavailable) close();
    return outcome;
}

}  // namespace ostra_pgsql
