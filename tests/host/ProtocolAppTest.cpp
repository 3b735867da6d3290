#include <filesystem>

#include "AppFixture.h"
#include "OstraService/RepeatedFailures.h"
#include "common/Record.h"

namespace {

// One "protocols" entry: name "p1", the test protocol plug-in (id "p"),
// type `type`, and `databases` as the text of its list.
std::string entryText(const std::string& type, const std::string& databases,
                      const std::string& protocolKeys = "",
                      const std::string& dll = testing_support::pluginFile("testprotocol")) {
    return "{ name = \"p1\"; dll = " + configString(dll) + "; type = " + configString(type) +
           "; id = \"p\"; " + protocolKeys + " databases = ( " + databases + " ); }";
}

std::string db(const std::string& id, const std::string& keys = "") {
    return "{ dll = " + configString(testing_support::pluginFile("testdatabase")) +
           "; id = " + configString(id) + "; " + keys + " }";
}

using Lines = std::vector<std::string>;

}  // namespace

class ProtocolApp : public AppFixture {};

TEST_F(ProtocolApp, SetsUpTheProtocolAndItsDatabasesInOrderHandingOnTypeAndLog) {
    makeApp(entryText("pbx", db("db1", "logOnStart = \"db1 up\";") + ", " + db("db2")), 0);
    EXPECT_EQ(initResult, 0);
    EXPECT_EQ(calls("p"), (Lines{"create", "factory", "getLog", "setCallback", "start"}));
    EXPECT_EQ(calls("db1"),
              (Lines{"create", "factory", "getLog", "setType", "setCallback", "start"}));
    EXPECT_EQ(TestJournal::callsOf("db1", "setType")[0].detail, "1")
        << "pbx in small letters is PBX";
    EXPECT_EQ(TestJournal::callsOf("db2", "setType")[0].detail, "1");
    // The database's own log writes to the host's streams.
    EXPECT_EQ(hostLines.lines(), Lines{"db1 up"});
    EXPECT_TRUE(app->isRunning());
}

TEST_F(ProtocolApp, EachTypeWordGivesItsCode) {
    const std::pair<const char*, const char*> types[] = {
        {"KEYCARD", "0"}, {"Pbx", "1"}, {"internet pristup", "2"}, {"PAYTV", "3"}};
    for (const auto& [word, code] : types) {
        TestJournal::clear();
        makeApp(entryText(word, db("db1")));
        ASSERT_EQ(count("db1", "setType"), 1u) << word;
        EXPECT_EQ(TestJournal::callsOf("db1", "setType")[0].detail, code) << word;
    }
}

TEST_F(ProtocolApp, AnUnknownTypeLogsAnErrorOnceLoadsNothingAndIsTriedOnEveryStart) {
    makeApp(entryText("FAX", db("db1")));
    EXPECT_EQ(initResult, -1);
    Lines expected{"Protocol: p1, je nepoznatog tipa, provjeri konfiguracijsku datoteku"};
    EXPECT_EQ(hostLines.lines(), expected);
    EXPECT_EQ(countAll("create"), 0u);
    for (int pass = 0; pass < 100; ++pass) EXPECT_EQ(app->start(false), -1);
    EXPECT_EQ(hostLines.lines(), expected) << "the same failure flooded the log";
    EXPECT_FALSE(app->isRunning());
}

TEST_F(ProtocolApp, AMissingProtocolLibraryIsReportedAndTriedAgainUntilItAppears) {
    std::string dll = scratch.file(plugin("lateprotocol"));
    makeApp(entryText("PBX", db("db1"), "", dll));
    EXPECT_EQ(initResult, 0);
    Lines expected{"Nije uspjelo kreiranje protocola: p1:" + dll};
    EXPECT_EQ(hostLines.lines(), expected);
    EXPECT_FALSE(app->isRunning());

    for (int pass = 0; pass < 100; ++pass) EXPECT_EQ(app->start(false), 0);
    EXPECT_EQ(hostLines.lines(), expected) << "the same failure flooded the log";

    testing_support::installFile(testing_support::binaryDir() / plugin("testprotocol"), dll);
    EXPECT_TRUE(eventually([&] {
        app->start(false);
        return app->isRunning();
    })) << "the retry never came";
    EXPECT_EQ(hostLines.lines(), expected);
    EXPECT_EQ(count("db1", "start"), 1u);
}

