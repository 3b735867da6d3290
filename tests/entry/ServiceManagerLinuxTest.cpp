// What systemd hears from the service: readiness once the protocols
// listen, a set-up failure as exit code 78 without readiness, a stop at any
// moment, and the journal's priorities. The test plays systemd's part:
// its own notification socket, JOURNAL_STREAM set.
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <sstream>

#include "../bundled/LineClient.h"
#include "ExecutableFixture.h"

namespace {

// A datagram socket where the child process sends its sd_notify states.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        setenv("NOTIFY_SOCKET", path.c_str(), 1);
    }
    ~NotifySocket() {
        unsetenv("NOTIFY_SOCKET");
        close(fd_);
    }
    // The states received so far, in order.
    const std::vector<std::string>& states() {
        char buffer[4096];
        for (ssize_t n; (n = recv(fd_, buffer, sizeof buffer, 0)) > 0;)
            states_.emplace_back(buffer, static_cast<size_t>(n));
        return states_;
    }
    bool received(const std::string& state) {
        for (const auto& s : states())
            if (s == state) return true;
        return false;
    }

private:
    int fd_;
    std::vector<std::string> states_;
};

class ServiceManagerLinux : public ExecutableFixture {
protected:
    std::string suffix = OSTRA_PLUGIN_SUFFIX;
    std::string control = "control = { dll = \"testcontrol" + suffix + "\"; };";
    std::string log() const { return dir.file("OstraService.log"); }
    // The service as systemd runs it: JOURNAL_STREAM names the very
    // stream standard error is.
    std::unique_ptr<testing_support::ChildProcess> serviceUnderJournal() {
        return std::make_unique<testing_support::ChildProcess>(
            "/bin/bash",
            std::vector<std::string>{"-c",
                                     "export JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2); "
                                     "exec '" +
                                         executable() + "' service"},
            dir.path().string());
    }
    // Whether the log file holds `text` anywhere, within a minute.
    bool eventuallyLogged(const std::string& text) const {
        return eventually(
            [&] { return testing_support::readFile(log()).find(text) != std::string::npos; });
    }
};

}  // namespace

TEST_F(ServiceManagerLinux, ASetUpFailureEndsWithExitCode78AndNeverSaysReady) {
    NotifySocket notify(dir.file("notify"));
    // No control group: the configuration is incomplete.
    writeConfig("logs = ( { type = \"FILE\"; } ); protocols = ( );");
    EXPECT_EQ(run({"service"}).exitCode, 78);
    EXPECT_EQ(run({"console"}).exitCode, 78) << "a console whose set-up failed ended as if stopped";
    // Malformed: the service run says so by its exit code too; the other
    // verbs keep -1.
    testing_support::writeFile(configPath(), "OstraService: { logs = ( ");
    auto malformed = run({});
    EXPECT_EQ(malformed.exitCode, 78);
    EXPECT_NE(malformed.output.find("nije ispravna"), std::string::npos) << malformed.output;
    EXPECT_EQ(run({"console"}).exitCode, testing_support::exitCodeOfMinusOne());

    EXPECT_FALSE(notify.received("READY=1"));
}

TEST_F(ServiceManagerLinux, ReadyComesOnceTheProtocolsListenAndStoppingWhenTheStopBegins) {
    NotifySocket notify(dir.file("notify"));
    int port = freePort();
    writeConfig("logs = ( { type = \"FILE\"; } ); " + control +
                " protocols = ( { name = \"P\"; type = \"PBX\"; dll = \"tcpline" + suffix +
                "\"; port = " + std::to_string(port) + "; databases = ( ); } );");
    testing_support::ChildProcess service(executable(), {"service"}, dir.path().string());
    ASSERT_TRUE(eventually([&] { return notify.received("READY=1"); })) << service.output();
    EXPECT_TRUE(portAccepts(port)) << "READY=1 came before the protocol listened";

    service.terminate();
    EXPECT_EQ(service.wait(std::chrono::seconds(30)), 0);
    EXPECT_TRUE(notify.received("STOPPING=1"));
}

