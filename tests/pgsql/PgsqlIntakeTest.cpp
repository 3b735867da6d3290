// A frozen PostgreSQL server (every process SIGSTOP'd) behind one protocol
// of the real executable: the records sent to it wait for the statement
// timeout, and nothing else does: another protocol's senders are answered
// meanwhile, and the frozen protocol still takes new connections.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "../bundled/LineClient.h"
#include "../entry/ExecutableFixture.h"
#include "PgServer.h"

namespace {

class PgsqlIntakeTest : public ExecutableFixture {
protected:
    PgServer server;
    int pgsqlPort = freePort();
    int sqlitePort = freePort();
};

TEST_F(PgsqlIntakeTest, AFrozenServerDelaysNeitherAnotherProtocolNorNewConnections) {
    ASSERT_TRUE(server.running());
    std::string suffix = OSTRA_PLUGIN_SUFFIX;
    auto tcpline = [&](const std::string& name, int port, const std::string& database) {
        return "{ name = \"" + name + "\"; type = \"PBX\"; dll = \"tcpline" + suffix +
               "\"; port = " + std::to_string(port) + "; databases = ( " + database + " ); }";
    };
    writeConfig("wakeupwait = 1; control = { dll = \"testcontrol" + suffix +
                "\"; }; protocols = ( " +
                tcpline("Central", pgsqlPort,
                        "{ dll = \"pgsql" + suffix +
                            "\"; conninfo = " + configString(server.tcpConninfo()) +
                            "; connecttimeout = 1000; statementtimeout = 5000; }") +
                ", " + tcpline("Local", sqlitePort, "{ dll = \"sqlite" + suffix + "\"; }") + " );");
    testing_support::ChildProcess host(executable(), {"console"}, dir.path().string());
    ASSERT_TRUE(eventually([&] { return portAccepts(pgsqlPort) && portAccepts(sqlitePort); }))
        << host.output();
    LineClient central(pgsqlPort);
    ASSERT_EQ(central.ask("N=0"), "0;ROW_ID=1");

    server.freeze();
    std::vector<std::unique_ptr<LineClient>> waiting;
    for (int i = 0; i < 8; ++i) {
        waiting.emplace_back(new LineClient(pgsqlPort));
        ASSERT_TRUE(waiting.back()->send("N=" + std::to_string(i + 1) + "\n"));
    }
    // The other protocol answers while every record of the frozen one waits.
    LineClient local(sqlitePort);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(local.ask("L=" + std::to_string(i)).substr(0, 9), "0;ROW_ID=");
    EXPECT_EQ(waiting.front()->readLine(0), "<timeout>");
    // A newcomer to the frozen protocol is let in and heard.
    LineClient newcomer(pgsqlPort);
    ASSERT_TRUE(newcomer.connected());
    ASSERT_TRUE(newcomer.send("N=9\n"));

    for (auto& client : waiting) EXPECT_EQ(client->readLine(20000), "0;SPOOLED=1");
    EXPECT_EQ(newcomer.readLine(20000), "0;SPOOLED=1");
    server.thaw();
    EXPECT_TRUE(eventually([&] { return server.value("SELECT count(*) FROM records") == "10"; },
                           std::chrono::seconds(40)));
}

}  // namespace
