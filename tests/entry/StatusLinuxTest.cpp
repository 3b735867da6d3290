// The status channel's unix socket: who may ask, clients that misbehave, a
// socket left by a killed host or held by a live one, a path too long.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "ExecutableFixture.h"

namespace {

// A client of the socket at `path` that does what the test says, and
// nothing else.
class RawClient {
public:
    explicit RawClient(const std::string& path) : fd_(socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { close(fd_); }
    bool connected() const { return connected_; }
    void send(const std::string& bytes) {
        ::send(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }

private:
    int fd_;
    bool connected_ = false;
};

}  // namespace

class StatusLinux : public ExecutableFixture {
protected:
    std::string socketPath(const std::string& service = "OstraService") const {
        return dir.file(service + ".status");
    }
    // A host in service mode on the basic configuration, once `status` reaches it.
    std::unique_ptr<testing_support::ChildProcess> startHost() {
        writeConfig("logs = ( { type = \"FILE\"; } ); " + basics());
        auto host = std::make_unique<testing_support::ChildProcess>(
            executable(), std::vector<std::string>{"service"}, dir.path().string());
        EXPECT_TRUE(eventually([&] { return run({"status"}).exitCode == 0; })) << host->output();
        return host;
    }
    Result runAsNobody() {
        testing_support::ChildProcess client(
            "/usr/bin/setpriv",
            {"--reuid=65534", "--regid=65534", "--clear-groups", executable(), "status"},
            dir.path().string());
        Result result;
        result.exitCode = client.wait(std::chrono::seconds(30));
        result.output = client.output();
        return result;
    }
};

TEST_F(StatusLinux, AnotherAccountIsRefusedBothByTheSocketsModeAndByThePeersUid) {
    if (geteuid() != 0) GTEST_SKIP() << "running the client as another account needs root";
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    auto host = startHost();
    struct stat socketFile;
    ASSERT_EQ(stat(socketPath().c_str(), &socketFile), 0);
    EXPECT_EQ(socketFile.st_mode & 0777, 0600u);

    Result refused = runAsNobody();
    EXPECT_EQ(refused.exitCode, 4) << refused.output;
    EXPECT_NE(refused.output.find("access refused"), std::string::npos) << refused.output;

    // A mode opened by mistake: the host still closes the stranger at once.
    chmod(socketPath().c_str(), 0666);
    refused = runAsNobody();
    EXPECT_EQ(refused.exitCode, 4) << refused.output;
    EXPECT_EQ(run({"status"}).exitCode, 0);
}

TEST_F(StatusLinux, ClientsThatNeverReadOrSendGarbageHoldUpNeitherTheNextStatusNorTheStop) {
    auto host = startHost();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<RawClient>(socketPath()));
        ASSERT_TRUE(clients.back()->connected());
        if (i % 2 == 1) clients.back()->send(std::string(64 * 1024, '\x7f') + "\nSTOP\n");
    }
    auto started = std::chrono::steady_clock::now();
    Result result = run({"status"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));

    started = std::chrono::steady_clock::now();
    host->terminate();
    EXPECT_EQ(host->wait(std::chrono::seconds(10)), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    EXPECT_FALSE(std::filesystem::exists(socketPath())) << "the stop leaves no socket behind";
}

TEST_F(StatusLinux, AKilledHostsSocketIsReplacedAndALiveHostsIsNotTaken) {
    startHost().reset();  // killed (SIGKILL): its socket file stays
    ASSERT_TRUE(std::filesystem::exists(socketPath()));
    EXPECT_EQ(run({"status"}).exitCode, 3);

    auto host = startHost();
    {
        testing_support::ChildProcess second(executable(), {"service"}, dir.path().string());
        const std::string refused =
            "No status channel (`status` will not reach this host): another running host of the "
            "name OstraService serves " +
            socketPath();
        EXPECT_TRUE(eventually([&] {
            return testing_support::readFile(dir.file("OstraService.log")).find(refused) !=
                   std::string::npos;
        }));
        second.terminate();
        EXPECT_EQ(second.wait(std::chrono::seconds(10)), 0) << "the second host runs on";
    }
    EXPECT_EQ(run({"status"}).exitCode, 0) << "the first host's socket was taken or removed";
    // The second host's look at the reload channel asked the first for nothing.
    EXPECT_EQ(
        testing_support::readFile(dir.file("OstraService.log")).find("Configuration reloaded"),
        std::string::npos);
}

TEST_F(StatusLinux, APathTooLongForASocketIsReportedAndTheHostRunsOn) {
    const std::string name(120 - dir.path().string().size(), 'L');
    writeConfig("logs = ( { type = \"FILE\"; } ); " + basics(), name);
    testing_support::ChildProcess host(executable(), {"service", name}, dir.path().string());
    EXPECT_TRUE(eventually([&] {
        return testing_support::readFile(dir.file(name + ".log"))
                   .find("bytes a unix socket's path may have") != std::string::npos;
    }));
    Result result = run({"status", name});
    EXPECT_EQ(result.exitCode, 4);
    EXPECT_NE(result.output.find("bytes a unix socket's path may have"), std::string::npos)
        << result.output;
    host.terminate();
    EXPECT_EQ(host.wait(std::chrono::seconds(10)), 0);
}
