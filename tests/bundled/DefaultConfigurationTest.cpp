// The real executable on the configuration it ships with: a record sent
// over TCP lands in the SQLite file, and the console tells where to look.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <thread>

#include "../entry/ExecutableFixture.h"
#include "LineClient.h"
#include "RecordsFile.h"

namespace {

constexpr int kDefaultTcpPort = 7765;
constexpr int kDefaultWebPort = 8765;

class DefaultConfigurationTest : public ExecutableFixture {
protected:
    static std::string shippedConfig() {
        return testing_support::readFile(
            (testing_support::binaryDir() / "OstraService.cfg").string());
    }
    // The shipped file with one more protocol in front: tcpline on
    // `port` with no database.
    void installDefaultWithBareProtocol(int port) {
        std::string config = shippedConfig();
        const std::string list = "    protocols = (\n";
        size_t at = config.find(list);
        ASSERT_NE(at, std::string::npos) << "the shipped file has no protocols list";
        config.insert(at + list.size(),
                      "        { name = \"BARE\"; type = \"PBX\"; dll = \"tcpline" +
                          std::string(OSTRA_PLUGIN_SUFFIX) + "\"; port = " + std::to_string(port) +
                          "; databases = ( ); },\n");
        testing_support::writeFile(configPath(), config);
    }
    // The shipped file with the console's token set.
    void installDefaultWithToken(const std::string& token) {
        std::string config = shippedConfig();
        const std::string hint = "# token = \"choose-a-long-random-secret\";";
        size_t at = config.find(hint);
        ASSERT_NE(at, std::string::npos) << "the shipped file has no token line";
        config.replace(at, hint.size(), "token = \"" + token + "\";");
        testing_support::writeFile(configPath(), config);
    }
};

TEST_F(DefaultConfigurationTest, ALineSentOverTcpIsStoredAndAProtocolWithoutDatabasesAnswersThree) {
    int barePort = freePort();
    installDefaultWithBareProtocol(barePort);
    testing_support::ChildProcess host(executable(), {"console"}, dir.path().string());
    ASSERT_TRUE(host.started());
    ASSERT_TRUE(eventually([&] { return portAccepts(kDefaultTcpPort) && portAccepts(barePort); }))
        << host.output();

    EXPECT_EQ(LineClient(kDefaultTcpPort).ask("CALLER=201;CALLED=0981234567;SECONDS=42"),
              "0;ROW_ID=1");
    EXPECT_EQ(LineClient(barePort).ask("CALLER=202"), "3");

    host.writeInput("S");
    host.closeInput();
    std::optional<int> exitCode = host.wait(std::chrono::seconds(30));
    ASSERT_TRUE(exitCode.has_value());
    EXPECT_EQ(*exitCode, 0);
    EXPECT_NE(host.output().find("Web console: http://127.0.0.1:8765/"), std::string::npos)
        << host.output();
    EXPECT_EQ(RecordsFile(dir.file("records.db"))
                  .rows("SELECT type || ' ' || entries FROM records ORDER BY id"),
              std::vector<std::string>{
                  "1 {\"CALLER\":\"201\",\"CALLED\":\"0981234567\",\"SECONDS\":\"42\"}"});
    EXPECT_FALSE(portAccepts(kDefaultTcpPort));
}

// 100 clients that send a request one byte a second, 6 that send header
// lines without end, and 128 that pipeline 2,000 requests for a public file
// and never read the answers: the operator's STATUS is answered at once all
// the while, and the host stays small.
TEST_F(DefaultConfigurationTest, HostileWebClientsNeitherStarveTheOperatorNorGrowTheHost) {
    installDefaultWithToken("operator-secret");
    testing_support::ChildProcess host(executable(), {"console"}, dir.path().string());
    ASSERT_TRUE(eventually([&] { return portAccepts(kDefaultWebPort); })) << host.output();
    // What the attack may add is measured from here: under Wine the working
    // set holds the mapped images whole, debug information included.
    const std::size_t residentAtStart = host.residentBytes();

    // Every client thread ends with the test, also when an assertion fails.
    struct Attack {
        std::atomic<bool> quit{false};
        std::vector<std::thread> threads;
        ~Attack() {
            quit = true;
            for (std::thread& thread : threads) thread.join();
        }
    } attack;
    for (int i = 0; i < 6; ++i) {
        attack.threads.emplace_back([&attack] {
            std::string lines;
            while (lines.size() < 64 * 1024) lines += "X-Flood: y\r\n";
            while (!attack.quit) {
                LineClient flood(kDefaultWebPort);
                if (!flood.send("GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n")) continue;
                for (int sent = 0; sent < 200 && !attack.quit && flood.send(lines); ++sent) {
                }
            }
        });
    }
    attack.threads.emplace_back([&attack] {
        std::vector<LineClient> drips(100);
        for (LineClient& drip : drips) drip.connect(kDefaultWebPort);
        const std::string slow = "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
        for (std::size_t at = 0; !attack.quit; ++at) {
            for (LineClient& drip : drips) drip.send(slow.substr(at % slow.size(), 1));
            for (int i = 0; i < 10 && !attack.quit; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    attack.threads.emplace_back([&attack] {
        // Before, such readers held every slot for good: 503 for the operator.
        std::string pipeline;
        for (int i = 0; i < 2000; ++i)
            pipeline += "GET /console.js HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        std::vector<LineClient> readers(128);
        for (LineClient& reader : readers) {
            if (attack.quit) break;
            if (reader.connect(kDefaultWebPort)) reader.send(pipeline);
        }
        while (!attack.quit) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));

    for (int i = 0; i < 5; ++i) {
        httplib::Client web("127.0.0.1", kDefaultWebPort);
        web.set_read_timeout(5, 0);
        auto asked = std::chrono::steady_clock::now();
        auto answer = web.Get("/api/status", {{"X-Ostra-Token", "operator-secret"}});
        auto took = std::chrono::steady_clock::now() - asked;
        ASSERT_TRUE(answer) << "no answer to the operator, try " << i;
        EXPECT_EQ(answer->body, "{\"state\":\"STARTED\"}");
        EXPECT_LT(took, std::chrono::seconds(1)) << "try " << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
#ifndef OSTRA_SANITIZED
    std::size_t resident = host.residentBytes();
    if (resident > 0) {
        EXPECT_LT(resident - residentAtStart, 40u << 20) << "from " << residentAtStart;
    }
#endif
    attack.quit = true;
    host.writeInput("S");
    host.closeInput();
    EXPECT_EQ(host.wait(std::chrono::seconds(30)), std::optional<int>(0)) << host.output();
}

}  // namespace
