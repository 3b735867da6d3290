// A server that takes connections but refuses records: one answer for one
// server state, a retry pause that grows until records are stored again,
// and refusals logged once with a count.
#include <gtest/gtest.h>

#include <thread>

#include "PgsqlPluginFixture.h"

namespace {

class PgsqlRefusalTest : public PgsqlPluginFixture {
protected:
    // The table as an administrator makes it for a role allowed only to
    // insert and select (README), and that role (trusted, no password).
    std::string siteRole() {
        const std::string role = "site_" + std::to_string(server.port());
        server.rows(
            "CREATE TABLE records(id bigserial PRIMARY KEY, time timestamptz NOT NULL,"
            " type integer NOT NULL, tag integer NOT NULL, entries jsonb NOT NULL,"
            " entry_order text[] NOT NULL, service text NOT NULL, host text NOT NULL,"
            " site text NOT NULL, seq bigint NOT NULL, idempotencykey text);"
            "CREATE UNIQUE INDEX records_record_key ON records(service, host, site, seq);"
            "CREATE UNIQUE INDEX records_by_idempotencykey ON records(service, host, site,"
            " idempotencykey) WHERE idempotencykey IS NOT NULL");
        server.rows("DROP ROLE IF EXISTS " + role);
        server.rows("CREATE ROLE " + role + " LOGIN");
        server.rows("GRANT INSERT, SELECT ON records TO " + role +
                    "; GRANT USAGE ON SEQUENCE records_id_seq TO " + role);
        return role;
    }
};

TEST_F(PgsqlRefusalTest, RefusalsOfARowAreAnsweredOneAndLoggedOnceWithACount) {
    CDatabasePlugin* plugin = load();
    ASSERT_NE(plugin, nullptr);
    ASSERT_EQ(start(plugin, spoolKeys(server.tcpConninfo(), scratch.file("a.db"))), 0);
    ASSERT_EQ(send(plugin, "N=1"), "0;ROW_ID=1");
    server.rows("ALTER TABLE records ADD CONSTRAINT short CHECK (length(entries ->> 'N') < 5)");
    server.rows("ALTER TABLE records ADD CONSTRAINT small CHECK (length(entries ->> 'M') < 5)");

    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(send(plugin, "N=123456"),
                  "1;REASON=new row for relation \"records\" violates check constraint \"short\"");
    EXPECT_EQ(linesWith("violates check constraint \"short\""), 1) << "one line for fifty";
    EXPECT_EQ(send(plugin, "M=123456"),
              "1;REASON=new row for relation \"records\" violates check constraint \"small\"");
    EXPECT_TRUE(logHas("pgsql: 49 more records not stored (within "));
    EXPECT_TRUE(
        logHas(" s): new row for relation \"records\" violates check constraint \"short\""));
    for (int i = 0; i < 3; ++i) send(plugin, "M=123456");
    EXPECT_EQ(linesWith("violates check constraint \"small\""), 1);
    plugin->stop();
    EXPECT_TRUE(logHas("pgsql: 3 more records not stored (within "))
        << "the count is not lost with a stop";
    EXPECT_EQ(server.value("SELECT count(*) FROM records"), "1");
}

#ifndef _WIN32  // (reads the server's log; changes the server's settings)
TEST_F(PgsqlRefusalTest, AServerThatConnectsButCannotInsertIsAskedAfterAGrowingPause) {
    const std::string role = siteRole();
    server.rows("ALTER SYSTEM SET log_connections = on");
    server.rows("SELECT pg_reload_conf()");
    CDatabasePlugin* plugin = load();
    ASSERT_NE(plugin, nullptr);
    ASSERT_EQ(start(plugin, spoolKeys(server.conninfoFor(role), scratch.file("a.db")) +
                                " connecttimeout = 1000;"),
              0);
    ASSERT_EQ(send(plugin, "N=0"), "0;ROW_ID=1");

    server.rows("REVOKE INSERT ON records FROM " + role);
    EXPECT_EQ(send(plugin, "N=1"), "0;SPOOLED=1") << "the spool was empty";
    EXPECT_EQ(send(plugin, "N=2"), "0;SPOOLED=1") << "the spool holds a row";

    // Twelve seconds of records, one every 100 ms. Asked again after every
    // connect (0.27 s) the server would refuse over forty times; after a
    // pause doubling from 0.25 s, at 0.25, 0.75, 1.75, 3.75 and 7.75 s.
    const std::string refused = "permission denied for table records";
    const std::string connected = "connection authorized: user=" + role;
    const int refusedBefore = server.logLinesWith(refused);
    const int connectsBefore = server.logLinesWith(connected);
    int sent = 3;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(12);
         std::chrono::steady_clock::now() < end; ++sent) {
        ASSERT_EQ(send(plugin, "N=" + std::to_string(sent)), "0;SPOOLED=1");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const int refusals = server.logLinesWith(refused) - refusedBefore;
    const int connects = server.logLinesWith(connected) - connectsBefore;
    EXPECT_GE(refusals, 3) << "asked again";
    EXPECT_LE(refusals, 7);
    EXPECT_LE(connects, 7);
    EXPECT_LE(linesWith(refused), 2) << "the refusal and the spooling, each once";
    EXPECT_TRUE(logHas("pgsql: the server refuses records: " + refused +
                       "; they wait in the spool and are tried again after a pause growing to"
                       " 30 s"));

    server.rows("GRANT INSERT ON records TO " + role);
    EXPECT_TRUE(eventually([&] { return logHas("pgsql: the spool is empty again"); },
                           std::chrono::seconds(40)));
    // Records go straight to the server again once the writer has seen
    // the spool empty (one more look after the line).
    EXPECT_TRUE(eventually(
        [&] { return send(plugin, "N=" + std::to_string(sent++)).rfind("0;ROW_ID=", 0) == 0; }));
    const std::string all = std::to_string(sent) + " " + std::to_string(sent);
    EXPECT_TRUE(eventually([&] {
        return server.value(
                   "SELECT count(*) || ' ' || count(DISTINCT entries ->> 'N')"
                   " FROM records") == all;
    }));
}

TEST_F(PgsqlRefusalTest, AReadOnlyServerGetsTheSameAnswerWithAnEmptySpoolAndAFullOne) {
    CDatabasePlugin* plugin = load();
    ASSERT_NE(plugin, nullptr);
    ASSERT_EQ(start(plugin, spoolKeys(server.tcpConninfo(), scratch.file("a.db"))), 0);
    ASSERT_EQ(send(plugin, "N=1"), "0;ROW_ID=1");
    server.rows("ALTER SYSTEM SET default_transaction_read_only = on");
    server.rows("SELECT pg_reload_conf()");
    ASSERT_TRUE(
        eventually([&] { return server.value("SHOW default_transaction_read_only") == "on"; }));
    EXPECT_EQ(send(plugin, "N=2"), "0;SPOOLED=1") << "the spool was empty";
    EXPECT_EQ(send(plugin, "N=3"), "0;SPOOLED=1") << "the spool holds a row";
    EXPECT_TRUE(logHas("cannot execute INSERT in a read-only transaction"));
    server.rows("ALTER SYSTEM RESET default_transaction_read_only");
    server.rows("SELECT pg_reload_conf()");
    EXPECT_TRUE(eventually([&] { return server.value("SELECT count(*) FROM records") == "3"; },
                           std::chrono::seconds(20)));
}
#endif

}  // namespace
