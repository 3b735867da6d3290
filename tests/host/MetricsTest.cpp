// The METRICS request: what the host counts per protocol and database, read
// through the control interface as a control plug-in would.
#include <atomic>
#include <cstdlib>
#include <future>
#include <mutex>

#include "HostFixture.h"
#include "plugin/CControlPlugin.h"

namespace {

// A control plug-in's side of a request: keeps the last answer whole.
class AnswerKeeper : public CControlPlugin {
public:
    int processRecord(int, Record* record) override {
        std::lock_guard<std::mutex> guard(mutex_);
        answer_ = *record;
        return 0;
    }
    int processLog(Record*) override { return 0; }
    void setCallback(EventProc, void*) override {}
    int start(Setting&) override { return 0; }
    void stop() override {}
    Record answer() {
        std::lock_guard<std::mutex> guard(mutex_);
        return answer_;
    }

private:
    std::mutex mutex_;
    Record answer_;
};

}  // namespace

class Metrics : public HostFixture {
protected:
    Record metrics() {
        Record request;
        request.set("CMD", "METRICS");
        host.handleControlRecord(&keeper, 7, &request);
        return keeper.answer();
    }
    static unsigned long long number(const Record& answer, const std::string& key) {
        return std::strtoull(answer.get(key.c_str()), nullptr, 10);
    }
    AnswerKeeper keeper;
};

