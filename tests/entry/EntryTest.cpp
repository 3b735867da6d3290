// The command line, the configuration read before the verb, and the log
// set-up, through the real executable.
#include <thread>

#include "ExecutableFixture.h"

namespace fs = std::filesystem;
using testing_support::exitCodeOfMinusOne;

namespace {
// The first line byte for byte as it always was; the added verbs follow.
const std::string kUsage =
    "Pokretanje programa: OstraService INSTALL | UNINSTALL | REMOVE | START | STOP | CONSOLE\n"
    "Dodatne naredbe: OstraService CHECK | STATUS | RELOAD | SERVICE\n";
}  // namespace

class Entry : public ExecutableFixture {};

TEST_F(Entry, HelpAndQuestionMarkPrintTheUsageLineFirstThenTheAddedVerbsAndExitOne) {
    writeConfig("logs = (); " + basics());
    for (const char* verb : {"help", "?", "HeLP"}) {
        Result result = run({verb});
        EXPECT_EQ(result.exitCode, 1) << verb;
        EXPECT_EQ(result.output, kUsage) << verb;
    }
}

TEST_F(Entry, EveryVerbFailsWithTheUnreadableFileLineWhenTheConfigurationIsMissing) {
    for (const char* verb : {"help", "?", "console", "stop", "install"}) {
        Result result = run({verb});
        EXPECT_EQ(result.exitCode, exitCodeOfMinusOne()) << verb;
        EXPECT_EQ(result.output, "Neuspelo čitanje konfiguracijske datoteke " + configPath() + "\n")
            << verb;
    }
    EXPECT_FALSE(fs::exists(dir.file("OstraService.log")));
}

TEST_F(Entry, AMalformedConfigurationIsReportedWithTheParsersText) {
    testing_support::writeFile(configPath(), "OstraService: { logs = ( };\n");
    Result result = run({"help"});
    EXPECT_EQ(result.exitCode, exitCodeOfMinusOne());
    EXPECT_EQ(result.output, "Konfiguracijska datoteka " + configPath() +
                                 " nije ispravna, greška: syntax error\n");
}