TEST_F(ProtocolApp, AProtocolThatRefusesItsStartIsStoppedDestroyedAndTriedAgainLater) {
    makeApp(entryText("PBX", db("db1"), "startResult = 2;"));
    EXPECT_EQ(initResult, -1);
    EXPECT_TRUE(hostLines.lines().empty()) << "no message of the app's own";
    EXPECT_EQ(countAll("create"), 1u) << "no database is created";
    EXPECT_EQ(calls("p"),
              (Lines{"create", "factory", "getLog", "setCallback", "start", "stop", "destroy"}))
        << "not kept until a stop: it is stopped and destroyed at once";
    EXPECT_FALSE(app->isRunning());

    EXPECT_EQ(app->start(false), -1) << "the next pass waits for the retry";
    EXPECT_EQ(countAll("create"), 1u);
    EXPECT_EQ(app->start(true), -1) << "a forced start tries at once";
    EXPECT_EQ(countAll("create"), 2u);
    EXPECT_EQ(countAll("destroy"), 2u);
}

TEST_F(ProtocolApp, AMissingDatabaseLibraryIsReportedAndTheOthersStillRun) {
    std::string missing = "{ dll = " + configString(plugin("nodb")) + "; }";
    makeApp(entryText("PBX", db("db1") + ", " + missing + ", " + db("db3")));
    EXPECT_EQ(initResult, 0);
    EXPECT_EQ(hostLines.lines(), (Lines{"Nije uspjelo kreiranje pristupa bazi: p1:" +
                                            plugin("testprotocol") + ", za protokol: p1",
                                        "Protocol p1 runs DEGRADED: its database library " +
                                            plugin("nodb") + " did not load"}));
    EXPECT_EQ(count("db1", "start"), 1u);
    EXPECT_EQ(count("db3", "start"), 1u);
    EXPECT_TRUE(app->isRunning());
    hostLines.clear();
    app->start(false);
    EXPECT_TRUE(hostLines.lines().empty()) << "not retried while the protocol is set up";
}

TEST_F(ProtocolApp, ADatabaseThatRefusesTearsDownTheWholeAttemptAndTheNextStartsAfresh) {
    makeApp(entryText("PBX", db("db1") + ", " + db("db2", "startResult = 1;") + ", " + db("db3")));
    EXPECT_EQ(initResult, -1);
    EXPECT_EQ(calls("db2"),
              (Lines{"create", "factory", "getLog", "setType", "setCallback", "start", "destroy"}))
        << "the refusing database is destroyed without stop";
    EXPECT_EQ(calls("db1").back(), "destroy");
    EXPECT_EQ(count("db1", "stop"), 1u)
        << "the database started earlier is stopped, then destroyed";
    EXPECT_EQ(calls("p").back(), "destroy");
    EXPECT_EQ(count("p", "stop"), 1u);
    EXPECT_EQ(count("db3", "create"), 0u);
    EXPECT_FALSE(app->isRunning());

    // Every stop comes before the first destruction of the attempt's plug-ins.
    auto all = TestJournal::entries();
    size_t lastStop = 0, firstSurvivorDestroy = all.size();
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i].call == "stop") lastStop = i;
        if (all[i].call == "destroy" && all[i].who != "db2")
            firstSurvivorDestroy = std::min(firstSurvivorDestroy, i);
    }
    EXPECT_LT(lastStop, firstSurvivorDestroy);

    TestJournal::clear();
    EXPECT_EQ(app->start(false), -1) << "Waiting: the next pass waits for the retry";
    EXPECT_EQ(countAll("create"), 0u);
    EXPECT_EQ(app->start(true), -1) << "Waiting: a forced start makes a full attempt";
    EXPECT_EQ(count("p", "create"), 1u);
    EXPECT_EQ(count("db1", "create"), 1u);
    EXPECT_EQ(countAll("destroy"), countAll("create")) << "no copy is left from either attempt";
}