TEST_F(Metrics, CountRecordsAnswersStartsAndFailuresPerProtocolAndDatabase) {
    std::string twoDatabases =
        "{ name = \"a\"; id = \"pa\"; type = \"PBX\"; dll = " +
        configString(plugin("testprotocol")) +
        "; databases = ( { dll = " + configString(plugin("testdatabase")) +
        "; id = \"skip\"; answer = 3; }, { dll = " + configString(plugin("testdatabase")) +
        "; id = \"keep\"; answer = 0; } ); }";
    std::string unknownType = "{ name = \"b\\\"q\"; id = \"pb\"; type = \"FAX\"; dll = " +
                              configString(plugin("testprotocol")) + "; databases = (); }";
    writeConfig(controlGroup() + " protocols = ( " + twoDatabases + ", " + unknownType + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    for (int i = 0; i < 3; ++i) {
        Record record;
        record.set("N", std::to_string(i).c_str());
        EXPECT_EQ(TestJournal::find("pa")->raise(0, &record), 0);
    }

    Record answer = metrics();
    EXPECT_STREQ(answer.get("CMD"), "ANSWER");
    EXPECT_STREQ(answer.get("ANSWER"), "STOPPED") << "b does not run, as STATUS would say";
    EXPECT_STREQ(answer.get("PROTOCOLS"), "2");
    EXPECT_STREQ(answer.get("P1_NAME"), "a");
    EXPECT_STREQ(answer.get("P1_STATE"), "RUNNING");
    EXPECT_STREQ(answer.get("P1_RECORDS"), "3");
    EXPECT_STREQ(answer.get("P1_ANSWERS"), "3,0,0");
    EXPECT_STREQ(answer.get("P1_DATABASES"), "2");
    EXPECT_STREQ(answer.get("P1_D1_ANSWERS"), "0,0,3");
    EXPECT_STREQ(answer.get("P1_D2_ANSWERS"), "3,0,0");
    EXPECT_EQ(std::string(answer.get("P1_D2_NAME")), answer.get("P1_D1_NAME") + std::string("#2"));
    unsigned long long timed = 0;
    for (const char* at = answer.get("P1_LATENCY"); *at != '\0';) {
        char* end;
        timed += std::strtoull(at, &end, 10);
        at = *end == ',' ? end + 1 : end;
    }
    EXPECT_EQ(timed, 3u) << answer.get("P1_LATENCY");
    EXPECT_STREQ(answer.get("P1_STARTS"), "1");
    EXPECT_STREQ(answer.get("P1_FAILED_STARTS"), "0");

    EXPECT_STREQ(answer.get("P2_NAME"), "b\"q");
    EXPECT_STREQ(answer.get("P2_STATE"), "FAILING");
    EXPECT_GE(number(answer, "P2_FAILED_STARTS"), 1u);
    EXPECT_EQ(number(answer, "P2_FAILED_STARTS"), number(answer, "P2_STARTS"));
    EXPECT_NE(std::string(answer.get("P2_LAST_FAILURE")).find("nepoznatog tipa"), std::string::npos)
        << answer.get("P2_LAST_FAILURE");
    EXPECT_GT(number(answer, "P2_LAST_FAILURE_TIME"), 1700000000u);

    // A stop of one protocol, logged with who asked.
    Record stop;
    stop.set("CMD", "CONTROL");
    stop.set("TYPE", "STOP");
    stop.set("PROTOCOL", "a");
    stop.set("ORIGIN", "web console client 127.0.0.1:50000");
    EXPECT_EQ(request(stop), 0);
    EXPECT_TRUE(
        waitForLine("Control: STOP of protocol a, asked by web console client 127.0.0.1:50000"));
    answer = metrics();
    EXPECT_STREQ(answer.get("P1_STATE"), "STOPPED");
    EXPECT_STREQ(answer.get("P2_STATE"), "FAILING") << "only the named protocol stops";
    EXPECT_STREQ(answer.get("P1_RECORDS"), "3") << "counts outlive the plug-ins";
    EXPECT_GT(number(answer, "REQUESTS"), 2u);
}

TEST_F(Metrics, CountsStayExactWhileWorkersRelayThroughStopAndStartCycles) {
    writeConfig(controlGroup() + " protocols = ( " +
                protocol("busy", "p", "workerEvents = -1;", "answer = 0;") + ", " +
                protocol("busy2", "q", "workerEvents = -1;", "answer = 0;") + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    // Requests of another thread meanwhile, as a console would make them.
    std::atomic<bool> done{false};
    auto asking = std::async(std::launch::async, [&] {
        AnswerKeeper other;
        int asked = 0;
        while (!done.load()) {
            Record request;
            request.set("CMD", "METRICS");
            host.handleControlRecord(&other, 1, &request);
            ++asked;
        }
        return asked;
    });
    for (int cycle = 0; cycle < 20; ++cycle) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(request("CONTROL", "STOP"), 0);
        EXPECT_EQ(request("CONTROL", "START"), 0);
    }
    EXPECT_EQ(request("CONTROL", "STOP"), 0);
    done = true;
    EXPECT_GT(asking.get(), 0);

    Record answer = metrics();
    for (const char* who : {"p", "q"}) {
        std::string prefix = who == std::string("p") ? "P1_" : "P2_";
        size_t sent = count(who, "eventResult");
        size_t stored = count(std::string(who) + "db", "processRecord");
        size_t answered0 = 0;
        for (const auto& entry : TestJournal::callsOf(who, "eventResult"))
            if (entry.detail == "0") ++answered0;
        EXPECT_GT(sent, 100u);
        EXPECT_EQ(number(answer, prefix + "RECORDS"), sent) << who;
        EXPECT_EQ(std::string(answer.get((prefix + "ANSWERS").c_str())),
                  std::to_string(answered0) + ",0," + std::to_string(sent - answered0))
            << who;
        EXPECT_EQ(stored, answered0) << who << ": every record answered 0 is a row";
        EXPECT_EQ(std::string(answer.get((prefix + "D1_ANSWERS").c_str())),
                  std::to_string(stored) + ",0,0")
            << who;
        EXPECT_EQ(number(answer, prefix + "STARTS"), 21u) << who;
    }
}

TEST_F(Metrics, AProtocolThatKeepsFailingIsReportedOnceNotOnEveryPass) {
    writeConfig(controlGroup() + " protocols = ( " + protocol("a", "pa") + ", " +
                protocol("b", "pb", "", "startResult = 1;") + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // many passes, each failing
    EXPECT_GT(count("pbdb", "start"), 3u);
    size_t reported = 0;
    for (const auto& line : hostLines.lines())
        if (line.rfind("Protocol b is failing: ", 0) == 0) ++reported;
    EXPECT_EQ(reported, 1u);
    EXPECT_FALSE(hasLine("Protocol a is failing: not running"));
}