TEST_F(Entry, TheServiceNameComesFromTheSecondArgument) {
    writeConfig("logs = ( { type = \"FILE\"; } ); " + basics(), "Kasa");
    Result result = run({"help", "Kasa", "ignored"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(fs::exists(dir.file("Kasa.log"))) << "the log is opened before the verb";
    EXPECT_FALSE(fs::exists(dir.file("OstraService.log")));
    EXPECT_EQ(run({"help"}).exitCode, exitCodeOfMinusOne()) << "OstraService.cfg does not exist";
}

TEST_F(Entry, TheLogFileLandsInPathWithOrWithoutATrailingSeparator) {
    fs::create_directory(dir.path() / "logs");
    std::string folder = (dir.path() / "logs").string();
    for (const std::string& path :
         {folder, folder + static_cast<char>(fs::path::preferred_separator)}) {
        fs::remove(dir.path() / "logs" / "Kasa.log");
        writeConfig(
            "logs = ( { type = \"file\"; path = " + configString(path) + "; } ); " + basics(),
            "Kasa");
        EXPECT_EQ(run({"help", "Kasa"}).exitCode, 1);
        EXPECT_TRUE(fs::exists(dir.path() / "logs" / "Kasa.log")) << path;
    }
}

TEST_F(Entry, OnlyFileEntriesOpenALogAndAnEntryWithoutTypeEndsTheList) {
    fs::create_directory(dir.path() / "a");
    fs::create_directory(dir.path() / "b");
    std::string a = configString((dir.path() / "a").string());
    std::string b = configString((dir.path() / "b").string());
    writeConfig("logs = ( { type = \"TCP\"; path = " + a + "; }, { type = \"File\"; path = " + b +
                "; } ); " + basics());
    run({"help"});
    EXPECT_FALSE(fs::exists(dir.path() / "a" / "OstraService.log"));
    EXPECT_TRUE(fs::exists(dir.path() / "b" / "OstraService.log"));

    fs::remove(dir.path() / "b" / "OstraService.log");
    writeConfig("logs = ( { path = " + a + "; }, { type = \"FILE\"; path = " + b + "; } ); " +
                basics());
    EXPECT_EQ(run({"help"}).exitCode, 1);
    EXPECT_FALSE(fs::exists(dir.path() / "b" / "OstraService.log"));
}

TEST_F(Entry, WithoutALogListTheOperatorIsToldAndTheVerbStillRuns) {
    writeConfig(basics());
    Result result = run({"help"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output, "Konfiguracijska datoteka " + configPath() +
                                 " nema popis OstraService.logs: dnevnik se ne zapisuje\n" +
                                 kUsage);
}

TEST_F(Entry, ConsoleModeRunsUntilSArrivesAndIgnoresOtherKeys) {
    writeConfig("logs = ( { type = \"FILE\"; } ); " + basics());
    std::string log = dir.file("OstraService.log");
    testing_support::ChildProcess console(executable(), {"console"}, dir.path().string());
    ASSERT_TRUE(console.started());
    ASSERT_TRUE(waitForLog(log, "Service started"));

    console.writeInput("xq1");
    EXPECT_FALSE(console.wait(std::chrono::milliseconds(500))) << "another key stopped the run";
    console.writeInput("s");
    EXPECT_EQ(console.wait(std::chrono::seconds(30)), 0);
    EXPECT_EQ(withoutCarriageReturns(console.output()),
              "OstraService started, press S to stop\nOstraService stopped\n");
    EXPECT_EQ(logTexts(log), (std::vector<std::string>{"Console started", "Service started",
                                                       "Service stopped", "Console stopped"}));
}

TEST_F(Entry, AnSSentBeforeTheSetUpEndsTheRunAtTheFirstTick) {
    writeConfig("logs = ( { type = \"FILE\"; } ); " + basics());
    Result result = run({"CONSOLE"}, "S");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, "OstraService started, press S to stop\nOstraService stopped\n");
}

TEST_F(Entry, AnIncludeNamingAFolderEndsEveryVerbWithTheHostsOwnLine) {
    // The configuration library's scanner would end the process itself
    // ("input in flex scanner failed", exit 2).
    testing_support::writeFile(configPath(), "OstraService: {\n@include \".\"\n};\n");
    Result result = run({"console"});
    EXPECT_EQ(result.exitCode, exitCodeOfMinusOne());
    EXPECT_EQ(result.output, "Konfiguracijska datoteka " + configPath() +
                                 " nije ispravna, greška: cannot open include file " +
                                 (fs::path(configPath()).parent_path() / ".").string() +
                                 " (a folder)\n");
}

TEST_F(Entry, ANulByteInTheConfigurationFailsEveryVerbAsAMalformedFile) {
    // Without the check the parser stopped at the NUL and "help" succeeded.
    testing_support::writeFile(configPath(), "OstraService: { logs = (); " + basics() + " };\n" +
                                                 std::string("\0 ( garbage", 11));
    for (const char* verb : {"help", "console"}) {
        Result result = run({verb});
        EXPECT_EQ(result.exitCode, exitCodeOfMinusOne()) << verb;
        EXPECT_EQ(result.output, "Konfiguracijska datoteka " + configPath() +
                                     " nije ispravna, greška: a NUL byte on line 2\n")
            << verb;
    }
}

TEST_F(Entry, TheConfiguredLevelHoldsForTheHostTheProtocolsAndThePlugins) {
    // One record relayed inside the protocol's start; the plug-in logs at INFO.
    const std::string suffix = OSTRA_PLUGIN_SUFFIX;
    const std::string protocols =
        "control = { dll = \"testcontrol" + suffix +
        "\"; }; protocols = ( { name = \"p1\"; type = \"PBX\"; dll = \"testprotocol" + suffix +
        "\"; raiseOnStart = 1; logOnStart = \"protocol says hello\"; databases = ( { dll = "
        "\"testdatabase" +
        suffix + "\"; } ); } );";
    auto logAt = [&](const std::string& level) {
        fs::remove(dir.file("OstraService.log"));
        writeConfig("logs = ( { type = \"FILE\"; " + level + " } ); " + protocols);
        EXPECT_EQ(run({"console"}, "S").exitCode, 0) << level;
        return testing_support::readFile(dir.file("OstraService.log"));
    };
    for (const std::string level : {"", "level = \"info\";"}) {
        std::string log = logAt(level);
        EXPECT_NE(log.find("Service started"), std::string::npos) << level;
        EXPECT_NE(log.find("protocol says hello"), std::string::npos) << level;
        EXPECT_EQ(log.find("protocolEventProc"), std::string::npos) << level << log;
    }
    std::string log = logAt("level = \"ERROR\";");
    EXPECT_EQ(log.find("protocol says hello"), std::string::npos) << log;
    EXPECT_EQ(logTexts(dir.file("OstraService.log")),
              (std::vector<std::string>{"Console started", "Service started", "Service stopped",
                                        "Console stopped"}))
        << "the lines of the host's life are written at every level";
    log = logAt("level = \"DEBUG\";");
    EXPECT_NE(log.find("ProtocolApp protocolEventProc WAIT"), std::string::npos);
}
