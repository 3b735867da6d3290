#include <future>

#include "AppFixture.h"
#include "common/Record.h"

namespace {

// A protocol "p" whose database plug-ins answer as `answers` say (ids db1,
// db2, ...). `protocolKeys` go into the protocol's own group.
std::string relayEntry(const std::vector<int>& answers, const std::string& protocolKeys = "") {
    std::string databases;
    for (size_t i = 0; i < answers.size(); ++i) {
        if (i > 0) databases += ", ";
        databases += "{ dll = " + configString(testing_support::pluginFile("testdatabase")) +
                     "; id = \"db" + std::to_string(i + 1) +
                     "\"; answer = " + std::to_string(answers[i]) + "; }";
    }
    return "{ name = \"p1\"; id = \"p\"; type = \"PBX\"; dll = " +
           configString(testing_support::pluginFile("testprotocol")) + "; " + protocolKeys +
           " databases = ( " + databases + " ); }";
}

using Lines = std::vector<std::string>;

const std::string kWait = "ProtocolApp protocolEventProc WAIT";
const std::string kStart = "ProtocolApp protocolEventProc START";
const std::string kCall = "ProtocolApp protocolEventProc call db->processRecord";
const std::string kReturn = "ProtocolApp protocolEventProc return from  db->processRecord";

}  // namespace

class RecordRelay : public AppFixture {
protected:
    // Raises a record from plug-in `who` with `tag`; returns the relay's answer.
    int raiseFrom(const std::string& who, int tag, Record& record) {
        TestPluginHandle* plugin = TestJournal::find(who);
        EXPECT_NE(plugin, nullptr) << who;
        hostLines.clear();
        return plugin ? plugin->raise(tag, &record) : -1;
    }
    int raiseFrom(const std::string& who, int tag = 0) {
        Record record;
        return raiseFrom(who, tag, record);
    }
};

TEST_F(RecordRelay, OfferGoesOnPastNotSupportedToTheAnsweringDatabaseWithItsTraceLines) {
    makeApp(relayEntry({3, 0}));
    EXPECT_EQ(raiseFrom("p"), 0);
    EXPECT_EQ(hostLines.lines(), (Lines{kWait, kStart, kCall, kReturn, kCall, kReturn}));
}

TEST_F(RecordRelay, TheFirstAnswerOfZeroOrOneEndsTheOffer) {
    makeApp(relayEntry({3, 1, 0}));
    EXPECT_EQ(raiseFrom("p"), 1);
    EXPECT_EQ(count("db1", "processRecord"), 1u);
    EXPECT_EQ(count("db2", "processRecord"), 1u);
    EXPECT_EQ(count("db3", "processRecord"), 0u) << "the third is never asked";
}

TEST_F(RecordRelay, AnyOtherAnswerOfADatabasePassesTheRecordOn) {
    makeApp(relayEntry({2, -1, 0}));
    EXPECT_EQ(raiseFrom("p"), 0);
    makeApp(relayEntry({2, -1}));
    EXPECT_EQ(raiseFrom("p"), 3) << "nobody answered 0 or 1";
}

TEST_F(RecordRelay, WithoutDatabasesTheProtocolGetsThreeAfterOnlyWaitAndStart) {
    makeApp(relayEntry({}));
    EXPECT_EQ(raiseFrom("p"), 3);
    EXPECT_EQ(hostLines.lines(), (Lines{kWait, kStart}));
}

TEST_F(RecordRelay, TheTagArrivesUnchangedAndEveryReceiverWorksOnTheSendersRecord) {
    makeApp(relayEntry({3, 3, 0}));
    Record record;
    record.set("CARD", "1234");
    EXPECT_EQ(raiseFrom("p", 7, record), 0);
    EXPECT_EQ(TestJournal::callsOf("db1", "processRecord")[0].detail, "tag=7 CARD=1234");
    EXPECT_EQ(TestJournal::callsOf("db2", "processRecord")[0].detail, "tag=7 CARD=1234,TRAIL=db1;");
    EXPECT_EQ(TestJournal::callsOf("db3", "processRecord")[0].detail,
              "tag=7 CARD=1234,TRAIL=db1;db2;");
    EXPECT_STREQ(record.get("TRAIL"), "db1;db2;db3;")
        << "the sender sees what the receivers changed";
}

