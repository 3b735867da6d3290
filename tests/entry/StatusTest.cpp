// The status verb against a real running host, on both platforms.
#include <sstream>

#include "../bundled/LineClient.h"
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

namespace {

// The answer to GET `path` on the console at `port`: the status line, a
// blank line, then the body.
std::string httpGet(int port, const std::string& path) {
    LineClient web(port);
    if (!web.send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"))
        return "<send failed>";
    return web.readToEnd(10000);
}

}  // namespace

TEST_F(Status, ADatabaseLibraryThatDidNotLoadMakesItsProtocolDegradedFromTheStart) {
    const int webPort = freePort();
    writeConfig("wakeupwait = 1; logs = ( { type = \"FILE\"; } ); control = { dll = \"webcontrol" +
                suffix + "\"; port = " + std::to_string(webPort) +
                "; }; protocols = ( { name = \"half\"; type = \"PBX\"; dll = \"testprotocol" +
                suffix + "\"; databases = ( { dll = \"nosuchdatabase" + suffix +
                "\"; }, { dll = \"testdatabase" + suffix + "\"; } ); } );");
    const std::string log = dir.file("OstraService.log");
    testing_support::ChildProcess host(executable(), {"console"}, dir.path().string());
    ASSERT_TRUE(eventually([&] { return portAccepts(webPort); })) << host.output();

    Result result = statusOnceItSays(1);
    ASSERT_EQ(result.exitCode, 1) << result.output;
    std::vector<std::string> row = rowOf(result.output, "half");
    ASSERT_GE(row.size(), 2u) << result.output;
    EXPECT_EQ(row[1], "DEGRADED") << "never RUNNING: " << result.output;
    EXPECT_NE(result.output.find("half: its library nosuchdatabase" + suffix + " did not load\n"),
              std::string::npos)
        << result.output;
    // The required line as it always was, then a plain one naming the library.
    // Written by the app, whose lines carry its own source: looked for whole.
    auto logged = [&](const std::string& text) {
        return eventually(
            [&] { return testing_support::readFile(log).find(" " + text) != std::string::npos; });
    };
    EXPECT_TRUE(logged("Nije uspjelo kreiranje pristupa bazi: half:testprotocol" + suffix +
                       ", za protokol: half"));
    EXPECT_TRUE(logged("Protocol half runs DEGRADED: its database library nosuchdatabase" + suffix +
                       " did not load"));

    const std::string health = httpGet(webPort, "/healthz");
    EXPECT_EQ(health.substr(0, 12), "HTTP/1.1 503") << health;
    // The library of the original interface runs as before and says nothing.
    const std::string numbers = httpGet(webPort, "/api/metrics");
    EXPECT_NE(numbers.find("{\"name\":\"nosuchdatabase" + suffix +
                           "\",\"state\":\"NOT_LOADED\",\"reason\":\"\"},{\"name\":\"testdatabase" +
                           suffix + "\",\"state\":\"\",\"reason\":\"\"}"),
              std::string::npos)
        << numbers;
    const std::string exposition = httpGet(webPort, "/metrics");
    EXPECT_NE(
        exposition.find("ostraservice_protocol_state{protocol=\"half\",state=\"degraded\"} 1"),
        std::string::npos)
        << exposition;
    EXPECT_NE(
        exposition.find("ostraservice_database_up{protocol=\"half\",database=\"nosuchdatabase" +
                        suffix + "\"} 0"),
        std::string::npos)
        << exposition;
    host.writeInput("S");
    EXPECT_EQ(host.wait(std::chrono::seconds(30)), 0);
}
