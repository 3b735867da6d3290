#include <atomic>
#include <future>

#include "HostFixture.h"

using Lines = std::vector<std::string>;

class ControlRequests : public HostFixture {
protected:
    void serveThreeProtocolsWithTheSecondNotRunning() {
        writeConfig(controlGroup() + " protocols = ( " + protocol("a", "p1") + ", " +
                    protocol("b", "p2", "running = false;") + ", " + protocol("c", "p3") + " );");
        startServing();
        ASSERT_TRUE(waitForLine("Service started"));
    }
};

TEST_F(ControlRequests, StatusAsksEveryProtocolAndAnswersTheSenderWithItsTagAndKeys) {
    serveThreeProtocolsWithTheSecondNotRunning();
    TestJournal::clear();
    Record status;
    status.set("CMD", "status");
    status.set("REQUEST", "17");
    EXPECT_EQ(request(status, 12), 0);
    EXPECT_EQ(answers(), Lines{"tag=12 CMD=ANSWER,REQUEST=17,ANSWER=STOPPED"});
    for (const char* who : {"p1", "p2", "p3"}) EXPECT_EQ(count(who, "isRunning"), 1u) << who;
    EXPECT_STREQ(status.get("CMD"), "status") << "the request itself is left as it was";
}

TEST_F(ControlRequests, ControlStopKeepsProtocolsStoppedThroughPassesUntilControlStart) {
    writeConfig(controlGroup() + " protocols = ( " + protocol("a", "p1") + ", " +
                protocol("b", "p2") + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));

    EXPECT_EQ(request("Control", "sToP"), 0);
    EXPECT_EQ(count("p1", "destroy"), 1u);
    EXPECT_EQ(count("p2db", "destroy"), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // many wake-up passes
    EXPECT_EQ(count("p1", "create"), 1u) << "a pass re-created a protocol stopped by command";
    request("STATUS");
    EXPECT_EQ(answers().back(), "tag=0 CMD=ANSWER,ANSWER=STOPPED");

    EXPECT_EQ(request("CONTROL", "Start"), 0);
    EXPECT_EQ(count("p1", "create"), 2u);
    EXPECT_EQ(count("p2db", "start"), 2u);
    request("STATUS");
    EXPECT_EQ(answers().back(), "tag=0 CMD=ANSWER,ANSWER=STARTED");
    EXPECT_EQ(answers().size(), 2u) << "CONTROL requests get no answer";
}

