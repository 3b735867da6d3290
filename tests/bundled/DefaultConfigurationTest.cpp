// The real executable on the configuration it ships with: a record sent
// over TCP lands in the SQLite file, and the console tells where to look.
#include <gtest/gtest.h>

#include "../entry/ExecutableFixture.h"
#include "LineClient.h"
#include "RecordsFile.h"

namespace {

constexpr int kDefaultTcpPort = 7765;

class DefaultConfigurationTest : public ExecutableFixture {
protected:
    // The shipped file with one more protocol in front: tcpline on
    // `port` with no database.
    void installDefaultWithBareProtocol(int port) {
        std::string config =
            testing_support::readFile((testing_support::binaryDir() / "OstraService.cfg").string());
        const std::string list = "    protocols = (\n";
        size_t at = config.find(list);
        ASSERT_NE(at, std::string::npos) << "the shipped file has no protocols list";
        config.insert(at + list.size(),
                      "        { name = \"BARE\"; type = \"PBX\"; dll = \"tcpline" +
                          std::string(OSTRA_PLUGIN_SUFFIX) + "\"; port = " + std::to_string(port) +
                          "; databases = ( ); },\n");
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

}  // namespace
