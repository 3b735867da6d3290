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

TEST_F(ServiceLinux, WithoutAVerbTheServiceRunsUntilSigterm) { serviceRunEndsOnSigterm({}); }

TEST_F(ServiceLinux, AnUnknownVerbRunsTheServiceToo) { serviceRunEndsOnSigterm({"run"}); }

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

TEST_F(ServiceLinux, InstallWritesAUnitThatSystemdAcceptsAndRemoveDeletesIt) {
    fs::create_directory(dir.path() / "units");
    std::string units = (dir.path() / "units").string();
    setenv("OSTRA_SYSTEMD_UNIT_DIR", units.c_str(), 1);
    writeConfig("logs = ( { type = \"FILE\"; } ); " + basics(), "Kasa");

    EXPECT_EQ(run({"install", "Kasa"}).exitCode, 0);
    std::string unit = units + "/Kasa.service";
    ASSERT_TRUE(fs::exists(unit));
    std::string text = testing_support::readFile(unit);
    EXPECT_NE(text.find("ExecStart=" + executable() + " service Kasa\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("Type=notify\n"), std::string::npos);

    testing_support::ChildProcess verify("/usr/bin/systemd-analyze", {"verify", unit}, units);
    EXPECT_EQ(verify.wait(std::chrono::seconds(60)), 0) << verify.output();

    EXPECT_EQ(run({"remove", "Kasa"}).exitCode, 0);
    EXPECT_FALSE(fs::exists(unit));
    auto again = run({"Uninstall", "Kasa"});
    EXPECT_NE(again.exitCode, 0);
    EXPECT_EQ(logTexts(dir.file("Kasa.log")),
              (std::vector<std::string>{"Servis Kasa je instaliran", "Servis Kasa je deinstaliran",
                                        "Nije uspjela deinstalacija servisa Kasa"}));
    unsetenv("OSTRA_SYSTEMD_UNIT_DIR");
}
