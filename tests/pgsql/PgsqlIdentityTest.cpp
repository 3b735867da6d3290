// Identities cannot collide silently: a second live host under the same
// service, host name and site is refused, and a key taken by another
// record is a collision answered 1, never "stored before".
#include <gtest/gtest.h>

#include "../bundled/RecordsFile.h"
#include "HostName.h"
#include "PgsqlPluginFixture.h"

namespace {

using PgsqlIdentityTest = PgsqlPluginFixture;

TEST_F(PgsqlIdentityTest, ASecondLiveHostUnderOneIdentityIsRefusedWithALineNamingIt) {
    auto keys = [&](const std::string& site, const std::string& spool) {
        return spoolKeys(server.tcpConninfo(), scratch.file(spool)) + " site = \"" + site + "\";";
    };
    CDatabasePlugin* first = load();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(start(first, keys("zagreb", "a.db")), 0);
    ASSERT_EQ(send(first, "N=1"), "0;ROW_ID=1");

    CDatabasePlugin* clone = load();
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(start(clone, keys("zagreb", "b.db")), 1);
    EXPECT_TRUE(logHas("pgsql: another live host stores into records on postgres@127.0.0.1:" +
                       std::to_string(server.port()) + "/" + server.database() + " as PgsqlTest@" +
                       bundled_support::hostName() +
                       " (site zagreb): two hosts under one identity would take each other's"
                       " rows for their own; give each its own \"site\""));

    CDatabasePlugin* otherSite = load();
    ASSERT_NE(otherSite, nullptr);
    ASSERT_EQ(start(otherSite, keys("split", "c.db")), 0);
    EXPECT_EQ(send(otherSite, "N=2"), "0;ROW_ID=2");

    // Once the first host is gone, the identity is free again.
    first->stop();
    CDatabasePlugin* successor = load();
    ASSERT_NE(successor, nullptr);
    ASSERT_EQ(start(successor, keys("zagreb", "d.db")), 0);
    EXPECT_EQ(send(successor, "N=3"), "0;ROW_ID=3");
    EXPECT_EQ(server.value("SELECT string_agg(site || ':' || (entries ->> 'N'), ',' ORDER BY id)"
                           " FROM records"),
              "zagreb:1,split:2,zagreb:3");
}

TEST_F(PgsqlIdentityTest, AKeyTakenByAnotherRecordIsACollisionAnsweredOneNeverStoredBefore) {
    const std::string spool = scratch.file("a.db");
    CDatabasePlugin* plugin = load();
    ASSERT_NE(plugin, nullptr);
    ASSERT_EQ(
        start(plugin, spoolKeys(server.tcpConninfo(), spool) + " idempotencykey = \"MSGID\";"), 0);
    ASSERT_EQ(send(plugin, "MSGID=m-1;N=1"), "0;ROW_ID=1");
    EXPECT_EQ(send(plugin, "MSGID=m-1;N=1"), "0;ROW_ID=1") << "the same record sent again";
    const std::string collision =
        "the record collides with row 1 of records, stored under the same identity and sender's"
        " key \"m-1\" with other entries; not stored";
    EXPECT_EQ(send(plugin, "MSGID=m-1;N=2"), "1;REASON=" + collision);
    EXPECT_TRUE(logHas("pgsql: record not stored: " + collision));
    EXPECT_EQ(linesWith("was stored before"), 1) << "only the true resend";

    // Spooled (the connection ended under it), then found colliding when
    // forwarded: kept in the spool's refused table, not lost.
    server.rows(
        "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname ="
        " current_database() AND pid <> pg_backend_pid() AND backend_type = 'client backend'");
    EXPECT_EQ(send(plugin, "MSGID=m-1;N=3"), "0;SPOOLED=1");
    EXPECT_TRUE(eventually([&] { return logHas("pgsql: the spool is empty again"); }));
    EXPECT_EQ(RecordsFile(spool).value("SELECT json_extract(entries, '$.N') || '|' || error"
                                       " FROM refused"),
              "3|" + collision);
    EXPECT_EQ(server.value("SELECT string_agg(entries ->> 'N', ',') FROM records"), "1");
}

}  // namespace
