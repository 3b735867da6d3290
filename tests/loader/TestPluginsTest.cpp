// The scriptable test plug-ins drive every later host test, so their own
// behaviour is pinned down here through the real loading path.
#include <gtest/gtest.h>

#include <chrono>
#include <libconfig.h++>
#include <thread>

#include "TestJournal.h"
#include "TestSupport.h"
#include "common/Record.h"
#include "common/log/CLog.h"
#include "loader/loadPlugin.h"
#include "plugin/CControlPlugin.h"
#include "plugin/CDatabasePlugin.h"
#include "plugin/CProtocolPlugin.h"

using testing_support::pluginFile;

namespace {

struct Received {
    std::vector<std::pair<int, std::string>> events;  // tag, record
    int answer = 0;
};

int collect(void* context, void* sender, int tag, Record* record) {
    auto* received = static_cast<Received*>(context);
    received->events.emplace_back(tag, TestJournal::describe(*record));
    return received->answer;
}

libconfig::Setting& parse(libconfig::Config& config, const char* text) {
    config.readString(text);
    return config.getRoot()["plugin"];
}

class CollectingStream : public logstream {
public:
    bool write(std::string line) override {
        lines.push_back(line);
        return true;
    }
    std::vector<std::string> lines;
};

}  // namespace

TEST(TestPlugins, ADatabaseJournalsItsCallsAnswersAsToldAndMarksTheRecord) {
    TestJournal::clear();
    libconfig::Config config;
    auto& group = parse(config, "plugin = { id = \"db1\"; answer = 1; logOnRecord = \"seen\"; };");
    auto* db = static_cast<CDatabasePlugin*>(loadPlugin(pluginFile("testdatabase").c_str()));
    ASSERT_NE(db, nullptr);
    CollectingStream stream;
    db->getLog()->addStream(&stream);
    Received received;
    db->setType(PROTOCOL_PBX);
    db->setCallback(collect, &received);
    ASSERT_EQ(db->start(group), 0);
    EXPECT_TRUE(db->isRunning());

    Record record;
    record.set("K", "v");
    EXPECT_EQ(db->processRecord(7, &record), 1);
    EXPECT_STREQ(record.get("TRAIL"), "db1;");
    EXPECT_EQ(stream.lines, std::vector<std::string>{"seen"});
    db->stop();
    EXPECT_FALSE(db->isRunning());
    delete db;

    std::vector<std::string> calls;
    for (const auto& entry : TestJournal::entriesOf("db1")) calls.push_back(entry.call);
    EXPECT_EQ(calls, (std::vector<std::string>{"create", "factory", "getLog", "setType",
                                               "setCallback", "start", "isRunning", "processRecord",
                                               "stop", "isRunning", "destroy"}));
    EXPECT_EQ(TestJournal::callsOf("db1", "setType")[0].detail, "1");
    EXPECT_EQ(TestJournal::callsOf("db1", "processRecord")[0].detail, "tag=7 K=v");
    EXPECT_EQ(TestJournal::find("db1"), nullptr) << "unregistered on destruction";
}

TEST(TestPlugins, AProtocolRaisesEventsInsideStartAndFromItsWorkerUntilStopped) {
    TestJournal::clear();
    libconfig::Config config;
    auto& group = parse(
        config, "plugin = { id = \"p\"; eventTag = 7; raiseOnStart = 2; workerEvents = 3; };");
    auto* protocol = static_cast<CProtocolPlugin*>(loadPlugin(pluginFile("testprotocol").c_str()));
    ASSERT_NE(protocol, nullptr);
    Received received;
    received.answer = 3;
    protocol->setCallback(collect, &received);
    ASSERT_EQ(protocol->start(group), 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (TestJournal::callsOf("p", "eventResult").size() < 3 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    protocol->stop();
    delete protocol;

    ASSERT_EQ(received.events.size(), 5u);
    for (const auto& event : received.events) EXPECT_EQ(event.first, 7);
    EXPECT_EQ(received.events[0].second, "FROM=p,SEQ=0");
    EXPECT_EQ(TestJournal::callsOf("p", "startEventResult").size(), 2u);
    for (const auto& entry : TestJournal::callsOf("p", "eventResult")) EXPECT_EQ(entry.detail, "3");
}

TEST(TestPlugins, ARefusingOrNotRunningPluginSaysSo) {
    libconfig::Config config;
    auto& group = parse(config, "plugin = { startResult = 5; };");
    auto* protocol = static_cast<CProtocolPlugin*>(loadPlugin(pluginFile("testprotocol").c_str()));
    ASSERT_NE(protocol, nullptr);
    EXPECT_EQ(protocol->start(group), 5);
    EXPECT_FALSE(protocol->isRunning());
    delete protocol;

    libconfig::Config other;
    auto& notRunning = parse(other, "plugin = { running = false; };");
    auto* db = static_cast<CDatabasePlugin*>(loadPlugin(pluginFile("testdatabase").c_str()));
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(db->start(notRunning), 0);
    EXPECT_FALSE(db->isRunning());
    delete db;
}

TEST(TestPlugins, AControlPluginSendsItsRequestAndJournalsAnswersAndLogLines) {
    TestJournal::clear();
    libconfig::Config config;
    auto& group =
        parse(config,
              "plugin = { id = \"ctl\"; request = \"STATUS\"; raiseOnStart = 1; eventTag = 12; };");
    auto* control = static_cast<CControlPlugin*>(loadPlugin(pluginFile("testcontrol").c_str()));
    ASSERT_NE(control, nullptr);
    Received received;
    control->setCallback(collect, &received);
    control->start(group);
    ASSERT_EQ(received.events.size(), 1u);
    EXPECT_EQ(received.events[0].first, 12);
    EXPECT_EQ(received.events[0].second, "CMD=STATUS,FROM=ctl,SEQ=0");

    Record answer;
    answer.set("CMD", "ANSWER");
    control->processRecord(12, &answer);
    Record line;
    line.set("CMD", "CMD_LOG");
    line.set("LOG_LINE", "\"hello\"");
    control->processLog(&line);
    EXPECT_EQ(TestJournal::callsOf("ctl", "processRecord")[0].detail, "tag=12 CMD=ANSWER");
    EXPECT_EQ(TestJournal::callsOf("ctl", "processLog")[0].detail, "CMD_LOG \"hello\"");

    Record viaRegistry;
    viaRegistry.set("CMD", "CONTROL");
    ASSERT_NE(TestJournal::find("ctl"), nullptr);
    EXPECT_EQ(TestJournal::find("ctl")->raise(4, &viaRegistry), 0);
    EXPECT_EQ(received.events.size(), 2u);
    control->stop();
    delete control;
}
