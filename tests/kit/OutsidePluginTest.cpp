// A plug-in built outside the tree, from the installed kit only (by CMake's
// find_package and by the guide's plain compiler line), loaded by the real
// host: it uses CSync, reads its own keys and says its kind.
#include <gtest/gtest.h>

#include <filesystem>

#include "../bundled/LineClient.h"
#include "../entry/ExecutableFixture.h"

namespace {

class OutsidePluginTest : public ExecutableFixture {
protected:
    // A tcpline protocol on `port` whose one database is the outside plug-in
    // `file`, with its own keys.
    std::string protocol(const std::string& name, int port, const std::string& file,
                         const std::string& keys) const {
        std::string separator = std::string(OSTRA_PLUGIN_SUFFIX) == ".dll" ? "\\" : "/";
        return "{ name = \"" + name + "\"; type = \"PBX\"; dll = \"tcpline" + OSTRA_PLUGIN_SUFFIX +
               "\"; port = " + std::to_string(port) + "; databases = ( { dll = " +
               configString("outside" + separator + file + OSTRA_PLUGIN_SUFFIX) + "; " + keys +
               " } ); }";
    }
};

TEST_F(OutsidePluginTest, PluginsBuiltFromTheInstalledKitServeRecordsInTheRealHost) {
    namespace fs = std::filesystem;
    fs::copy(testing_support::binaryDir() / "outside", dir.path() / "outside");
    int cmakePort = freePort();
    int plainPort = freePort();
    ASSERT_NE(cmakePort, plainPort);
    writeConfig("wakeupwait = 1; control = { dll = \"testcontrol" +
                std::string(OSTRA_PLUGIN_SUFFIX) + "\"; }; protocols = ( " +
                protocol("CMAKE", cmakePort, "tally-cmake", "label = \"cmake\";") + ", " +
                protocol("PLAIN", plainPort, "tally-plain", "label = \"plain\"; limit = 1;") +
                " );");

    testing_support::ChildProcess host(executable(), {"console"}, dir.path().string());
    ASSERT_TRUE(host.started());
    ASSERT_TRUE(eventually([&] { return portAccepts(cmakePort) && portAccepts(plainPort); }))
        << host.output();

    EXPECT_EQ(LineClient(cmakePort).ask("CALLER=201"), "0;TALLY=cmake 1");
    EXPECT_EQ(LineClient(cmakePort).ask("CALLER=202"), "0;TALLY=cmake 2");
    EXPECT_EQ(LineClient(plainPort).ask("CALLER=203"), "0;TALLY=plain 1");
    EXPECT_EQ(LineClient(plainPort).ask("CALLER=204"), "1") << "its own \"limit\" was not read";

    host.writeInput("S");
    host.closeInput();
    std::optional<int> exitCode = host.wait(std::chrono::seconds(30));
    ASSERT_TRUE(exitCode.has_value()) << host.output();
    EXPECT_EQ(*exitCode, 0) << host.output();
}

TEST_F(OutsidePluginTest, CheckHoldsThePluginsKeysAgainstTheTableItDescribes) {
    namespace fs = std::filesystem;
    fs::copy(testing_support::binaryDir() / "outside", dir.path() / "outside");
    writeConfig("control = { dll = \"testcontrol" + std::string(OSTRA_PLUGIN_SUFFIX) +
                "\"; };\nprotocols = ( " +
                protocol("T", freePort(), "tally-cmake", "\n  lable = \"x\"; limit = -5;") + " );");
    Result result = run({"check"});
    EXPECT_EQ(result.exitCode, 1);
    const std::string at = configPath() + ":3: database 1 of protocol \"T\": ";
    EXPECT_EQ(result.output,
              at +
                  "unknown key \"lable\", ignored (the host and tally-cmake read dll, label, "
                  "limit)\n" +
                  at + "\"limit\" is -5; expected an integer from 0 to 2147483647\n" +
                  "2 problems found in " + configPath() + "\n");
}

TEST_F(OutsidePluginTest, APluginBuiltAgainstTheUnversionedLibrariesIsRefusedNotMisused) {
    // Its structures may be smaller than this host's: it must not load.
    if (std::string(OSTRA_PLUGIN_SUFFIX) != ".so") GTEST_SKIP() << "versions are in Linux names";
    namespace fs = std::filesystem;
    fs::copy(testing_support::binaryDir() / "outside", dir.path() / "outside");
    int port = freePort();
    writeConfig(
        "logs = ( { type = \"FILE\"; } ); control = { dll = \"testcontrol.so\"; }; "
        "protocols = ( " +
        protocol("OLD", port, "tally-unversioned", "") + " );");
    Result result = run({"console"}, "S");
    EXPECT_EQ(result.exitCode, 0);
    std::string log = testing_support::readFile(dir.file("OstraService.log"));
    EXPECT_NE(log.find("tally-unversioned.so (protokol OLD) nije u\xC4\x8Ditan: "),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("libostracommon.so: cannot open shared object file"), std::string::npos)
        << log;
}

}  // namespace
