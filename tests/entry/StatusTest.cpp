// The status verb against a real running host, on both platforms.
#include <sstream>

#include "ExecutableFixture.h"

namespace {

// The row of the protocol `name` in a status report, as its cells ("" when absent).
std::vector<std::string> rowOf(const std::string& report, const std::string& name) {
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream cells(line);
        std::vector<std::string> row;
        for (std::string cell; cells >> cell;) row.push_back(cell);
        if (!row.empty() && row[0] == name) return row;
    }
    return {};
}

}  // namespace

class Status : public ExecutableFixture {
protected:
    std::string suffix = OSTRA_PLUGIN_SUFFIX;
    // One more protocol whose type nobody knows: it fails on every pass.
    std::string failing = "{ name = \"broken\"; type = \"NOSUCHTYPE\"; dll = \"testprotocol" +
                          suffix + "\"; databases = ( ); }";
    // Runs `status` until it ends with `code` (a pass must first have tried
    // the protocols), or twenty seconds pass.
    Result statusOnceItSays(int code) {
        Result result;
        eventually([&] {
            result = run({"status"});
            return result.exitCode == code;
        });
        return result;
    }
};

TEST_F(Status, ARunningHostsProtocolsAreListedAndTheExitCodeSaysWhetherOneFails) {
    std::string config = basics();
    config.insert(config.rfind(')'), ", " + failing + " ");
    writeConfig("logs = ( { type = \"FILE\"; } ); " + config);
    {
        testing_support::ChildProcess host(executable(), {"console"}, dir.path().string());
        Result result = statusOnceItSays(1);
        ASSERT_EQ(result.exitCode, 1) << result.output;
        EXPECT_NE(result.output.find("OstraService: running"), std::string::npos) << result.output;
        std::vector<std::string> running = rowOf(result.output, "p1");
        std::vector<std::string> broken = rowOf(result.output, "broken");
        ASSERT_GE(running.size(), 2u) << result.output;
        ASSERT_GE(broken.size(), 2u) << result.output;
        EXPECT_EQ(running[1], "RUNNING");
        EXPECT_EQ(broken[1], "FAILING");
        EXPECT_NE(result.output.find("nepoznatog tipa"), std::string::npos)
            << "the last failure's reason: " << result.output;
        host.writeInput("S");
        EXPECT_EQ(host.wait(std::chrono::seconds(30)), 0);
    }

    writeConfig("logs = ( { type = \"FILE\"; } ); " + basics());
    {
        testing_support::ChildProcess host(executable(), {"console"}, dir.path().string());
        Result result = statusOnceItSays(0);
        EXPECT_EQ(result.exitCode, 0) << result.output;
        EXPECT_EQ(rowOf(result.output, "broken"), std::vector<std::string>{});
        host.writeInput("S");
        EXPECT_EQ(host.wait(std::chrono::seconds(30)), 0);
    }

    Result none = run({"status"});
    EXPECT_EQ(none.exitCode, 3);
    EXPECT_EQ(none.output.rfind("OstraService: not running", 0), 0u) << none.output;
}