TEST_F(ServiceManagerLinux, ASigtermDuringTheSetUpStopsTheRunWithoutReadiness) {
    NotifySocket notify(dir.file("notify"));
    writeConfig("logs = ( { type = \"FILE\"; } ); " + control +
                " protocols = ( { name = \"P\"; type = \"PBX\"; dll = \"testprotocol" + suffix +
                "\"; logOnStart = \"protocol starting\"; startDelayMs = 1500; databases = ( ); "
                "} );");
    testing_support::ChildProcess service(executable(), {"service"}, dir.path().string());
    ASSERT_TRUE(eventuallyLogged("protocol starting"));
    service.terminate();
    EXPECT_EQ(service.wait(std::chrono::seconds(15)), 0) << "the stop was lost";
    EXPECT_FALSE(notify.received("READY=1"));
    EXPECT_TRUE(notify.received("STOPPING=1"));
    EXPECT_TRUE(logHas(log(), "Service stopped"));
}

TEST_F(ServiceManagerLinux, UnderTheJournalInfoAndErrorLinesGoToStandardErrorWithPriorities) {
    // A database library named as the control: one ERROR line. A relayed
    // record: DEBUG lines.
    writeConfig(
        "logs = ( { type = \"FILE\"; level = \"DEBUG\"; } ); control = { dll = \"testdatabase" +
        suffix + "\"; }; protocols = ( { name = \"P\"; type = \"PBX\"; dll = \"testprotocol" +
        suffix + "\"; raiseOnStart = 1; databases = ( { dll = \"testdatabase" + suffix +
        "\"; } ); } );");
    auto run = serviceUnderJournal();
    testing_support::ChildProcess& service = *run;
    ASSERT_TRUE(eventuallyLogged("DEBUG"));
    service.terminate();
    EXPECT_EQ(service.wait(std::chrono::seconds(30)), 0);

    bool info = false, error = false;
    std::istringstream output(service.output());
    for (std::string line; std::getline(output, line);) {
        EXPECT_EQ(line.find("DEBUG"), std::string::npos) << line;
        if (line.rfind("<6>", 0) == 0 && line.find("Service started") != std::string::npos)
            info = true;
        if (line.rfind("<3>", 0) == 0 && line.find("not a control plug-in") != std::string::npos)
            error = true;
    }
    EXPECT_TRUE(info) << service.output();
    EXPECT_TRUE(error) << service.output();
}

TEST_F(ServiceManagerLinux, AMalformedConfigurationUnderTheJournalIsFollowedByItsLine) {
    testing_support::writeFile(configPath(),
                               "OstraService: {\n  logs = ( );\n  control = { dll = ; };\n};\n");
    testing_support::ChildProcess service(
        "/bin/bash",
        {"-c", "export JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2); exec '" + executable() +
                   "' service"},
        dir.path().string());
    EXPECT_EQ(service.wait(std::chrono::seconds(30)), 78);
    // The message as it always was, then where the fault is.
    const std::string message =
        "<3>Konfiguracijska datoteka " + configPath() + " nije ispravna, greška: syntax error\n";
    EXPECT_NE(service.output().find(message + "<3>" + configPath() + ":3: syntax error\n"),
              std::string::npos)
        << service.output();
    EXPECT_TRUE(eventuallyLogged(configPath() + ":3: syntax error"));
}

TEST_F(ServiceManagerLinux, AnInheritedJournalStreamThatIsNotThisStreamChangesNoLine) {
    // A child of a service inherits the variable while its output goes to a
    // pipe or a file: its lines stay exactly the host's, without priorities.
    setenv("JOURNAL_STREAM", "8:12345", 1);
    Result result = run({"help"});
    unsetenv("JOURNAL_STREAM");
    EXPECT_EQ(result.output, "Neuspelo čitanje konfiguracijske datoteke " + configPath() + "\n");
}

