// What plug-in objects say of themselves (PluginExtension.h): asked by the
// host's sampler, read from its cache by METRICS and `status`.
#include <chrono>

#include "HostFixture.h"
#include "OstraService/KeptAnswer.h"
#include "OstraService/StatusChannel.h"
#include "plugin/HostMetrics.h"

class PluginReports : public HostFixture {
protected:
    ostra_metrics::HostMetrics metrics() {
        Record request;
        request.set("CMD", "METRICS");
        host.handleControlRecord(&keeper, 7, &request);
        lastAnswer = keeper.answer;
        ostra_metrics::HostMetrics numbers;
        EXPECT_TRUE(numbers.read(lastAnswer));
        return numbers;
    }
    // A protocol whose databases are given as their elements' texts.
    static std::string protocolWith(const std::string& name, const std::string& databases) {
        return "{ name = " + configString(name) + "; id = " + configString(name) +
               "; type = \"PBX\"; dll = " + configString(plugin("testprotocol")) +
               "; databases = ( " + databases + " ); }";
    }
    static std::string reporting(const std::string& id, const std::string& keys) {
        return "{ dll = " + configString(plugin("reportingdatabase")) +
               "; id = " + configString(id) + "; " + keys + " }";
    }
    static std::string silent(const std::string& id) {
        return "{ dll = " + configString(plugin("testdatabase")) + "; id = " + configString(id) +
               "; }";
    }
    // The first database's report once it has answered.
    ostra_metrics::PluginReport answered(size_t protocol, size_t database) {
        ostra_metrics::PluginReport report;
        eventually([&] {
            ostra_metrics::HostMetrics numbers = metrics();
            if (numbers.protocols.size() <= protocol ||
                numbers.protocols[protocol].databases.size() <= database)
                return false;
            report = numbers.protocols[protocol].databases[database].report;
            return !report.state.empty() && report.state != "NOT_ANSWERING";
        });
        return report;
    }

    Record lastAnswer;
    KeptAnswer keeper;
};

TEST_F(PluginReports, StatesReasonsAndNumbersReachMetricsAndStatusAndSilentLibrariesSayNothing) {
    writeConfig(controlGroup() + " protocols = ( " +
                protocolWith("p", reporting("bad",
                                            "reportState = \"FAILING\"; reportReason = "
                                            "\"disk, gone; /x\"; reportQueue = 12;") +
                                      ", " + silent("quiet")) +
                ", " + protocolWith("q", reporting("fine", "")) + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));

    ostra_metrics::PluginReport bad = answered(0, 0);
    EXPECT_EQ(bad.state, "FAILING");
    EXPECT_EQ(bad.reason, "disk, gone; /x") << "separators inside a reason survive";
    ASSERT_EQ(bad.numbers.size(), 2u);
    EXPECT_EQ(bad.numbers[0].name, "test_queue_records");
    EXPECT_EQ(bad.numbers[0].value, 12);
    EXPECT_EQ(answered(1, 0).state, "OK");

    ostra_metrics::HostMetrics numbers = metrics();
    EXPECT_EQ(numbers.protocols[0].state, "RUNNING") << "a report does not change the state";
    EXPECT_EQ(numbers.protocols[0].databases[1].report.state, "")
        << "a library of the original interface says nothing";
    EXPECT_EQ(numbers.protocols[0].report.state, "") << "testprotocol does not report";
    bool described = false;
    for (const auto& help : numbers.numberHelp)
        if (help.name == "test_reports_total")
            described = help.counter && help.help == "Reports made.";
    EXPECT_TRUE(described);
    EXPECT_EQ(numbers.protocols[0].trouble(),
              numbers.protocols[0].databases[0].name + " is failing: disk, gone; /x");
    EXPECT_EQ(numbers.protocols[1].trouble(), "");

    StatusReply reply = statusReply(serviceName, false, lastAnswer);
    EXPECT_EQ(reply.exitCode, kStatusFailing);
    EXPECT_NE(reply.text.find("p: " + numbers.protocols[0].databases[0].name +
                              " is failing: disk, gone; /x\n"),
              std::string::npos)
        << reply.text;
}

