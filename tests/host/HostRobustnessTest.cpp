// What a careless or hostile control plug-in can do to the host: requests
// from inside processLog, requests racing each other for the host lock,
// requests during the stop sequence.
#include <algorithm>
#include <atomic>
#include <future>

#include "HostFixture.h"

using Lines = std::vector<std::string>;

namespace {
const std::string kBusy = "workerEvents = -1; quietEvents = true;";
}

class HostRobustness : public HostFixture {
protected:
    // Stops the host on another thread; false when it had not stopped
    // within `limit` (a deadlock).
    bool stopsWithin(std::chrono::seconds limit) {
        auto stopped = std::async(std::launch::async, [this] { stopServing(); });
        bool finished = stopped.wait_for(limit) == std::future_status::ready;
        if (!finished) ADD_FAILURE() << "the stop did not finish; the process would hang";
        return finished;
    }
};

TEST_F(HostRobustness, RequestsRaisedFromInsideProcessLogNeitherDeadlockNorHoldUpTheStop) {
    writeConfig(
        controlGroup(
            "quietLogs = true; logRequests = \"STATUS,CONTROL:STOP,STATUS,CONTROL:START\";") +
        " protocols = ( " + protocol("a", "p1", kBusy, kBusy) + ", " +
        protocol("b", "p2", kBusy, kBusy) + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    for (int cycle = 0; cycle < 200; ++cycle) {
        request("CONTROL", "STOP");
        request("CONTROL", "START");
    }
    EXPECT_TRUE(eventually([&] { return answers().size() > 10; }))
        << "STATUS raised from processLog is answered by the run loop";
    auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(stopsWithin(std::chrono::seconds(30)));
    RecordProperty("stopMilliseconds",
                   static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - began)
                                        .count()));
    for (const char* who : {"ctl", "p1", "p2"})
        EXPECT_EQ(count(who, "destroy"), count(who, "create")) << who;
    EXPECT_EQ(TestJournal::callsOf("p1", "badEventResult").size(), 0u);
}

TEST_F(HostRobustness,
       ARequestFromInsideAnAnswerIsServedInPlaceUpToFourDeepThenDeferredNotRecursed) {
    // The control plug-in asks for STATUS again from inside every answer.
    // Nested requests keep their thread up to a small depth; deeper ones
    // wait for the run loop (served in place, they would recurse until the
    // stack ran out).
    writeConfig(
        controlGroup("quietLogs = true; logRequests = \"STATUS\"; requestOnAnswer = true;") +
        " protocols = ( " + protocol("a", "p1") + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    request("STATUS");
    // The depths on the requesting thread: 1, 2, 3, 4; the fifth request is
    // deferred and answered on the run loop's thread, at depth 1 again.
    std::vector<std::string> depths;
    for (const auto& e : TestJournal::callsOf("ctl", "answerDepth")) depths.push_back(e.detail);
    ASSERT_GE(depths.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(depths.begin(), depths.begin() + 4),
              (std::vector<std::string>{"1", "2", "3", "4"}))
        << "the nested requests were deferred";
    EXPECT_EQ(std::count(depths.begin(), depths.end(), "5"), 0) << "nested deeper than four";
    EXPECT_TRUE(eventually([&] { return answers().size() > 4; })) << "the deferred one was lost";
    ASSERT_TRUE(stopsWithin(std::chrono::seconds(30)));
}

TEST_F(HostRobustness, AStatusWaitsOnlyForTheControlRequestInProgressNotForEveryOneAfterIt) {
    // Each stop takes 10 ms, far longer than a waiter needs to wake up: a
    // waiter that is passed over loses whole cycles.
    writeConfig(controlGroup() + " protocols = ( " + protocol("a", "p1", "", "stopDelayMs = 10;") +
                " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));

    std::atomic<int> cycles{0};
    std::atomic<bool> cycling{true};
    std::thread switcher([&] {
        while (cycling.load() && cycles.load() < 400) {
            Record stop, start;
            stop.set("CMD", "CONTROL");
            stop.set("TYPE", "STOP");
            start.set("CMD", "CONTROL");
            start.set("TYPE", "START");
            CServiceHost::controlEventProc(&host, nullptr, 0, &stop);
            CServiceHost::controlEventProc(&host, nullptr, 0, &start);
            cycles.fetch_add(1);
        }
    });
    ASSERT_TRUE(eventually([&] { return cycles.load() >= 5; }));
    // Raised on this thread, so that no thread start is counted as waiting.
    TestPluginHandle* control = TestJournal::find("ctl");
    ASSERT_NE(control, nullptr);
    int worst = 0;
    for (int i = 0; i < 20; ++i) {
        Record status;
        status.set("CMD", "STATUS");
        int before = cycles.load();
        control->raise(0, &status);
        worst = std::max(worst, cycles.load() - before);
    }
    cycling.store(false);
    switcher.join();
    EXPECT_EQ(answers().size(), 20u);
    // In turn, a STATUS waits for the cycle in progress and perhaps the
    // next request that was already waiting: a handful of cycles at most.
    EXPECT_LE(worst, 3) << "a STATUS waited while the other thread took the lock again and again";
}

TEST_F(HostRobustness, DuringTheStopSequenceStatusIsAnsweredStoppedAtOnceAndControlIsIgnored) {
    writeConfig(controlGroup() + " protocols = ( " +
                protocol("a", "p1", "", "stopDelayMs = 1500;") + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    auto stopped = std::async(std::launch::async, [this] { stopServing(); });
    ASSERT_TRUE(eventually([&] { return count("p1db", "stop") == 1; }));

    EXPECT_EQ(request("STATUS", nullptr, 9), 0);
    EXPECT_EQ(answers(), Lines{"tag=9 CMD=ANSWER,ANSWER=STOPPED"})
        << "answered while the database still stops";
    EXPECT_EQ(request("CONTROL", "START"), 0);
    EXPECT_EQ(count("p1", "create"), 1u)
        << "a CONTROL START during the stop sequence started a protocol";
    EXPECT_EQ(count("p1db", "destroy"), 0u) << "the window had already passed";
    stopped.wait();
}