TEST_F(ServiceManagerLinux, WithoutALogFileOnlyAFailureOpensOneBesideTheExecutable) {
    auto runFor = [&](const std::string& protocolDll) {
        writeConfig("logs = ( ); " + control +
                    " protocols = ( { name = \"P\"; type = \"PBX\"; dll = \"" + protocolDll +
                    "\"; databases = ( ); } );");
        testing_support::ChildProcess service(executable(), {"service"}, dir.path().string());
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        service.terminate();
        EXPECT_EQ(service.wait(std::chrono::seconds(30)), 0);
    };
    runFor("testprotocol" + suffix);
    EXPECT_FALSE(std::filesystem::exists(log())) << "a run that went well";
    runFor("missing" + suffix);
    EXPECT_NE(testing_support::readFile(log()).find("Nije uspjelo kreiranje protocola: P:missing" +
                                                    suffix),
              std::string::npos);
}

TEST_F(ServiceManagerLinux, ASighupReopensTheLogFileAndTheRunGoesOn) {
    writeConfig("logs = ( { type = \"FILE\"; } ); " + control + " protocols = ( );");
    testing_support::ChildProcess service(executable(), {"service"}, dir.path().string());
    ASSERT_TRUE(eventuallyLogged("Service started"));
    std::filesystem::rename(log(), log() + ".1");  // what logrotate does first
    service.hangUp();
    EXPECT_TRUE(eventuallyLogged("Log file reopened")) << service.output();
    EXPECT_FALSE(service.wait(std::chrono::milliseconds(200))) << "SIGHUP ended the run";
    service.terminate();
    EXPECT_EQ(service.wait(std::chrono::seconds(30)), 0);
    EXPECT_TRUE(logHas(log(), "Service stopped"));
    EXPECT_EQ(testing_support::readFile(log() + ".1").find("Service stopped"), std::string::npos);
}

