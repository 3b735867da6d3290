// The pgsql plug-in's own connection cannot hang half-open: keepalives on
// both ends of its TCP connection and a server that ends a transaction
// left open, read from the sockets and the server session themselves.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "PgsqlPluginFixture.h"

namespace {

#ifndef _WIN32  // (ss reads the sockets of the test's own network namespace)
class PgsqlSessionTest : public PgsqlPluginFixture {
protected:
    // Seconds until the keepalive timer of the established TCP socket with
    // local port `local` and remote port `remote` fires; -1 when it has
    // none. (A socket shows one timer: while data waits for its ACK, the
    // retransmission timer.)
    static int keepaliveSeconds(int local, int remote) {
        int seconds = -1;
        eventually([&] { return (seconds = keepaliveTimer(local, remote)) >= 0; },
                   std::chrono::seconds(2));
        return seconds;
    }
    static int keepaliveTimer(int local, int remote) {
        std::string command = "ss -tnoH state established '( sport = :" + std::to_string(local) +
                              " and dport = :" + std::to_string(remote) + " )'";
        std::string output;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[512];
            while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
            pclose(pipe);
        }
        std::smatch timer;
        if (!std::regex_search(output, timer,
                               std::regex(R"(timer:\(keepalive,(?:(\d+)min)?(?:(\d+)sec)?)")))
            return -1;
        return (timer[1].matched ? 60 * std::stoi(timer[1]) : 0) +
               (timer[2].matched ? std::stoi(timer[2]) : 0);
    }
    // The plug-in's backend's client port, its connection named by
    // `application`.
    int clientPort(const std::string& application) {
        return std::atoi(server
                             .value("SELECT client_port FROM pg_stat_activity WHERE"
                                    " application_name = '" +
                                    application + "' AND backend_type = 'client backend'")
                             .c_str());
    }
};

TEST_F(PgsqlSessionTest, BothEndsOfTheConnectionSendKeepalivesAndTheServerEndsAnOpenTransaction) {
    CDatabasePlugin* plugin = load();
    ASSERT_NE(plugin, nullptr);
    ASSERT_EQ(start(plugin, spoolKeys(server.tcpConninfo(), scratch.file("a.db"))), 0);
    ASSERT_EQ(send(plugin, "N=1"), "0;ROW_ID=1");
    const int client = clientPort("PgsqlTest");
    ASSERT_GT(client, 0);

    // Without them both would wait the system's two hours (7200 s).
    const int serverSide = keepaliveSeconds(server.port(), client);
    EXPECT_GE(serverSide, 0) << "the server's socket of the session has no keepalive timer";
    EXPECT_LE(serverSide, 20);
    const int clientSide = keepaliveSeconds(client, server.port());
    EXPECT_GE(clientSide, 0) << "the plug-in's socket has no keepalive timer";
    EXPECT_LE(clientSide, 20);
    EXPECT_TRUE(
        logHas("; session tcp_keepalives_idle=20 tcp_keepalives_interval=5"
               " tcp_keepalives_count=4 idle_in_transaction_session_timeout=45s"));
}

TEST_F(PgsqlSessionTest, ShorterLimitsTheConninfoSetsAreKept) {
    CDatabasePlugin* plugin = load();
    ASSERT_NE(plugin, nullptr);
    ASSERT_EQ(start(plugin, spoolKeys(server.tcpConninfo() +
                                          " application_name=short keepalives_idle=7"
                                          " options='-c idle_in_transaction_session_timeout=10s"
                                          " -c tcp_keepalives_idle=9'",
                                      scratch.file("a.db"))),
              0);
    ASSERT_EQ(send(plugin, "N=1"), "0;ROW_ID=1");
    const int client = clientPort("short");
    ASSERT_GT(client, 0);
    const int serverSide = keepaliveSeconds(server.port(), client);
    EXPECT_GE(serverSide, 0);
    EXPECT_LE(serverSide, 9);
    const int clientSide = keepaliveSeconds(client, server.port());
    EXPECT_GE(clientSide, 0);
    EXPECT_LE(clientSide, 7);
    EXPECT_TRUE(
        logHas("; session tcp_keepalives_idle=9 tcp_keepalives_interval=5"
               " tcp_keepalives_count=4 idle_in_transaction_session_timeout=10s"));
}
#endif

}  // namespace