TEST_F(PluginReports, AReportThatHangsIsShownNotAnsweringHoldsUpNoOtherAndEndsBeforeItsStop) {
    writeConfig(controlGroup() + " protocols = ( " +
                protocolWith("slow", reporting("hangs", "reportHangMs = 4000;")) + ", " +
                protocolWith("quick", reporting("answers", "reportQueue = 1;")) + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    ASSERT_TRUE(eventually([&] { return count("hangs", "report") > 0; }));

    // METRICS does not wait for it; past the deadline it shows as not answering.
    auto asked = std::chrono::steady_clock::now();
    ostra_metrics::HostMetrics numbers = metrics();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(500));
    EXPECT_TRUE(eventually(
        [&] { return metrics().protocols[0].databases[0].report.state == "NOT_ANSWERING"; },
        std::chrono::seconds(4)));
    // Meanwhile the other object goes on being asked.
    size_t before = count("answers", "report");
    EXPECT_TRUE(eventually([&] { return count("answers", "report") >= before + 2; },
                           std::chrono::seconds(4)));
    EXPECT_EQ(statusReply(serviceName, false, lastAnswer).exitCode, kStatusFailing);

    // A stop waits for the report on its object; none runs after the stop.
    Record stop;
    stop.set("CMD", "CONTROL_PROTOCOL");
    stop.set("TYPE", "STOP");
    stop.set("PROTOCOL", "slow");
    request(stop);
    std::vector<JournalEntry> calls = TestJournal::entriesOf("hangs");
    bool stopped = false;
    for (const JournalEntry& call : calls) {
        if (call.call == "stop") stopped = true;
        if (call.call == "start") stopped = false;
        EXPECT_FALSE(stopped && call.call == "report") << "a report on a stopped object";
    }
}

TEST_F(PluginReports, NoReportRunsOnAnObjectBeingStoppedWhileProtocolsStopAndStart) {
    writeConfig(controlGroup() + " protocols = ( " +
                protocolWith("churn", reporting("churning", "reportHangMs = 300;")) + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    auto command = [&](const char* type) {
        Record record;
        record.set("CMD", "CONTROL");
        record.set("TYPE", type);
        request(record);
    };
    // Each stop is asked while a report runs on the object it stops.
    for (int cycle = 0; cycle < 3; ++cycle) {
        const size_t before = count("churning", "report");
        ASSERT_TRUE(eventually([&] { return count("churning", "report") > before; }));
        command("STOP");
        metrics();
        command("START");
    }
    stopServing();
    size_t reports = 0;
    bool stopped = true;  // before its first start
    bool reporting = false;
    for (const JournalEntry& call : TestJournal::entriesOf("churning")) {
        if (call.call == "stop") {
            EXPECT_FALSE(reporting) << "stopped while a report ran on it";
            stopped = true;
        }
        if (call.call == "start") stopped = false;
        if (call.call == "reported") reporting = false;
        if (call.call != "report") continue;
        ++reports;
        reporting = true;
        EXPECT_FALSE(stopped) << "a report on an object not started or stopped";
    }
    EXPECT_GE(reports, 3u);
}

TEST_F(PluginReports, AProtocolWhoseDatabaseLibraryDidNotLoadIsDegradedFromTheFirstPass) {
    writeConfig(controlGroup() + " protocols = ( " +
                protocolWith("half", "{ dll = \"no-such-database-library\"; }, " + silent("kept")) +
                " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    ASSERT_TRUE(waitForLine(
        "Protocol half runs DEGRADED: its database library no-such-database-library did not load"));
    ostra_metrics::HostMetrics numbers = metrics();
    ASSERT_EQ(numbers.protocols.size(), 1u);
    EXPECT_EQ(numbers.protocols[0].state, "DEGRADED");
    ASSERT_EQ(numbers.protocols[0].databases.size(), 2u);
    EXPECT_EQ(numbers.protocols[0].databases[0].report.state, "NOT_LOADED");
    EXPECT_EQ(numbers.protocols[0].databases[1].report.state, "");
    EXPECT_EQ(request("STATUS"), 0);
    EXPECT_EQ(metrics().protocols[0].state, "DEGRADED") << "STATUS's isRunning keeps it DEGRADED";
    StatusReply reply = statusReply(serviceName, false, lastAnswer);
    EXPECT_EQ(reply.exitCode, kStatusFailing);
    EXPECT_NE(reply.text.find("half: its library no-such-database-library did not load"),
              std::string::npos)
        << reply.text;
}
