#include "PgServer.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

#include "LineClient.h"

PgServer::PgServer() {
#ifdef _WIN32
    const char* port = std::getenv("OSTRA_TEST_PGSQL_PORT");
    port_ = port ? std::atoi(port) : 0;
    running_ = port_ > 0;
    if (!running_) {
        ADD_FAILURE() << "OSTRA_TEST_PGSQL_PORT is not set: the lane starts the server";
        return;
    }
    std::string name = "test_" + std::to_string(GetCurrentProcessId());
    rows("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
    rows("CREATE DATABASE " + name);
    database_ = name;
#else
    port_ = freePort();
    script("start " + dir_.file("server") + " " + std::to_string(port_));
#endif
}

PgServer::PgServer(StandbyOf standby) {
#ifdef _WIN32
    (void)standby;
    ADD_FAILURE() << "a standby is not available under Wine";
#else
    port_ = freePort();
    script("standby " + dir_.file("server") + " " + std::to_string(port_) + " " +
           std::to_string(standby.primary.port()));
#endif
}

PgServer::~PgServer() {
#ifdef _WIN32
    if (database_ != "ostra") {
        std::string name = database_;
        database_ = "ostra";
        rows("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
    }
#else
    if (frozen_) thaw();
    if (running_) script("stop " + dir_.file("server") + " immediate");
#endif
}

void PgServer::script(const std::string& arguments) {
    std::string command = std::string(OSTRA_PG_SERVER_SCRIPT) + " " + arguments;
    int status = std::system(command.c_str());
    if (status != 0) ADD_FAILURE() << command << " failed: " << status;
    if (arguments.rfind("start", 0) == 0 || arguments.rfind("restart", 0) == 0 ||
        arguments.rfind("standby", 0) == 0)
        running_ = status == 0;
    if (arguments.rfind("stop", 0) == 0) running_ = false;
}

std::string PgServer::conninfoFor(const std::string& user) const {
    return "host=127.0.0.1 port=" + std::to_string(port_) + " dbname=" + database_ +
           " user=" + user;
}

std::string PgServer::socketConninfo() const {
#ifdef _WIN32
    return tcpConninfo();
#else
    return "host=" + dir_.file("server") + " port=" + std::to_string(port_) +
           " dbname=" + database_ + " user=postgres";
#endif
}

void PgServer::restart(const std::string& mode) {
    script("restart " + dir_.file("server") + " " + mode);
}
void PgServer::stop(const std::string& mode) { script("stop " + dir_.file("server") + " " + mode); }

// pg_ctl restart starts a stopped server as well.
void PgServer::start() { script("restart " + dir_.file("server") + " fast"); }

void PgServer::promote() { script("promote " + dir_.file("server")); }

void PgServer::freeze() {
    script("freeze " + dir_.file("server"));
    frozen_ = true;
}

void PgServer::thaw() {
    script("thaw " + dir_.file("server"));
    frozen_ = false;
}

std::vector<std::string> PgServer::rows(const std::string& sql) const {
    std::vector<std::string> result;
    PGconn* connection = PQconnectdb(tcpConninfo().c_str());
    if (PQstatus(connection) != CONNECTION_OK) {
        ADD_FAILURE() << "cannot connect: " << PQerrorMessage(connection);
        PQfinish(connection);
        return result;
    }
    PGresult* answer = PQexec(connection, sql.c_str());
    if (PQresultStatus(answer) == PGRES_TUPLES_OK) {
        for (int row = 0; row < PQntuples(answer); ++row) {
            std::string line;
            for (int column = 0; column < PQnfields(answer); ++column)
                line += (column ? "|" : "") + std::string(PQgetvalue(answer, row, column));
            result.push_back(line);
        }
    } else if (PQresultStatus(answer) != PGRES_COMMAND_OK) {
        ADD_FAILURE() << sql << ": " << PQresultErrorMessage(answer);
    }
    PQclear(answer);
    PQfinish(connection);
    return result;
}

std::string PgServer::value(const std::string& sql) const {
    std::vector<std::string> found = rows(sql);
    return found.empty() ? "" : found[0];
}

int PgServer::logLinesWith(const std::string& text) const {
    int count = 0;
    for (const std::string& line : testing_support::readLines(logFile()))
        if (line.find(text) != std::string::npos) ++count;
    return count;
}
