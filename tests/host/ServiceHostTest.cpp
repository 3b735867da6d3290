#include <algorithm>
#include <iterator>
#include <thread>

#include "HostFixture.h"

using Lines = std::vector<std::string>;

class ServiceHost : public HostFixture {};

TEST_F(ServiceHost, SetsUpControlAndProtocolsWakesThemAndStopsEverything) {
    writeConfig(controlGroup() + " wakeupwait = 1; protocols = ( " + protocol("pbx1", "p1") + ", " +
                protocol("pbx2", "p2") + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    EXPECT_EQ(count("ctl", "start"), 1u);
    EXPECT_EQ(count("p1", "start"), 1u);
    EXPECT_EQ(count("p2db", "start"), 1u);
    // The control plug-in was started before any protocol.
    auto all = TestJournal::entries();
    auto position = [&](const std::string& who, const std::string& call) {
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].who == who && all[i].call == call) return i;
        return all.size();
    };
    EXPECT_LT(position("ctl", "start"), position("p1", "create"));

    stopServing();
    EXPECT_EQ(hostLines.lines().back(), "Service stopped");
    for (const char* who : {"p1", "p1db", "p2", "p2db", "ctl"}) {
        EXPECT_EQ(count(who, "stop"), 1u) << who;
        EXPECT_EQ(count(who, "destroy"), 1u) << who;
    }
    // Protocols stop before the control plug-in does.
    all = TestJournal::entries();
    EXPECT_LT(position("p2", "stop"), position("ctl", "stop"));
}

TEST_F(ServiceHost, RunLogsStartAndStopAroundTheRunSequence) {
    writeConfig(controlGroup() + " protocols = ();");
    std::thread service([this] { host.run(); });
    ASSERT_TRUE(eventually([&] { return hostLines.lines().size() >= 2; }));
    host.requestStop();
    service.join();
    EXPECT_EQ(hostLines.lines(),
              (Lines{"Service started", "Service started", "Service stopped", "Service stopped"}));
}