TEST_F(ServiceManagerLinux, OutOfDescriptorsTheConsoleMakesRoomForTheOperatorAtOnce) {
    // Before, idle clients kept every descriptor and the operator waited
    // for their request deadline (19.9 s measured).
    int webPort = freePort();
    writeConfig("logs = ( { type = \"FILE\"; } ); control = { dll = \"webcontrol" + suffix +
                "\"; port = " + std::to_string(webPort) + "; }; protocols = ( );");
    testing_support::ChildProcess host(
        "/bin/bash", {"-c", "ulimit -n 32 && exec '" + executable() + "' console"},
        dir.path().string());
    ASSERT_TRUE(eventually([&] { return portAccepts(webPort); })) << host.output();
    // The first pass done (its status channel is open): the descriptors run
    // out while the host serves, not while it is still setting up.
    ASSERT_TRUE(eventually([&] {
        return std::filesystem::exists(dir.file("OstraService.status"));
    })) << host.output();
    std::vector<LineClient> idle;
    for (int i = 0; i < 60; ++i) idle.emplace_back(webPort);

    LineClient operatorClient(webPort);
    auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(operatorClient.send("GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    std::string status = operatorClient.readLine(10000);
    auto waited = std::chrono::steady_clock::now() - asked;
    EXPECT_EQ(status, "HTTP/1.1 200 OK\r");
    EXPECT_LT(waited, std::chrono::seconds(1));
    // Descriptors back for the end of the run (a sanitizer's report needs some).
    idle.clear();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    host.writeInput("S");
    EXPECT_EQ(host.wait(std::chrono::seconds(30)), 0) << host.output();
}

TEST_F(ServiceManagerLinux, InTheConsoleAHangUpEndsTheRunAsTheStopKeyDoes) {
    // The terminal has gone: nobody is left to press S.
    writeConfig("logs = ( { type = \"FILE\"; } ); " + control + " protocols = ( );");
    testing_support::ChildProcess console(executable(), {"console"}, dir.path().string());
    ASSERT_TRUE(eventuallyLogged("Service started"));
    console.hangUp();
    EXPECT_EQ(console.wait(std::chrono::seconds(30)), 0);
    EXPECT_TRUE(logHas(log(), "Console stopped"));
}

TEST_F(ServiceManagerLinux,
       ALogFileThatStartsLosingLinesIsSaidOnceInTheJournalAndAgainWhenItRecovers) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    const std::string folder = dir.file("logs");
    std::filesystem::create_directory(folder);
    writeConfig("logs = ( { type = \"FILE\"; path = \"logs\"; } ); " + control +
                " protocols = ( );");
    auto running = serviceUnderJournal();
    testing_support::ChildProcess& service = *running;
    const std::string file = folder + "/OstraService.log";
    ASSERT_TRUE(eventually([&] { return logHas(file, "Service started"); })) << service.output();
    auto said = [&](const std::string& text) {
        return eventually([&] { return service.output().find(text) != std::string::npos; });
    };
    // A full disk, as the reopened file finds it.
    std::filesystem::remove(file);
    std::filesystem::create_symlink("/dev/full", file);
    service.hangUp();
    // (named as the configuration has it)
    EXPECT_TRUE(
        said("<3>OstraService: the log file logs/OstraService.log cannot be written: "
             "its lines are being lost"))
        << service.output();
    Result status = run({"status"});
    EXPECT_NE(status.output.find("log: the log file cannot be written; "), std::string::npos)
        << status.output;
    service.hangUp();  // more lost lines, and no second notice
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::filesystem::remove(file);
    service.hangUp();
    EXPECT_TRUE(said("<6>OstraService: the log file logs/OstraService.log is written again;"))
        << service.output();
    service.terminate();
    EXPECT_EQ(service.wait(std::chrono::seconds(30)), 0);
    const std::string output = service.output();
    auto first = output.find("cannot be written");
    EXPECT_EQ(output.find("cannot be written", first + 1), std::string::npos) << output;
}

TEST_F(ServiceManagerLinux, AControlPlugInThatRefusesItsStartIsAnErrorInTheJournal) {
    writeConfig("logs = ( { type = \"FILE\"; } ); control = { dll = \"testcontrol" + suffix +
                "\"; startResult = 2; }; protocols = ( );");
    auto run = serviceUnderJournal();
    testing_support::ChildProcess& service = *run;
    const std::string line =
        "Plug-in testcontrol" + suffix + " (kontrola) nije pokrenut: start je vratio 2";
    EXPECT_TRUE(eventuallyLogged(line)) << service.output();
    service.terminate();
    EXPECT_EQ(service.wait(std::chrono::seconds(30)), 0);
    std::istringstream output(service.output());
    bool error = false;
    for (std::string text; std::getline(output, text);)
        error = error || (text.rfind("<3>", 0) == 0 && text.find(line) != std::string::npos);
    EXPECT_TRUE(error) << service.output();
}

TEST_F(ServiceManagerLinux,
       ASocketTheServiceManagerPassesIsServedAndAConnectionQueuedOnItIsAnswered) {
    // As a socket unit does: the listening socket exists before the
    // service, which gets it as descriptor 3 (LISTEN_FDS, LISTEN_PID).
    int port = freePort();
    writeConfig("logs = ( { type = \"FILE\"; } ); " + control +
                " protocols = ( { name = \"P\"; type = \"PBX\"; dll = \"tcpline" + suffix +
                "\"; bind = \"127.0.0.1\"; port = " + std::to_string(port) +
                "; databases = ( { dll = \"sqlite" + suffix + "\"; path = \"r.db\"; } ); } );");
    testing_support::ChildProcess service("/usr/bin/python3",
                                          {"-c",
                                           "import os, socket, sys\n"
                                           "s = socket.socket()\n"
                                           "s.bind(('127.0.0.1', " +
                                               std::to_string(port) +
                                               "))\n"
                                               "s.listen(16)\n"
                                               "os.dup2(s.fileno(), 3)\n"
                                               "os.environ['LISTEN_FDS'] = '1'\n"
                                               "os.environ['LISTEN_PID'] = str(os.getpid())\n"
                                               "os.execv(sys.argv[1], [sys.argv[1], 'service'])\n",
                                           executable()},
                                          dir.path().string());
    // Sent at once: it waits in the socket's queue until the host serves it
    // (a socket of the host's own could not be bound beside this one).
    LineClient early;
    ASSERT_TRUE(eventually([&] { return early.connect(port); })) << service.output();
    EXPECT_EQ(early.ask("N=1"), "0;ROW_ID=1") << service.output();
    service.terminate();
    EXPECT_EQ(service.wait(std::chrono::seconds(30)), 0) << service.output();
}
