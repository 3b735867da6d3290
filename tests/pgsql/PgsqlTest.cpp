// The pgsql database plug-in behind tcpline and the real host, against a
// real PostgreSQL server each test starts: what lands in the table, the
// checks at start, the spool while the server is away.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "../bundled/BundledFixture.h"
#include "../bundled/RecordsFile.h"
#include "HostName.h"
#include "PgServer.h"

namespace {

class PgsqlTest : public BundledFixture {
protected:
    PgServer server;
    testing_support::ScratchDir scratch;
    std::string spool = scratch.file("spool.db");
    int port = freePort();

    std::string pgsqlDatabase(const std::string& conninfo, const std::string& keys = "") {
        return "{ dll = " + configString(plugin("pgsql")) +
               "; conninfo = " + configString(conninfo) + "; spool = " + configString(spool) +
               "; " + keys + " }";
    }
    void serveTcpIntoPgsql(const std::string& conninfo, const std::string& keys = "") {
        ASSERT_TRUE(server.running());
        serveUntilListening(controlGroup() + "protocols = ( " +
                                tcplineProtocol("PBX", port, pgsqlDatabase(conninfo, keys)) + " );",
                            port);
    }
    // A value in a connection string: quoted, its quotes and backslashes
    // escaped (Windows paths have backslashes).
    static std::string conninfoValue(const std::string& text) {
        std::string quoted = "'";
        for (char c : text) {
            if (c == '\'' || c == '\\') quoted += '\\';
            quoted += c;
        }
        return quoted + "'";
    }
    std::string status() {
        request("STATUS");
        return answers().empty() ? "" : answers().back();
    }
};

TEST_F(PgsqlTest, EachRecordIsOneRowWithItsHostsIdentityAndAResentKeyIsNotStoredTwice) {
    serveTcpIntoPgsql(server.socketConninfo(), "site = \"zagreb-1\"; idempotencykey = \"MSGID\";");
    LineClient client(port);
    EXPECT_EQ(client.ask("CALLER=201;CALLED=0981234567;SECONDS=42"), "0;ROW_ID=1");
    EXPECT_EQ(client.ask("Z=last;A=first;Q=\"quoted\" \\\\ back"), "0;ROW_ID=2");
    EXPECT_EQ(client.ask("MSGID=m-1;N=3"), "0;ROW_ID=3");
    EXPECT_EQ(client.ask("MSGID=m-1;N=3"), "0;ROW_ID=3") << "a resend is answered with its row";
#ifdef _WIN32
    const std::string bad = "\xC4\x82(";  // Windows-1250 there: stored as the letters they are
#else
    const std::string bad = "\xEF\xBF\xBD(";  // not UTF-8: U+FFFD for the cut-short sequence
#endif
    EXPECT_EQ(client.ask("BAD=\xC3\x28;N=4").substr(0, 9), "0;ROW_ID=");
    EXPECT_EQ(server.value("SELECT entries ->> 'BAD' FROM records WHERE entries ->> 'N' = '4'"),
              bad);
    server.rows("DELETE FROM records WHERE entries ->> 'N' = '4'");

    EXPECT_EQ(server.value("SELECT count(*) FROM records"), "3");
    EXPECT_EQ(server.value("SELECT service || '|' || host || '|' || site || '|' ||"
                           " (entries ->> 'Q') || '|' || entry_order::text FROM records"
                           " WHERE id = 2"),
              serviceName + "|" + bundled_support::hostName() + "|zagreb-1|\"quoted\" \\ back|" +
                  "{Z,A,Q}");
    EXPECT_EQ(server.value("SELECT count(*) FROM records WHERE idempotencykey = 'm-1'"), "1");
    EXPECT_EQ(server.value("SELECT count(DISTINCT seq) FROM records"), "3");
    EXPECT_EQ(server.value("SELECT now() - time < interval '1 minute' FROM records WHERE id = 1"),
              "t");

    std::string found = client.ask("CMD=lookup;FIELD=CALLER;VALUE=201");
    std::regex expected(R"(0;FOUND=1;COUNT=1;ROW_ID=1;)"
                        R"(ROW_TIME=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z;ROW_TYPE=1;ROW_TAG=\d+;)"
                        R"(ROW_ENTRIES=\{"CALLER":"201","CALLED":"0981234567","SECONDS":"42"\})");
    EXPECT_TRUE(std::regex_match(found, expected)) << found;
    EXPECT_EQ(client.ask("CMD=LOOKUP;FIELD=CALLER;VALUE=999"), "0;FOUND=0;COUNT=0");
}

TEST_F(PgsqlTest, ATableOfAnotherShapeOrAMalformedConninfoRefusesTheStartWithTheReason) {
    server.rows("CREATE TABLE calls(id bigint, time timestamptz, type integer, entries text)");
    server.rows(
        "CREATE TABLE narrow(id bigserial, time timestamptz, type integer,"
        " tag integer, entries text)");
    int other = freePort(), third = freePort();
    writeConfig(
        controlGroup() + "protocols = ( " +
        tcplineProtocol("A", port, pgsqlDatabase(server.tcpConninfo(), "table = \"calls\";")) +
        ", " +
        tcplineProtocol("B", other,
                        "{ dll = " + configString(plugin("pgsql")) +
                            "; conninfo = \"host=127.0.0.1 nosuchoption=1\"; spool = " +
                            configString(scratch.file("b.db")) + "; }") +
        ", " +
        tcplineProtocol("C", third,
                        "{ dll = " + configString(plugin("pgsql")) +
                            "; conninfo = " + configString(server.tcpConninfo()) +
                            "; table = \"narrow\"; spool = " + configString(scratch.file("c.db")) +
                            "; }") +
        " );");
    startServing();
    EXPECT_TRUE(eventually([&] {
        return logHas("pgsql: the table calls has no column tag (integer)") &&
               logHas(
                   "pgsql: \"conninfo\" is not a connection string: invalid connection option "
                   "\"nosuchoption\"") &&
               logHas("pgsql: the column entries of the table narrow is text, not jsonb");
    }));
    EXPECT_EQ(status(), "tag=0 CMD=ANSWER,ANSWER=STOPPED") << "none of them runs";
    EXPECT_EQ(server.value("SELECT to_regclass('records') IS NULL"), "t")
        << "nothing else is made in the database";
}

TEST_F(PgsqlTest, ARoleAllowedOnlyToInsertAndSelectLogsInWithAPasswordNoLogLineShows) {
    // The table as an administrator makes it for such a role (README).
    server.rows(
        "CREATE TABLE records(id bigserial PRIMARY KEY, time timestamptz NOT NULL,"
        " type integer NOT NULL, tag integer NOT NULL, entries jsonb NOT NULL,"
        " entry_order text[] NOT NULL, service text NOT NULL, host text NOT NULL,"
        " site text NOT NULL, seq bigint NOT NULL, idempotencykey text);"
        "CREATE UNIQUE INDEX records_record_key ON records(service, host, site, seq);"
        "CREATE UNIQUE INDEX records_by_idempotencykey ON records(service, host, site,"
        " idempotencykey) WHERE idempotencykey IS NOT NULL");
    const std::string role = "site_" + std::to_string(port);
    server.rows("DROP ROLE IF EXISTS " + role);
    server.rows("CREATE ROLE " + role + " LOGIN PASSWORD 'pw-secret-17' IN ROLE scram_users");
    server.rows("GRANT INSERT, SELECT ON records TO " + role +
                "; GRANT USAGE ON SEQUENCE records_id_seq TO " + role);
    const std::string passfile = scratch.file("pgpass");
    testing_support::writeFile(
        passfile, "127.0.0.1:" + std::to_string(server.port()) + ":*:" + role + ":pw-secret-17\n");
    std::filesystem::permissions(
        passfile, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    int other = freePort();
    serveUntilListening(
        controlGroup() + "protocols = ( " +
            tcplineProtocol(
                "A", port,
                pgsqlDatabase(server.conninfoFor(role) + " passfile=" + conninfoValue(passfile))) +
            ", " +
            tcplineProtocol("B", other,
                            "{ dll = " + configString(plugin("pgsql")) + "; conninfo = " +
                                configString(server.conninfoFor(role) + " password=pw-secret-17") +
                                "; spool = " + configString(scratch.file("b.db")) +
                                "; site = \"b\"; }") +
            " );",
        port);
    ASSERT_TRUE(eventually([&] { return portAccepts(other); }));
    // A port accepts as soon as tcpline listens, before its database has
    // started: a record then is answered 3 and taken by nobody.
    std::string first;
    ASSERT_TRUE(eventually([&] {
        first = LineClient(port).ask("N=1");
        return first != "3";
    })) << first;
    EXPECT_EQ(first, "0;ROW_ID=1");
    EXPECT_EQ(LineClient(other).ask("N=2"), "0;ROW_ID=2");
    EXPECT_EQ(LineClient(port).ask("CMD=LOOKUP;FIELD=N;VALUE=1").substr(0, 17),
              "0;FOUND=1;COUNT=1");
    EXPECT_EQ(server.value("SELECT count(*) FROM records"), "2");
    EXPECT_TRUE(logHas("pgsql: the conninfo holds a password; a passfile"));
    for (const auto& line : hostLines.lines())
        EXPECT_EQ(line.find("pw-secret-17"), std::string::npos) << line;
    stopServing();
    server.rows("DROP OWNED BY " + role + "; DROP ROLE " + role);
}

TEST_F(PgsqlTest, AConnectionTheServerEndsIsMadeAgainAndTheRecordInFlightIsStoredOnce) {
    serveTcpIntoPgsql(server.tcpConninfo());
    LineClient client(port);
    ASSERT_EQ(client.ask("N=1"), "0;ROW_ID=1");
    EXPECT_EQ(server.value("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity"
                           " WHERE datname = current_database() AND pid <> pg_backend_pid()"
                           " AND backend_type = 'client backend'"),
              "1");
    EXPECT_EQ(client.ask("N=2"), "0;SPOOLED=1");
    EXPECT_TRUE(eventually([&] { return logHas("pgsql: the spool is empty again: 1 records"); }));
    // The writer leaves spooling a moment after that line: the next record
    // is stored directly or goes through the spool once more.
    const std::string third = client.ask("N=3");
    EXPECT_TRUE(third == "0;ROW_ID=3" || third == "0;SPOOLED=1") << third;
    EXPECT_TRUE(eventually([&] {
        return server.value("SELECT string_agg(entries ->> 'N', ',' ORDER BY id) FROM records") ==
               "1,2,3";
    }));
}

TEST_F(PgsqlTest, TwoSitesStoringIntoOneTableAtOnceAreToldApart) {
    int other = freePort();
    serveUntilListening(
        controlGroup() + "protocols = ( " +
            tcplineProtocol("A", port, pgsqlDatabase(server.tcpConninfo(), "site = \"a\";")) +
            ", " +
            tcplineProtocol("B", other,
                            "{ dll = " + configString(plugin("pgsql")) +
                                "; conninfo = " + configString(server.tcpConninfo()) +
                                "; site = \"b\"; spool = " + configString(scratch.file("b.db")) +
                                "; }") +
            " );",
        port);
    ASSERT_TRUE(eventually([&] { return portAccepts(other); }));
    auto send = [](int to, int count) {
        LineClient client(to);
        for (int i = 0; i < count; ++i)
            if (client.ask("N=" + std::to_string(i)).rfind("0;ROW_ID=", 0) != 0) return false;
        return true;
    };
    bool aStored = false, bStored = false;
    std::thread a([&] { aStored = send(port, 200); }), b([&] { bStored = send(other, 200); });
    a.join();
    b.join();
    EXPECT_TRUE(aStored && bStored);
    EXPECT_EQ(
        server.rows("SELECT site, count(*), count(DISTINCT entries ->> 'N'), count(DISTINCT seq)"
                    " FROM records GROUP BY site ORDER BY site"),
        (std::vector<std::string>{"a|200|200|200", "b|200|200|200"}));
    EXPECT_EQ(LineClient(other).ask("CMD=LOOKUP;FIELD=N;VALUE=7").substr(0, 17),
              "0;FOUND=1;COUNT=1")
        << "a site looks up its own rows";
}

TEST_F(PgsqlTest, ARowTheServerRefusesIsAnsweredOneOrSetAsideAndADroppedTableIsMadeAgain) {
    serveTcpIntoPgsql(server.tcpConninfo());
    LineClient client(port);
    ASSERT_EQ(client.ask("N=1"), "0;ROW_ID=1");
    server.rows("ALTER TABLE records ADD CONSTRAINT short CHECK (length(entries ->> 'N') < 5)");
    EXPECT_EQ(client.ask("N=123456"),
              "1;REASON=new row for relation \"records\" violates check constraint \"short\"");

    // Spooled (the connection ended under it), then refused when forwarded:
    // kept aside in the spool, not lost, and the spool goes on.
    server.rows(
        "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname ="
        " current_database() AND pid <> pg_backend_pid() AND backend_type = 'client backend'");
    EXPECT_EQ(client.ask("N=654321"), "0;SPOOLED=1");
    EXPECT_TRUE(eventually([&] { return logHas("pgsql: the spool is empty again"); }));
    EXPECT_TRUE(logHas(
        "violates check constraint \"short\"; it is kept in the table \"refused\" of " + spool));
    EXPECT_EQ(RecordsFile(spool).value("SELECT json_extract(entries, '$.N') FROM refused"),
              "654321");

    server.rows("DROP TABLE records");
    std::string afterDrop = client.ask("N=7");
    EXPECT_TRUE(afterDrop == "0;SPOOLED=1" || afterDrop.rfind("0;ROW_ID=", 0) == 0) << afterDrop;
    EXPECT_TRUE(eventually([&] {
        return server.value("SELECT to_regclass('records') IS NOT NULL") == "t" &&
               server.value("SELECT string_agg(entries ->> 'N', ',') FROM records") == "7";
    }));
}

TEST_F(PgsqlTest, APipeliningSendersRecordsShareTransactionsInItsOrderAndALookupSeesThoseBefore) {
    serveTcpIntoPgsql(server.tcpConninfo());
    LineClient client(port);
    std::string lines;
    for (int n = 0; n < 300; ++n) {
        lines += "N=" + std::to_string(n) + "\n";
        if (n == 150) lines += "CMD=LOOKUP;FIELD=N;VALUE=150\n";
    }
    ASSERT_TRUE(client.send(lines));
    for (int n = 0; n < 300; ++n) {
        ASSERT_EQ(client.readLine(), "0;ROW_ID=" + std::to_string(n + 1)) << "record " << n;
        if (n == 150) {
            EXPECT_EQ(client.readLine().substr(0, 28), "0;FOUND=1;COUNT=1;ROW_ID=151");
        }
    }
    std::string order;
    for (int n = 0; n < 300; ++n) order += (n > 0 ? "," : "") + std::to_string(n);
    EXPECT_EQ(server.value("SELECT string_agg(entries ->> 'N', ',' ORDER BY id) FROM records"),
              order);
    // Rows committed together carry one transaction id (one at a time: 300).
    const int transactions =
        std::stoi(server.value("SELECT count(DISTINCT xmin::text) FROM records"));
    EXPECT_LT(transactions, 100);
}

#ifndef _WIN32  // (under Wine the test cannot stop the server)
TEST_F(PgsqlTest, APipelineThroughAnOutageLosesNoRecordAnsweredZeroAndStoresEachOnceInOrder) {
    serveTcpIntoPgsql(server.tcpConninfo(), "connecttimeout = 1000;");
    LineClient client(port);
    constexpr int kRecords = 3000;
    std::thread sender([&] {
        std::string lines;
        for (int n = 0; n < kRecords; ++n) lines += "N=" + std::to_string(n) + "\n";
        client.send(lines);
    });
    int answered = 0, spooled = 0;
    for (; answered < kRecords; ++answered) {
        std::string reply = client.readLine(20000);
        if (reply == "0;SPOOLED=1")
            ++spooled;
        else if (reply.substr(0, 9) != "0;ROW_ID=")
            ADD_FAILURE() << "record " << answered << ": " << reply;
        if (answered == 500) server.stop("immediate");
    }
    sender.join();
    EXPECT_GT(spooled, 0);
    server.start();
    ASSERT_TRUE(eventually(
        [&] { return server.value("SELECT count(*) FROM records") == std::to_string(kRecords); },
        std::chrono::seconds(60)));
    std::string order;
    for (int n = 0; n < kRecords; ++n) order += (n > 0 ? "," : "") + std::to_string(n);
    EXPECT_EQ(server.value("SELECT string_agg(entries ->> 'N', ',' ORDER BY id) FROM records"),
              order)
        << "each once, in the order sent";
}

TEST_F(PgsqlTest, WhileTheServerIsDownRecordsAreSpooledAndForwardedOnceWhenItIsBack) {
    serveTcpIntoPgsql(server.tcpConninfo(), "connecttimeout = 1000; idempotencykey = \"MSGID\";");
    LineClient client(port);
    ASSERT_EQ(client.ask("N=0"), "0;ROW_ID=1");

    server.stop("fast");
    for (int n = 1; n <= 20; ++n) ASSERT_EQ(client.ask("N=" + std::to_string(n)), "0;SPOOLED=1");
    EXPECT_EQ(client.ask("MSGID=k;N=21"), "0;SPOOLED=1");
    EXPECT_EQ(client.ask("MSGID=k;N=21"), "0;SPOOLED=1") << "held once";
    EXPECT_EQ(RecordsFile(spool).value("SELECT count(*) FROM spool"), "21");
    EXPECT_EQ(status(), "tag=0 CMD=ANSWER,ANSWER=STARTED") << "spooling is running";
    EXPECT_TRUE(logHas("; they are committed to the spool " + spool));

    server.start();
    ASSERT_TRUE(eventually([&] { return server.value("SELECT count(*) FROM records") == "22"; },
                           std::chrono::seconds(40)));
    EXPECT_EQ(server.value("SELECT count(DISTINCT entries ->> 'N') FROM records"), "22");
    EXPECT_EQ(server.value("SELECT string_agg(entries ->> 'N', ',' ORDER BY id) FROM records"),
              "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21")
        << "forwarded in the order taken";
    EXPECT_TRUE(eventually([&] { return logHas("pgsql: the spool is empty again: 21 records"); }));
    EXPECT_EQ(RecordsFile(spool).value("SELECT count(*) FROM spool"), "0");
    EXPECT_EQ(client.ask("N=22"), "0;ROW_ID=23") << "stored directly again";
    EXPECT_EQ(client.ask("MSGID=k;N=21"), "0;ROW_ID=22");
}

TEST_F(PgsqlTest, AFrozenServerCostsAStatementTimeoutAndTheRecordIsSpooledNotLost) {
    serveTcpIntoPgsql(server.tcpConninfo(), "connecttimeout = 500; statementtimeout = 500;");
    LineClient client(port);
    ASSERT_EQ(client.ask("N=1"), "0;ROW_ID=1");
    server.freeze();
    auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(client.ask("N=2"), "0;SPOOLED=1");
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
    server.thaw();
    EXPECT_TRUE(eventually([&] { return server.value("SELECT count(*) FROM records") == "2"; },
                           std::chrono::seconds(40)));
}
#endif

}  // namespace