TEST_F(ServiceHost, AMissingControlLibraryIsSilentAndTheProtocolsStillRun) {
    writeConfig("control = { dll = " + configString(plugin("nocontrol")) + "; }; protocols = ( " +
                protocol("pbx1", "p1") + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    EXPECT_EQ(hostLines.lines(), Lines{"Service started"});
    EXPECT_EQ(count("p1", "start"), 1u);
    stopServing();
    EXPECT_EQ(count("p1", "destroy"), 1u);
}

TEST_F(ServiceHost, AControlGroupWithoutDllIsASetUpErrorAndNothingIsCreated) {
    writeConfig("control = { id = \"ctl\"; }; protocols = ( " + protocol("pbx1", "p1") + " );");
    host.serve(false, 'S');  // returns by itself
    EXPECT_EQ(hostLines.lines(),
              Lines{"Konfiguracijska datoteka ne sadrži potrebne definicije parametera servisa: " +
                    serviceName});
    EXPECT_TRUE(TestJournal::entries().empty());
}

TEST_F(ServiceHost, AMissingProtocolListOrControlGroupIsTheSameSetUpError) {
    writeConfig(controlGroup());
    host.serve(false, 'S');
    writeConfig("protocols = ();");
    host.serve(false, 'S');
    EXPECT_EQ(hostLines.lines().size(), 2u);
    for (const auto& line : hostLines.lines())
        EXPECT_EQ(line,
                  "Konfiguracijska datoteka ne sadrži potrebne definicije parametera servisa: " +
                      serviceName);
    EXPECT_TRUE(TestJournal::entries().empty());
}

TEST_F(ServiceHost, AFileThatVanishedBeforeTheSecondReadEndsTheRunAtOnce) {
    std::thread service([this] { host.run(); });  // no configuration file was written
    service.join();
    EXPECT_EQ(hostLines.lines(),
              (Lines{"Service started", "Neuspelo čitanje konfiguracijske datoteke " + configPath,
                     "Service stopped"}));
}

TEST_F(ServiceHost, AMalformedFileIsReportedWithTheParsersTextThenWhereItIs) {
    testing_support::writeFile(configPath, serviceName + ": { protocols = ( };\n");
    host.serve(false, 'S');
    EXPECT_EQ(hostLines.lines(), (Lines{"Konfiguracijska datoteka " + configPath +
                                            " nije ispravna, greška: syntax error",
                                        configPath + ":1: syntax error"}));
}

TEST_F(ServiceHost, AnEmptyProtocolListRunsAndAnswersStarted) {
    writeConfig(controlGroup() + " protocols = ();");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    EXPECT_EQ(request("STATUS"), 0);
    EXPECT_EQ(answers(), Lines{"tag=0 CMD=ANSWER,ANSWER=STARTED"});
}

TEST_F(ServiceHost, AnEntryWithoutNameEndsTheProtocolListWithOneLineNamingIt) {
    writeConfig(
        controlGroup() + " protocols = ( " + protocol("pbx1", "p1") +
        ", { id = \"noname\"; type = \"PBX\"; dll = " + configString(plugin("testprotocol")) +
        "; databases = (); }, " + protocol("pbx3", "p3") + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    EXPECT_EQ(count("p1", "start"), 1u);
    EXPECT_EQ(count("noname", "create") + count("p3", "create"), 0u);
    EXPECT_EQ(hostLines.lines(),
              (Lines{"Neispravna definicija protokola br. 1: nedostaje postavka " + serviceName +
                         ".protocols.[1].name",
                     "Service started"}));
}

TEST_F(ServiceHost, AWrongTypedSettingInAnEntryEndsTheWalkWithOneLineNamingEntryAndSetting) {
    const std::string entries[] = {
        "{ name = 5; }",
        "{ name = \"two\"; type = 1; dll = \"x\"; databases = (); }",
        "{ name = \"three\"; type = \"PBX\"; dll = 3; databases = (); }",
        "{ name = \"four\"; type = \"PBX\"; dll = " + configString(plugin("testprotocol")) +
            "; id = \"p4\"; databases = 4; }",
        "7",
    };
    const std::string faults[] = {
        "br. 1: postavka %.protocols.[1].name", "br. 1 (two): postavka %.protocols.[1].type",
        "br. 1 (three): postavka %.protocols.[1].dll",
        "br. 1 (four): postavka %.protocols.[1].databases.[0]", "br. 1: postavka %.protocols.[1]"};
    for (size_t i = 0; i < std::size(entries); ++i) {
        CServiceHost host;
        CollectingStream lines;
        host.setName(serviceName.c_str());
        host.getLog(nullptr)->addStream(&lines);
        writeConfig(controlGroup() + " protocols = ( " + protocol("pbx1", "p1") + ", " +
                    entries[i] + ", " + protocol("pbx3", "p3") + " );");
        host.requestStop();
        host.serve(false, 'S');
        std::string fault = faults[i];
        fault.replace(fault.find('%'), 1, serviceName);
        EXPECT_EQ(lines.lines().at(0),
                  "Neispravna definicija protokola " + fault + " nije ispravnog tipa");
        EXPECT_EQ(lines.lines().at(1), "Service started") << entries[i];
    }
    EXPECT_EQ(count("p3", "create"), 0u) << "entries after the faulty one are not looked at";
}

TEST_F(ServiceHost, AProtocolListOfTheWrongTypeIsTheSetUpError) {
    writeConfig(controlGroup() + " protocols = 5;");
    host.requestStop();
    host.serve(false, 'S');
    EXPECT_EQ(hostLines.lines(),
              Lines{"Konfiguracijska datoteka ne sadrži potrebne definicije parametera servisa: " +
                    serviceName});
    EXPECT_EQ(count("ctl", "create"), 0u);
}

TEST_F(ServiceHost, TheWakeUpLoopRepairsAProtocolWhoseLibraryAppearsLater) {
    testing_support::ScratchDir scratch;
    std::string lateDll = scratch.file(plugin("lateprotocol"));
    writeConfig(controlGroup() +
                " protocols = ( { name = \"late\"; id = \"late\"; type = \"PBX\"; dll = " +
                configString(lateDll) + "; databases = (); } );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    std::string failure = "Nije uspjelo kreiranje protocola: late:" + lateDll;
    auto linesLike = [&](const std::string& start) {
        size_t seen = 0;
        for (const auto& line : hostLines.lines()) seen += line.rfind(start, 0) == 0;
        return seen;
    };
    ASSERT_TRUE(eventually([&] { return linesLike(failure) == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(request("STATUS"), 0);
    EXPECT_EQ(answers().back(), "tag=0 CMD=ANSWER,ANSWER=STOPPED");

    testing_support::installFile(testing_support::binaryDir() / plugin("testprotocol"), lateDll);
    ASSERT_TRUE(eventually([&] { return count("late", "start") == 1; }));
    EXPECT_EQ(request("STATUS"), 0);
    EXPECT_EQ(answers().back(), "tag=0 CMD=ANSWER,ANSWER=STARTED");
    EXPECT_EQ(linesLike(failure), 1u) << "the log says so once";
}

TEST_F(ServiceHost, AStopRequestedDuringSetUpEndsTheRunWithoutAPass) {
    writeConfig(controlGroup("request = \"STATUS\"; raiseOnStart = 0;") + " protocols = ( " +
                protocol("pbx1", "p1", "running = false;") + " );");
    host.requestStop();
    host.serve(false, 'S');
    EXPECT_EQ(hostLines.lines(), (Lines{"Service started", "Service stopped"}));
    EXPECT_EQ(count("p1", "factory"), 1u) << "no pass re-created anything";
    EXPECT_EQ(count("p1", "destroy"), 1u);
}

TEST_F(ServiceHost, AWrongTypedValueFoundByALaterPassDoesNotEndTheRun) {
    testing_support::ScratchDir scratch;
    std::string lateDll = scratch.file(plugin("lateprotocol"));
    // The database's "dll" is only read once the protocol library exists.
    writeConfig(controlGroup() +
                " protocols = ( { name = \"late\"; id = \"late\"; type = \"PBX\"; dll = " +
                configString(lateDll) + "; databases = ( { dll = 42; } ); } );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    testing_support::installFile(testing_support::binaryDir() / plugin("testprotocol"), lateDll);
    ASSERT_TRUE(eventually([&] { return count("late", "start") >= 1; }));
    EXPECT_EQ(request("STATUS"), 0);
    EXPECT_EQ(answers().size(), 1u) << "the host still runs and answers";
    std::string fault = "Neispravna definicija protokola br. 0 (late): postavka " + serviceName +
                        ".protocols.[0].databases.[0].dll nije ispravnog tipa";
    ASSERT_TRUE(eventually([&] { return count("late", "start") >= 3; }))
        << "later passes try again";
    Lines lines = hostLines.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), fault), 1) << "logged once, not on every pass";
}
