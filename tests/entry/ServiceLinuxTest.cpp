// The service verbs on Linux: a foreground run ended by SIGTERM, and
// systemd unit files.
#include <stdlib.h>

#include <fstream>
#include <thread>

#include "ExecutableFixture.h"

namespace fs = std::filesystem;

class ServiceLinux : public ExecutableFixture {
protected:
    void serviceRunEndsOnSigterm(const std::vector<std::string>& arguments) {
        writeConfig("logs = ( { type = \"FILE\"; } ); " + basics());
        std::string log = dir.file("OstraService.log");
        testing_support::ChildProcess service(executable(), arguments, dir.path().string());
        ASSERT_TRUE(waitForLog(log, "Service started", 2));
        service.terminate();
        EXPECT_EQ(service.wait(std::chrono::seconds(30)), 0);
        EXPECT_EQ(logTexts(log), (std::vector<std::string>{"Service started", "Service started",
                                                           "Service stopped", "Service stopped"}));
    }
};

namespace {
// What systemd sets in the environment of every process it starts.
class UnderServiceManager {
public:
    UnderServiceManager() { setenv("INVOCATION_ID", "5d1e3b6c8f0a4e2b9c7d1a3f5e7b9d0c", 1); }
    ~UnderServiceManager() { unsetenv("INVOCATION_ID"); }
};
}  // namespace

TEST_F(ServiceLinux, WithoutAVerbUnderAServiceManagerTheServiceRunsUntilSigterm) {
    UnderServiceManager manager;
    serviceRunEndsOnSigterm({});
}

TEST_F(ServiceLinux, AnUnknownVerbUnderAServiceManagerRunsTheServiceToo) {
    UnderServiceManager manager;
    serviceRunEndsOnSigterm({"run"});
}

TEST_F(ServiceLinux, TheServiceVerbRunsTheServiceWithoutAServiceManager) {
    // Containers and foreground supervisors ask for it by name.
    serviceRunEndsOnSigterm({"Service"});
}

TEST_F(ServiceLinux, AWordThatIsNoVerbOutsideAServiceManagerStartsNothing) {
    unsetenv("INVOCATION_ID");
    unsetenv("NOTIFY_SOCKET");
    writeConfig("logs = ( { type = \"FILE\"; } ); " + basics());
    const std::string journal = dir.file("plugins.journal");
    setenv("OSTRA_TEST_JOURNAL", journal.c_str(), 1);
    EXPECT_EQ(run({"stauts"}).exitCode, 64);
    EXPECT_EQ(run({}).exitCode, 64);
    unsetenv("OSTRA_TEST_JOURNAL");
    EXPECT_FALSE(fs::exists(journal))
        << "a plug-in was made: " << testing_support::readFile(journal);
    EXPECT_EQ(logTexts(dir.file("OstraService.log")),
              (std::vector<std::string>{"Nije uspjelo pokretanje servisa stauts",
                                        "Nije uspjelo pokretanje servisa OstraService"}));
}

TEST_F(ServiceLinux, CtrlCEndsAConsoleRunThroughTheStopSequence) {
    writeConfig("logs = ( { type = \"FILE\"; } ); " + basics());
    std::string log = dir.file("OstraService.log");
    testing_support::ChildProcess console(executable(), {"console"}, dir.path().string());
    ASSERT_TRUE(waitForLog(log, "Service started"));
    console.interrupt();
    EXPECT_EQ(console.wait(std::chrono::seconds(30)), 0);
    EXPECT_TRUE(logHas(log, "Console stopped"));
}

TEST_F(ServiceLinux, OnATerminalKeysAreReadWithoutEnterAndWithoutEcho) {
    writeConfig("logs = ( { type = \"FILE\"; } ); " + basics());
    std::string log = dir.file("OstraService.log");
    // script gives the program a pseudo-terminal and types what we write.
    testing_support::ChildProcess terminal(
        "/usr/bin/script", {"-qfec", executable() + " console", "/dev/null"}, dir.path().string());
    ASSERT_TRUE(waitForLog(log, "Service started"));
    terminal.writeInput("xyz");
    EXPECT_FALSE(terminal.wait(std::chrono::milliseconds(500)));
    terminal.writeInput("s");
    EXPECT_EQ(terminal.wait(std::chrono::seconds(30)), 0);
    std::string screen = withoutCarriageReturns(terminal.output());
    EXPECT_EQ(screen, "OstraService started, press S to stop\nOstraService stopped\n")
        << "keys were echoed or the output differs";
    EXPECT_TRUE(logHas(log, "Console stopped"));
}