TEST_F(RecordRelay, ADatabaseRecordGoesToTheProtocolAndItsAnswerIsMapped) {
    const std::pair<int, int> answers[] = {{0, 0}, {1, 1}, {3, 3}, {2, 1}, {-1, 1}};
    for (const auto& [protocolAnswer, expected] : answers) {
        makeApp(relayEntry({0}, "answer = " + std::to_string(protocolAnswer) + ";"));
        Record record;
        EXPECT_EQ(raiseFrom("db1", 12, record), expected) << protocolAnswer;
        EXPECT_EQ(hostLines.lines(), (Lines{"ProtocolApp databaseEventProc WAIT",
                                            "ProtocolApp databaseEventProc START",
                                            "ProtocolApp return from protocol->processrecord"}));
        EXPECT_EQ(TestJournal::callsOf("p", "processRecord").back().detail, "tag=12 ");
        EXPECT_STREQ(record.get("TRAIL"), "p;");
    }
}

TEST_F(RecordRelay, ADatabaseEventWithoutAProtocolIsNotSupported) {
    CProtocolApp empty;
    empty.init(hostLog, entry("{ name = \"x\"; type = \"PBX\"; dll = \"none\"; databases = (); }"));
    hostLines.clear();
    Record record;
    EXPECT_EQ(CProtocolApp::databaseEventProc(&empty, nullptr, 1, &record), 3);
    EXPECT_EQ(hostLines.lines(),
              (Lines{"ProtocolApp databaseEventProc WAIT", "ProtocolApp databaseEventProc START",
                     "ProtocolApp databaseEventProc NOt SUPPORTED"}));
}

TEST_F(RecordRelay, AnEventRaisedInsideTheProtocolsStartFindsNoDatabasesYet) {
    makeApp(relayEntry({0}, "raiseOnStart = 1;"));
    ASSERT_EQ(count("p", "startEventResult"), 1u);
    EXPECT_EQ(TestJournal::callsOf("p", "startEventResult")[0].detail, "3");
    EXPECT_EQ(raiseFrom("p"), 0) << "once set up, the database answers";
}

TEST_F(RecordRelay, TraceLinesAreDebugLinesWrittenOnlyWhenTheHostRunsAtDebug) {
    hostLog.setLevel(LOG_LEVEL_INFO);
    makeApp(relayEntry({0}));
    hostLines.clear();
    EXPECT_EQ(raiseFrom("p"), 0);
    EXPECT_TRUE(hostLines.lines().empty()) << "every start set the app's own log to DEBUG";

    hostLog.setLevel(LOG_LEVEL_DEBUG);
    makeApp(relayEntry({0}));
    hostLines.clear();
    EXPECT_EQ(raiseFrom("p"), 0);
    EXPECT_EQ(hostLines.lines().size(), 4u);
}

TEST_F(RecordRelay, ADatabasesAnswerStandsWhenATeardownBeganWhileItWorked) {
    // db1 takes the record, but slowly; the app is stopped meanwhile. The
    // record is stored: telling the sender 3 would make it send it again.
    std::string protocols = relayEntry({0, 0});
    protocols.replace(protocols.find("answer = 0;"), 11, "answer = 0; processDelayMs = 300;");
    makeApp(protocols);
    std::future<int> relayed = std::async(std::launch::async, [&] { return raiseFrom("p"); });
    ASSERT_TRUE(eventually([&] { return count("db1", "processRecord") == 1; }));
    app->stop();
    EXPECT_EQ(relayed.get(), 0);
    EXPECT_EQ(count("db2", "processRecord"), 0u);
}
