// The real executable storing into a real PostgreSQL server that is
// restarted, restarted hard, and stopped for ten seconds while four clients
// pipeline records, with the host itself killed (SIGKILL) while its spool
// holds records: every record ends up in the table exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "../bundled/LineClient.h"
#include "../bundled/PipeliningSender.h"
#include "../bundled/RecordsFile.h"
#include "../entry/ExecutableFixture.h"
#include "PgServer.h"

namespace {

constexpr int kClients = 4;
constexpr int kRecordsEach = 2500;

class PgsqlOutageTest : public ExecutableFixture {
protected:
    PgServer server;
    int port = freePort();

    void writeHostConfig() {
        std::string suffix = OSTRA_PLUGIN_SUFFIX;
        writeConfig("wakeupwait = 1; control = { dll = \"testcontrol" + suffix +
                    "\"; }; protocols = ( { name = \"PBX\"; type = \"PBX\"; dll = \"tcpline" +
                    suffix + "\"; port = " + std::to_string(port) +
                    "; databases = ( { dll = \"pgsql" + suffix +
                    "\"; conninfo = " + configString(server.tcpConninfo()) +
                    "; connecttimeout = 1000; statementtimeout = 2000; idempotencykey = \"N\"; }"
                    " ); } );");
    }
    std::unique_ptr<testing_support::ChildProcess> startHost() {
        std::unique_ptr<testing_support::ChildProcess> host(
            new testing_support::ChildProcess(executable(), {"console"}, dir.path().string()));
        EXPECT_TRUE(eventually([&] { return portAccepts(port); })) << host->output();
        return host;
    }
    long long spooled() {
        return std::stoll(
            RecordsFile(dir.file("pgsql-spool.db")).value("SELECT count(*) FROM spool"));
    }
};

TEST_F(PgsqlOutageTest, RecordsSentThroughRestartsAStopAndAKilledHostAreEachStoredOnce) {
    ASSERT_TRUE(server.running());
    writeHostConfig();
    auto host = startHost();

    SenderGroup senders(kClients, port, kRecordsEach, std::chrono::milliseconds(4));

    auto pause = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    pause(1500);
    server.restart("fast");
    pause(1500);
    server.restart("immediate");
    pause(1500);
    server.stop("fast");
    auto stoppedAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] { return spooled() > 200; })) << host->output();
    host.reset();  // SIGKILL, with records in the spool
    long long spooledAtKill = spooled();
    host = startHost();
    std::this_thread::sleep_until(stoppedAt + std::chrono::seconds(10));
    server.start();

    senders.join();
    const long long sent = senders.answeredZero(), ones = senders.answeredOne(),
                    resent = senders.resent();
    ASSERT_EQ(sent, kClients * kRecordsEach);
    ASSERT_TRUE(eventually([&] { return spooled() == 0; }, std::chrono::seconds(60)))
        << spooled() << " records still spooled";
    EXPECT_EQ(server.value("SELECT count(*) FROM records"), std::to_string(sent));
    EXPECT_EQ(server.value("SELECT count(DISTINCT entries ->> 'N') FROM records"),
              std::to_string(sent));
    EXPECT_EQ(server.value("SELECT count(*) FROM records WHERE idempotencykey IS DISTINCT FROM"
                           " entries ->> 'N'"),
              "0");
    std::cout << "spooled when the host was killed: " << spooledAtKill << ", answered 1: " << ones
              << ", sent again after a lost answer: " << resent << "\n";
}

TEST_F(PgsqlOutageTest, TheSecondSampleConfigurationStoresIntoTheCentralServerOnceItNamesIt) {
    std::string config = testing_support::readFile(
        (testing_support::binaryDir() / "OstraService.pgsql.cfg").string());
    auto replace = [&config](const std::string& from, const std::string& to) {
        std::size_t at = config.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        config.replace(at, from.size(), to);
    };
    replace("host=db.example.org dbname=calls user=ostra_site", server.tcpConninfo());
    replace("port = 7765;", "port = " + std::to_string(port) + ";");
    replace("port = 8765;", "port = " + std::to_string(freePort()) + ";");
    testing_support::writeFile(configPath(), config);
    EXPECT_EQ(run({"check"}).exitCode, 0);

    auto host = startHost();
    EXPECT_EQ(LineClient(port).ask("MSGID=a1;CALLER=201"), "0;ROW_ID=1");
    EXPECT_EQ(LineClient(port).ask("MSGID=a1;CALLER=201"), "0;ROW_ID=1");
    EXPECT_EQ(server.value("SELECT site || ' ' || count(*) FROM records GROUP BY site"),
              "site-01 1");
    EXPECT_TRUE(std::filesystem::exists(dir.file("pgsql-spool.db")));
}

}  // namespace
