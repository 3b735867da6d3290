// The pgsql plug-in's report through the real executable: a wrong password
// is seen by /healthz, `status` and /metrics within seconds while records
// wait in the spool, and the spool empties once the password is right.
#include <gtest/gtest.h>

#include <cstdlib>

#include "../bundled/LineClient.h"
#include "../entry/ExecutableFixture.h"
#include "PgServer.h"

namespace {

class PgsqlHealthTest : public ExecutableFixture {
protected:
    PgServer server;
    int tcpPort = freePort();
    int webPort = freePort();

    std::string httpGet(const std::string& path) {
        LineClient web(webPort);
        if (!web.send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"))
            return "<send failed>";
        return web.readToEnd(10000);
    }
    // The value of the sample that starts with `series` in /metrics; -1 when absent.
    double sample(const std::string& series) {
        const std::string page = httpGet("/metrics");
        const std::size_t at = page.find("\n" + series);
        if (at == std::string::npos) return -1;
        const std::size_t value = page.find("} ", at);
        return value == std::string::npos ? -1 : std::strtod(page.c_str() + value + 2, nullptr);
    }
};

TEST_F(PgsqlHealthTest, AWrongPasswordFailsHealthAndStatusWhileRecordsSpoolUntilItIsPutRight) {
    ASSERT_TRUE(server.running());
    const std::string role = "health_" + server.database();
    server.rows("DO $$ BEGIN CREATE ROLE " + role +
                " LOGIN IN ROLE scram_users; EXCEPTION WHEN duplicate_object THEN NULL; END $$");
    server.rows("ALTER ROLE " + role + " PASSWORD 'Right-pw-1'");
    server.rows("GRANT CREATE ON SCHEMA public TO " + role);
    // Made by a role that may, so that the wrong password is all that fails.
    const std::string suffix = OSTRA_PLUGIN_SUFFIX;
    writeConfig(
        "wakeupwait = 1; control = { dll = \"webcontrol" + suffix +
        "\"; port = " + std::to_string(webPort) +
        "; }; protocols = ( { name = \"Central\"; type = \"PBX\"; dll = \"tcpline" + suffix +
        "\"; port = " + std::to_string(tcpPort) + "; databases = ( { dll = \"pgsql" + suffix +
        "\"; conninfo = " + configString(server.conninfoFor(role) + " password=Wr0ng-pw-1") +
        "; connecttimeout = 1000; spoolalarm = 3600; } ); } );");
    testing_support::ChildProcess host(executable(), {"console"}, dir.path().string());
    ASSERT_TRUE(eventually([&] { return portAccepts(tcpPort) && portAccepts(webPort); }))
        << host.output();

    LineClient sender(tcpPort);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(sender.ask("N=" + std::to_string(i)), "0;SPOOLED=1") << host.output();

    // Within seconds: unhealthy, naming the protocol and why, with no password.
    std::string health;
    ASSERT_TRUE(eventually(
        [&] {
            health = httpGet("/healthz");
            return health.substr(0, 12) == "HTTP/1.1 503";
        },
        std::chrono::seconds(10)))
        << health;
    EXPECT_NE(health.find("\"protocol\":\"Central\""), std::string::npos) << health;
    EXPECT_NE(health.find("password authentication failed"), std::string::npos) << health;
    EXPECT_EQ(health.find("Wr0ng"), std::string::npos) << "no password shown: " << health;
    Result status;
    EXPECT_TRUE(eventually(
        [&] {
            status = run({"status"});
            return status.exitCode == 1;
        },
        std::chrono::seconds(10)))
        << status.output;
    EXPECT_NE(status.output.find("Central: pgsql" + suffix + " is failing: cannot use "),
              std::string::npos)
        << status.output;
    EXPECT_EQ(status.output.find("Wr0ng"), std::string::npos) << status.output;

    const std::string depth =
        "ostraservice_pgsql_spool_records{protocol=\"Central\",database=\"pgsql" + suffix + "\"}";
    EXPECT_TRUE(eventually([&] { return sample(depth) == 3; }, std::chrono::seconds(5)));
    ASSERT_EQ(sender.ask("N=3"), "0;SPOOLED=1");
    EXPECT_TRUE(eventually([&] { return sample(depth) == 4; }, std::chrono::seconds(5)))
        << "the depth rises as records are spooled";

    // Put right: the spool is forwarded (after the writer's pause, at most
    // 30 s), the depth falls to 0 and the host is healthy again.
    server.rows("ALTER ROLE " + role + " PASSWORD 'Wr0ng-pw-1'");
    EXPECT_TRUE(eventually([&] { return sample(depth) == 0; }, std::chrono::seconds(60)))
        << httpGet("/metrics");
    EXPECT_EQ(server.value("SELECT count(*) FROM records"), "4");
    EXPECT_TRUE(eventually([&] { return httpGet("/healthz").substr(0, 12) == "HTTP/1.1 200"; },
                           std::chrono::seconds(10)));
    EXPECT_EQ(run({"status"}).exitCode, 0);
    host.writeInput("S");
    EXPECT_EQ(host.wait(std::chrono::seconds(30)), 0);
}

}  // namespace