TEST_F(ProtocolApp, MissingKeysFailTheStartWithoutAMessage) {
    makeApp("{ dll = " + configString(plugin("testprotocol")) +
            "; type = \"PBX\"; databases = (); }");
    EXPECT_EQ(initResult, -1);
    EXPECT_EQ(countAll("create"), 0u);

    makeApp("{ name = \"p1\"; type = \"PBX\"; databases = (); }");
    EXPECT_EQ(initResult, -1);
    makeApp("{ name = \"p1\"; dll = " + configString(plugin("testprotocol")) +
            "; databases = (); }");
    EXPECT_EQ(initResult, -1);
    EXPECT_EQ(countAll("create"), 0u);
    EXPECT_TRUE(hostLines.lines().empty());

    // Without "databases" the protocol plug-in has started, and stays.
    makeApp("{ name = \"p1\"; id = \"p\"; dll = " + configString(plugin("testprotocol")) +
            "; type = \"PBX\"; }");
    EXPECT_EQ(initResult, -1);
    EXPECT_EQ(count("p", "start"), 1u);
    EXPECT_TRUE(app->isRunning());
    EXPECT_EQ(app->start(false), 0);
    EXPECT_EQ(count("p", "factory"), 1u);
}

TEST_F(ProtocolApp, TheDatabaseWalkEndsAtTheFirstElementWithoutDll) {
    makeApp(entryText("PBX", db("db1") + ", { id = \"nodll\"; }, " + db("db3")));
    EXPECT_EQ(initResult, 0);
    EXPECT_EQ(count("db1", "start"), 1u);
    EXPECT_EQ(count("db3", "create"), 0u);
    EXPECT_TRUE(app->isRunning());
}

TEST_F(ProtocolApp, AnEmptyDatabaseListLeavesTheProtocolAlone) {
    makeApp(entryText("PBX", "", "running = false;"));
    EXPECT_EQ(initResult, 0);
    EXPECT_FALSE(app->isRunning()) << "the protocol's own answer";
    makeApp(entryText("PBX", ""));
    EXPECT_TRUE(app->isRunning());
}

TEST_F(ProtocolApp, StartFalseOnASetUpAppTouchesNoPlugin) {
    makeApp(entryText("PBX", db("db1")));
    size_t before = TestJournal::entries().size();
    EXPECT_EQ(app->start(false), 0);
    EXPECT_EQ(app->start(true), 0);
    EXPECT_EQ(TestJournal::entries().size(), before);
}

TEST_F(ProtocolApp, StopDisablesAutomaticStartsUntilAForcedOne) {
    makeApp(entryText("PBX", db("db1")));
    app->stop();
    EXPECT_EQ(calls("p"),
              (Lines{"create", "factory", "getLog", "setCallback", "start", "stop", "destroy"}));
    EXPECT_EQ(calls("db1").back(), "destroy");
    EXPECT_FALSE(app->isRunning());

    TestJournal::clear();
    EXPECT_EQ(app->start(false), 0);
    EXPECT_EQ(countAll("create"), 0u) << "Stopped: start(false) does nothing";
    EXPECT_EQ(app->start(true), 0);
    EXPECT_EQ(countAll("create"), 2u);
    EXPECT_TRUE(app->isRunning());
    app->stop();
    app->stop();  // on an app without plug-ins: nothing more happens
    EXPECT_EQ(countAll("destroy"), 2u);
}

TEST_F(ProtocolApp, AFailedForcedStartAfterStopIsNotRepeatedByLaterPasses) {
    std::string dll = scratch.file(plugin("absent"));
    makeApp(entryText("PBX", "", "", dll));
    app->stop();
    hostLines.clear();
    EXPECT_EQ(app->start(true), 0);
    EXPECT_EQ(hostLines.lines().size(), 1u);
    app->start(false);
    app->start(false);
    EXPECT_EQ(hostLines.lines().size(), 1u);
}

