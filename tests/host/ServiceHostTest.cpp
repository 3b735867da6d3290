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
        EXPECT_EQ(line, "Konfiguracijska datoteka ne sadrži potrebne definicije parametera servisa: " +
                            serviceName);
    EXPECT_TRUE(TestJournal::entries().empty());
}

TEST_F(ServiceHost, AFileThatVanishedBeforeTheSecondReadEndsTheRunAtOnce) {
    std::thread service([this] { host.run(); });  // no configuration file was written
    service.join();
    EXPECT_EQ(hostLines.lines(), (Lines{"Service started",
                                        "Neuspelo čitanje konfiguracijske datoteke " + configPath,
                                        "Service stopped"}));
}

TEST_F(ServiceHost, AMalformedFileIsReportedWithTheParsersText) {
    testing_support::writeFile(configPath, serviceName + ": { protocols = ( };\n");
    host.serve(false, 'S');
    EXPECT_EQ(hostLines.lines(),
              Lines{"Konfiguracijska datoteka " + configPath + " nije ispravna, greška: syntax error"});
}

TEST_F(ServiceHost, AnEmptyProtocolListRunsAndAnswersStarted) {
    writeConfig(controlGroup() + " protocols = ();");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    EXPECT_EQ(request("STATUS"), 0);
    EXPECT_EQ(answers(), Lines{"tag=0 CMD=ANSWER,ANSWER=STARTED"});
}

TEST_F(ServiceHost, AnEntryWithoutNameEndsTheProtocolListSilently) {
    writeConfig(controlGroup() + " protocols = ( " + protocol("pbx1", "p1") +
                ", { id = \"noname\"; type = \"PBX\"; dll = " + configString(plugin("testprotocol")) +
                "; databases = (); }, " + protocol("pbx3", "p3") + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    EXPECT_EQ(count("p1", "start"), 1u);
    EXPECT_EQ(count("noname", "create") + count("p3", "create"), 0u);
    EXPECT_EQ(hostLines.lines(), Lines{"Service started"});
}

TEST_F(ServiceHost, TheWakeUpLoopRepairsAProtocolWhoseLibraryAppearsLater) {
    testing_support::ScratchDir scratch;
    std::string lateDll = scratch.file(plugin("lateprotocol"));
    writeConfig(controlGroup() + " protocols = ( { name = \"late\"; id = \"late\"; type = \"PBX\"; dll = " +
                configString(lateDll) + "; databases = (); } );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    std::string failure = "Nije uspjelo kreiranje protocola: late:" + lateDll;
    ASSERT_TRUE(eventually([&] {
        size_t failures = 0;
        for (const auto& line : hostLines.lines()) failures += line == failure;
        return failures >= 3;
    })) << "each pass tries again";
    EXPECT_EQ(request("STATUS"), 0);
    EXPECT_EQ(answers().back(), "tag=0 CMD=ANSWER,ANSWER=STOPPED");

    testing_support::installFile(testing_support::binaryDir() / plugin("testprotocol"), lateDll);
    ASSERT_TRUE(eventually([&] { return count("late", "start") == 1; }));
    EXPECT_EQ(request("STATUS"), 0);
    EXPECT_EQ(answers().back(), "tag=0 CMD=ANSWER,ANSWER=STARTED");
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
    writeConfig(controlGroup() + " protocols = ( { name = \"late\"; id = \"late\"; type = \"PBX\"; dll = " +
                configString(lateDll) + "; databases = ( { dll = 42; } ); } );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    testing_support::installFile(testing_support::binaryDir() / plugin("testprotocol"), lateDll);
    ASSERT_TRUE(eventually([&] { return count("late", "start") == 1; }));
    EXPECT_EQ(request("STATUS"), 0);
    EXPECT_EQ(answers().size(), 1u) << "the host still runs and answers";
}
