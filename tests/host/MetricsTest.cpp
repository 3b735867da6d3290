// The METRICS request: what the host counts per protocol and database, read
// through the control interface as a control plug-in would.
#include <atomic>
#include <cstdlib>
#include <future>

#include "HostFixture.h"
#include "OstraService/KeptAnswer.h"
#include "plugin/HostMetrics.h"

class Metrics : public HostFixture {
protected:
    // Asks, and reads the answer as a control plug-in would.
    ostra_metrics::HostMetrics metrics() {
        Record request;
        request.set("CMD", "METRICS");
        host.handleControlRecord(&keeper, 7, &request);
        lastAnswer = keeper.answer;
        ostra_metrics::HostMetrics numbers;
        EXPECT_TRUE(numbers.read(lastAnswer));
        return numbers;
    }
    static std::string answers(const ostra_metrics::Count (&counts)[3]) {
        return std::to_string(counts[0]) + "," + std::to_string(counts[1]) + "," +
               std::to_string(counts[2]);
    }
    Record lastAnswer;
    KeptAnswer keeper;
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

    ostra_metrics::HostMetrics numbers = metrics();
    EXPECT_STREQ(lastAnswer.get("CMD"), "ANSWER");
    EXPECT_EQ(numbers.state, "STOPPED") << "b does not run, as STATUS would say";
    ASSERT_EQ(numbers.protocols.size(), 2u);
    const ostra_metrics::ProtocolMetrics* a = &numbers.protocols[0];
    EXPECT_EQ(a->name, "a");
    EXPECT_EQ(a->state, "RUNNING");
    EXPECT_EQ(a->records, 3u);
    EXPECT_EQ(answers(a->answers), "3,0,0");
    ASSERT_EQ(a->databases.size(), 2u);
    EXPECT_EQ(answers(a->databases[0].answers), "0,0,3");
    EXPECT_EQ(answers(a->databases[1].answers), "3,0,0");
    EXPECT_EQ(a->databases[1].name, a->databases[0].name + "#2");
    ostra_metrics::Count timed = 0;
    for (ostra_metrics::Count bucket : a->latency) timed += bucket;
    EXPECT_EQ(timed, 1u) << "a thread's first record is timed, then one in sixteen";
    EXPECT_EQ(a->latency.size(), numbers.latencyBounds.size() + 1);
    EXPECT_EQ(a->starts, 1u);
    EXPECT_EQ(a->failedStarts, 0u);

    const ostra_metrics::ProtocolMetrics& b = numbers.protocols[1];
    EXPECT_EQ(b.name, "b\"q");
    EXPECT_EQ(b.state, "FAILING");
    EXPECT_GE(b.failedStarts, 1u);
    EXPECT_EQ(b.failedStarts, b.starts);
    EXPECT_NE(b.lastFailure.find("nepoznatog tipa"), std::string::npos) << b.lastFailure;
    EXPECT_NE(b.lastFailure.find(", "), std::string::npos) << "a separator inside a text survives";
    EXPECT_GT(b.lastFailureTime, 1700000000);

    // A stop of one protocol, logged with who asked.
    Record stop;
    stop.set("CMD", "CONTROL_PROTOCOL");
    stop.set("TYPE", "STOP");
    stop.set("PROTOCOL", "a");
    stop.set("ORIGIN", "web console client 127.0.0.1:50000");
    EXPECT_EQ(request(stop), 0);
    EXPECT_TRUE(
        waitForLine("Control: STOP of protocol a, asked by web console client 127.0.0.1:50000"));
    numbers = metrics();
    EXPECT_EQ(numbers.protocols[0].state, "STOPPED");
    EXPECT_EQ(numbers.protocols[1].state, "FAILING") << "only the named protocol stops";
    EXPECT_EQ(numbers.protocols[0].records, 3u) << "counts outlive the plug-ins";
    EXPECT_GT(numbers.requests, 2u);
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
        KeptAnswer other;
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

    ostra_metrics::HostMetrics numbers = metrics();
    ASSERT_EQ(numbers.protocols.size(), 2u);
    for (size_t index = 0; index < 2; ++index) {
        const ostra_metrics::ProtocolMetrics& counted = numbers.protocols[index];
        std::string who = index == 0 ? "p" : "q";
        size_t sent = count(who, "eventResult");
        size_t stored = count(who + "db", "processRecord");
        size_t answered0 = 0;
        for (const auto& entry : TestJournal::callsOf(who, "eventResult"))
            if (entry.detail == "0") ++answered0;
        EXPECT_GT(sent, 100u);
        EXPECT_EQ(counted.records, sent) << who;
        EXPECT_EQ(answers(counted.answers),
                  std::to_string(answered0) + ",0," + std::to_string(sent - answered0))
            << who;
        EXPECT_EQ(stored, answered0) << who << ": every record answered 0 is a row";
        EXPECT_EQ(answers(counted.databases.at(0).answers), std::to_string(stored) + ",0,0") << who;
        EXPECT_EQ(counted.starts, 21u) << who;
    }
}

TEST_F(Metrics, AProtocolThatKeepsFailingIsReportedOnceNotOnEveryPass) {
    writeConfig(controlGroup() + " protocols = ( " + protocol("a", "pa") + ", " +
                protocol("b", "pb", "", "startResult = 1;") + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    // Retried a second after the first failure.
    ASSERT_TRUE(eventually([&] { return count("pbdb", "start") >= 2; }));
    size_t reported = 0;
    for (const auto& line : hostLines.lines())
        if (line.rfind("Protocol b is failing: ", 0) == 0) ++reported;
    EXPECT_EQ(reported, 1u);
    EXPECT_FALSE(hasLine("Protocol a is failing: not running"));
}