TEST_F(ProtocolApp, IsRunningAsksUntilTheFirstNo) {
    makeApp(entryText("PBX", db("db1", "running = false;") + ", " + db("db2")));
    TestJournal::clear();
    EXPECT_FALSE(app->isRunning());
    EXPECT_EQ(count("p", "isRunning"), 1u);
    EXPECT_EQ(count("db1", "isRunning"), 1u);
    EXPECT_EQ(count("db2", "isRunning"), 0u);

    makeApp(entryText("PBX", db("db1"), "running = false;"));
    TestJournal::clear();
    EXPECT_FALSE(app->isRunning());
    EXPECT_EQ(count("db1", "isRunning"), 0u);
}

TEST_F(ProtocolApp, AValueOfTheWrongTypeThrowsToTheCaller) {
    auto fresh = std::make_unique<CProtocolApp>();
    auto& bad = entry("{ name = \"p1\"; dll = 5; type = \"PBX\"; databases = (); }");
    EXPECT_THROW(fresh->init(hostLog, bad), libconfig::ConfigException);
    EXPECT_FALSE(fresh->isRunning());
}

TEST_F(ProtocolApp, DestroyingTheAppStopsAndDestroysItsPlugins) {
    makeApp(entryText("PBX", db("db1") + ", " + db("db2")));
    app.reset();
    for (const char* who : {"p", "db1", "db2"}) {
        EXPECT_EQ(count(who, "stop"), 1u) << who;
        EXPECT_EQ(calls(who).back(), "destroy") << who;
    }
}

TEST(RepeatedFailures, AFailureChangedOrAMinuteOldIsWrittenAgainWithTheCount) {
    CLog log;
    CollectingStream lines;
    log.addStream(&lines);
    RepeatedFailures gate;
    auto t0 = RepeatedFailures::Clock::now();
    auto attempt = [&](std::chrono::seconds at, const char* text) {
        gate.begin(t0 + at);
        {
            ThreadLogFilter filter(&gate);
            log.log(LOG_LEVEL_ERROR, "ProtocolApp", 1, text);
        }
        gate.end(true, log, "p1");
    };
    attempt(std::chrono::seconds(0), "missing.so");
    attempt(std::chrono::seconds(1), "missing.so");
    attempt(std::chrono::seconds(2), "missing.so");
    EXPECT_EQ(lines.lines(), (Lines{"missing.so"}));
    attempt(std::chrono::seconds(3), "missing.so cannot be read");
    EXPECT_EQ(lines.lines(), (Lines{"missing.so", "missing.so cannot be read"}));
    attempt(std::chrono::seconds(61), "missing.so cannot be read");
    EXPECT_EQ(lines.lines(),
              (Lines{"missing.so", "missing.so cannot be read", "missing.so cannot be read",
                     "Protocol: p1, ista greška ponovljena je još 2 puta"}));
}

TEST(RepeatedFailures, TheAttemptThatWorksWritesWhatItsFailingPredecessorsHeldBack) {
    CLog log;
    CollectingStream lines;
    log.addStream(&lines);
    RepeatedFailures gate;
    auto attempt = [&](bool fails) {
        gate.begin();
        {
            ThreadLogFilter filter(&gate);
            log.log(LOG_LEVEL_INFO, "TestPlugin", 1, "listening on 7765");
            if (fails) log.log(LOG_LEVEL_ERROR, "TestPlugin", 2, "database refused");
        }
        gate.end(fails, log, "p1");
    };
    attempt(true);
    attempt(true);
    attempt(true);
    attempt(false);
    EXPECT_EQ(lines.lines(), (Lines{"listening on 7765", "database refused", "listening on 7765",
                                    "Protocol: p1, ista greška ponovljena je još 2 puta"}));
}

TEST_F(ProtocolApp, AnAttemptEndedByAWrongTypedDatabaseValueIsHeldBackLikeAnyFailure) {
    // The attempt throws to the host; it must still count as a failed one.
    EXPECT_THROW(makeApp(entryText("PBX", db("db1") + ", { dll = 1; }",
                                   "logOnStart = \"protocol starting\";")),
                 libconfig::ConfigException);
    for (int attempt = 0; attempt < 50; ++attempt)
        EXPECT_THROW(app->start(true), libconfig::ConfigException);
    size_t starts = 0;
    for (const auto& line : hostLines.lines()) starts += line == "protocol starting";
    EXPECT_EQ(starts, 1u) << "every failed attempt wrote its lines again";
}