TEST_F(ControlRequests, ControlWithAPluginsOwnProtocolKeyStillActsOnEveryProtocol) {
    // A plug-in written to the original interface may carry any key of its
    // own; "PROTOCOL" (here its protocol version) must change nothing.
    writeConfig(controlGroup() + " protocols = ( " + protocol("a", "p1") + ", " +
                protocol("b", "p2") + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    Record stop;
    stop.set("CMD", "CONTROL");
    stop.set("TYPE", "STOP");
    stop.set("PROTOCOL", "2.1");
    EXPECT_EQ(request(stop), 0);
    for (const char* who : {"p1", "p1db", "p2", "p2db"})
        EXPECT_EQ(count(who, "destroy"), 1u) << who << " was not stopped";
    EXPECT_TRUE(hasLine("Control: STOP of every protocol, asked by the control plug-in"));

    Record start = stop;
    start.set("TYPE", "START");
    start.set("PROTOCOL", "a");
    EXPECT_EQ(request(start), 0);
    EXPECT_EQ(count("p1", "start"), 2u);
    EXPECT_EQ(count("p2", "start"), 2u);
    request("STATUS");
    EXPECT_EQ(answers().back(), "tag=0 CMD=ANSWER,ANSWER=STARTED");
}

TEST_F(ControlRequests, ControlProtocolActsOnTheNamedProtocolOnly) {
    writeConfig(controlGroup() + " protocols = ( " + protocol("a", "p1") + ", " +
                protocol("b", "p2") + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    Record stop;
    stop.set("CMD", "control_protocol");
    stop.set("TYPE", "STOP");
    stop.set("PROTOCOL", "b");
    EXPECT_EQ(request(stop), 0);
    EXPECT_EQ(count("p1", "destroy"), 0u);
    EXPECT_EQ(count("p2", "destroy"), 1u);
    EXPECT_TRUE(hasLine("Control: STOP of protocol b, asked by the control plug-in"));

    stop.set("PROTOCOL", "x");
    EXPECT_EQ(request(stop), 0);
    Record unnamed;
    unnamed.set("CMD", "CONTROL_PROTOCOL");
    unnamed.set("TYPE", "STOP");
    EXPECT_EQ(request(unnamed), 0);
    EXPECT_EQ(count("p1", "destroy"), 0u) << "an unknown or missing name stopped another";
    EXPECT_TRUE(
        hasLine("Control: STOP of protocol x (no such protocol), asked by the control "
                "plug-in"));

    Record start = stop;
    start.set("TYPE", "START");
    start.set("PROTOCOL", "b");
    EXPECT_EQ(request(start), 0);
    EXPECT_EQ(count("p2", "start"), 2u);
    EXPECT_EQ(count("p1", "start"), 1u);
    EXPECT_TRUE(answers().empty()) << "no answer to either";
}

TEST_F(ControlRequests, UnknownCommandsAndTypesChangeNothingAndGetNoAnswer) {
    serveThreeProtocolsWithTheSecondNotRunning();
    size_t before = TestJournal::entries().size();
    EXPECT_EQ(request("RESTART"), 0);
    EXPECT_EQ(request("CONTROL", "PAUSE"), 0);
    EXPECT_EQ(request("CONTROL"), 0);
    Record empty;
    EXPECT_EQ(request(empty), 0);
    EXPECT_TRUE(answers().empty());
    auto after = TestJournal::entries();
    for (size_t i = before; i < after.size(); ++i)
        EXPECT_TRUE(after[i].call == "isRunning" || after[i].call == "processLog") << after[i].call;
    EXPECT_EQ(count("p1", "stop"), 0u);
}

TEST_F(ControlRequests, ARequestFromInsideTheControlPluginsStartSeesNoProtocolsYet) {
    writeConfig(controlGroup("request = \"STATUS\"; raiseOnStart = 1; eventTag = 5;") +
                " protocols = ( " + protocol("b", "p2", "running = false;") + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    EXPECT_EQ(answers(), Lines{"tag=5 CMD=ANSWER,FROM=ctl,SEQ=0,ANSWER=STARTED"});
}

TEST_F(ControlRequests, EveryLogLineReachesTheControlPluginQuotedUntilTheStopSequence) {
    writeConfig(controlGroup() + " protocols = ( " +
                protocol("a", "p1", "", "logOnRecord = \"database says hello\";") + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    Record record;
    ASSERT_NE(TestJournal::find("p1"), nullptr);
    EXPECT_EQ(TestJournal::find("p1")->raise(0, &record), 0);

    auto logLines = [&] {
        Lines lines;
        for (const auto& e : TestJournal::callsOf("ctl", "processLog")) lines.push_back(e.detail);
        return lines;
    };
    // The control plug-in's stream comes after the fixture's among the
    // host log's streams: a line may reach it a moment later.
    auto hasLogLine = [&](const std::string& line) {
        Lines lines = logLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(eventually([&] { return hasLogLine("CMD_LOG \"Service started\""); }));
    Lines seen = logLines();
    EXPECT_NE(std::find(seen.begin(), seen.end(), "CMD_LOG \"database says hello\""), seen.end());
    EXPECT_NE(std::find(seen.begin(), seen.end(), "CMD_LOG \"ProtocolApp protocolEventProc WAIT\""),
              seen.end());

    stopServing();
    size_t delivered = logLines().size();
    host.getLog(nullptr)->log(LOG_LEVEL_INFO, "OstraService", __LINE__, "after the stop");
    EXPECT_TRUE(hasLine("after the stop"));
    EXPECT_EQ(logLines().size(), delivered) << "a line after the stop sequence reached the plug-in";
}

TEST_F(ControlRequests,
       RequestsAndLogLinesFromManyThreadsDuringTheStopSequenceNeitherDeadlockNorCrash) {
    // The control plug-in's worker asks for STATUS without pause; protocol
    // and database workers relay without pause, every relay writing trace
    // lines that go to the control plug-in. Then the host stops, and the
    // control plug-in's stop() joins its worker.
    std::string busy = "workerEvents = -1; quietEvents = true;";
    writeConfig(controlGroup("request = \"STATUS\"; quietLogs = true; " + busy) +
                " protocols = ( " + protocol("a", "p1", busy, busy) + ", " +
                protocol("b", "p2", busy, busy) + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    ASSERT_TRUE(eventually([&] { return answers().size() > 20; }));

    std::atomic<bool> requesting{true};
    std::vector<std::thread> extra;
    for (int i = 0; i < 3; ++i) {
        extra.emplace_back([&, i] {
            while (requesting.load()) {
                Record r;
                r.set("CMD", i % 2 ? "CONTROL" : "STATUS");
                r.set("TYPE", "START");
                CServiceHost::controlEventProc(&host, nullptr, i, &r);
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto stopped = std::async(std::launch::async, [this] { stopServing(); });
    bool finished = stopped.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    requesting.store(false);
    for (auto& t : extra) t.join();
    ASSERT_TRUE(finished) << "the stop sequence deadlocked";
    for (const char* who : {"ctl", "p1", "p1db", "p2", "p2db"})
        EXPECT_EQ(count(who, "destroy"), 1u) << who;
    EXPECT_EQ(TestJournal::callsOf("ctl", "badEventResult").size(), 0u);
}