TEST_F(ServiceLinux, InstallWritesAUnitThatSystemdAcceptsRefusesToReplaceItAndRemoveDeletesIt) {
    fs::create_directory(dir.path() / "units");
    std::string units = (dir.path() / "units").string();
    setenv("OSTRA_SYSTEMD_UNIT_DIR", units.c_str(), 1);
    // A FILE entry's folder outside the executable's: the sandbox must let
    // the host write there too. The account it runs under is read at install.
    writeConfig(
        "account = \"kasa\"; "
        "logs = ( { type = \"FILE\"; path = \"/var/log/kasa\"; }, { type = \"FILE\"; } ); " +
            basics(),
        "Kasa");

    EXPECT_EQ(run({"install", "Kasa"}).exitCode, 0);
    std::string unit = units + "/Kasa.service";
    ASSERT_TRUE(fs::exists(unit));
    std::string text = testing_support::readFile(unit);
    EXPECT_NE(text.find("ReadWritePaths=\"-/var/log/kasa\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("ExecStart=\"" + executable() + "\" service \"Kasa\"\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("User=kasa\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Type=notify\n"), std::string::npos);
    EXPECT_NE(text.find("RestartPreventExitStatus=78\n"), std::string::npos);

    // A second install would silently replace the unit an operator may have edited.
    auto twice = run({"install", "Kasa"});
    EXPECT_EQ(twice.exitCode, EEXIST);
    EXPECT_EQ(testing_support::readFile(unit), text);

    testing_support::ChildProcess verify("/usr/bin/systemd-analyze", {"verify", unit}, units);
    EXPECT_EQ(verify.wait(std::chrono::seconds(60)), 0) << verify.output();

    EXPECT_EQ(run({"remove", "Kasa"}).exitCode, 0);
    EXPECT_FALSE(fs::exists(unit));
    auto again = run({"Uninstall", "Kasa"});
    EXPECT_NE(again.exitCode, 0);
    EXPECT_EQ(logTexts(dir.file("Kasa.log")),
              (std::vector<std::string>{
                  "Servis Kasa je instaliran", "Nije uspjela instalacija servisa Kasa",
                  "Servis Kasa je deinstaliran", "Nije uspjela deinstalacija servisa Kasa"}));
    unsetenv("OSTRA_SYSTEMD_UNIT_DIR");
}

TEST_F(ServiceLinux, AtLevelErrorTheServiceAndInstallLinesAreStillWritten) {
    fs::create_directory(dir.path() / "units");
    setenv("OSTRA_SYSTEMD_UNIT_DIR", (dir.path() / "units").string().c_str(), 1);
    writeConfig("logs = ( { type = \"FILE\"; level = \"ERROR\"; } ); " + basics());
    std::string log = dir.file("OstraService.log");
    EXPECT_EQ(run({"install"}).exitCode, 0);
    testing_support::ChildProcess service(executable(), {"service"}, dir.path().string());
    ASSERT_TRUE(waitForLog(log, "Service started", 2));
    service.terminate();
    EXPECT_EQ(service.wait(std::chrono::seconds(30)), 0);
    EXPECT_EQ(run({"remove"}).exitCode, 0);
    unsetenv("OSTRA_SYSTEMD_UNIT_DIR");
    EXPECT_EQ(logTexts(log),
              (std::vector<std::string>{"Servis OstraService je instaliran", "Service started",
                                        "Service started", "Service stopped", "Service stopped",
                                        "Servis OstraService je deinstaliran"}));
}

TEST_F(ServiceLinux, AnInstallFolderWithSpecifiersAndBlanksGivesAUnitThatNamesItExactly) {
    // "%h" would be the home folder to systemd, "$HOME" a variable, the blank a word break.
    fs::path folder = dir.path() / "my%h $HOME dir";
    fs::create_directory(folder);
    for (const auto& file : fs::directory_iterator(dir.path()))
        if (file.is_regular_file()) fs::copy_file(file.path(), folder / file.path().filename());
    fs::create_directory(dir.path() / "units");
    std::string units = (dir.path() / "units").string();
    setenv("OSTRA_SYSTEMD_UNIT_DIR", units.c_str(), 1);
    writeConfig("logs = ( { type = \"FILE\"; } ); " + basics());
    fs::copy_file(configPath(), folder / "OstraService.cfg");

    testing_support::ChildProcess install((folder / executableName()).string(), {"install"},
                                          folder.string());
    EXPECT_EQ(install.wait(std::chrono::seconds(60)), 0) << install.output();
    std::string unit = units + "/OstraService.service";
    std::string text = testing_support::readFile(unit);
    std::string quoted = "\"" + dir.path().string() + "/my%%h $HOME dir/OstraService\"";
    EXPECT_NE(text.find("ExecStart=" + quoted + " service"), std::string::npos) << text;
    EXPECT_NE(text.find("WorkingDirectory=" + dir.path().string() + "/my%%h $HOME dir\n"),
              std::string::npos)
        << text;
    // verify fails on an ExecStart whose program does not exist.
    testing_support::ChildProcess verify("/usr/bin/systemd-analyze", {"verify", unit}, units);
    EXPECT_EQ(verify.wait(std::chrono::seconds(60)), 0) << verify.output();
    unsetenv("OSTRA_SYSTEMD_UNIT_DIR");
}

TEST_F(ServiceLinux, AConsoleRunReadsItsKeysFromAFileAndVerbsSpeakOnATerminal) {
    writeConfig("logs = ( { type = \"FILE\"; } ); " + basics());
    testing_support::writeFile(dir.file("keys.txt"), "xS");
    testing_support::ChildProcess fromFile(
        "/bin/sh", {"-c", "exec '" + executable() + "' console < keys.txt"}, dir.path().string());
    EXPECT_EQ(fromFile.wait(std::chrono::seconds(30)), 0) << "the S in the file was not read";

    fs::create_directory(dir.path() / "units");
    setenv("OSTRA_SYSTEMD_UNIT_DIR", (dir.path() / "units").string().c_str(), 1);
    testing_support::ChildProcess terminal(
        "/usr/bin/script", {"-qfec", executable() + " install", "/dev/null"}, dir.path().string());
    EXPECT_EQ(terminal.wait(std::chrono::seconds(30)), 0);
    EXPECT_NE(terminal.output().find("Servis OstraService je instaliran"), std::string::npos)
        << terminal.output();
    EXPECT_EQ(run({"install"}).output, "") << "without a terminal the outcome is in the log only";
    unsetenv("OSTRA_SYSTEMD_UNIT_DIR");
}
