// A real PostgreSQL 15 server for one test: made fresh in a scratch folder
// (tests/pgsql/pg-server.sh), on a free loopback port and a unix socket,
// gone with the object. Under Wine the test cannot run the server's
// programs: the lane starts one before its tests and names its port in
// OSTRA_TEST_PGSQL_PORT, and each test gets a database of its own there;
// restarts and stops are then not available.
#pragma once

#include <string>
#include <vector>

#include "TestSupport.h"

class PgServer {
public:
    PgServer();
    // A streaming hot standby of `primary` (pg_basebackup -R), on a port of
    // its own, read-only until promote(). Not under Wine.
    struct StandbyOf {
        const PgServer& primary;
    };
    explicit PgServer(StandbyOf standby);
    ~PgServer();
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    bool running() const { return running_; }
    int port() const { return port_; }
    // The test's database (its own under Wine, "ostra" elsewhere).
    const std::string& database() const { return database_; }
    // Connection strings for the test's database, over TCP and (not under
    // Wine) the socket.
    std::string tcpConninfo() const { return conninfoFor("postgres"); }
    // Over TCP as `user` (no password: give one, or a passfile).
    std::string conninfoFor(const std::string& user) const;
    std::string socketConninfo() const;
    // The server's own log (not under Wine).
    std::string logFile() const { return dir_.file("server") + "/server.log"; }
    // Lines of the server's log holding `text`.
    int logLinesWith(const std::string& text) const;

    // pg_ctl's modes: "fast", "immediate".
    void restart(const std::string& mode);
    void stop(const std::string& mode = "fast");
    void start();
    // A standby made a primary (pg_ctl promote, waiting until it is one).
    void promote();
    // Every server process stopped (SIGSTOP) or let go on.
    void freeze();
    void thaw();

    // Runs `sql` and returns its rows, columns joined with '|'. Fails the
    // test on an error.
    std::vector<std::string> rows(const std::string& sql) const;
    std::string value(const std::string& sql) const;

private:
    void script(const std::string& arguments);

    testing_support::ScratchDir dir_;
    int port_ = 0;
    std::string database_ = "ostra";
    bool running_ = false;
    bool frozen_ = false;
};
