// The service verbs on Windows, through Wine's service control manager.
#include <filesystem>
#include <thread>

#include "ExecutableFixture.h"
#include "platform/winapi.h"

namespace {

// The service's status; a state of 0 when it is not installed.
SERVICE_STATUS serviceStatus(const char* name) {
    SERVICE_STATUS status{};
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return status;
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
    if (service == nullptr || !QueryServiceStatus(service, &status)) status = SERVICE_STATUS{};
    if (service != nullptr) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return status;
}

DWORD serviceState(const char* name) { return serviceStatus(name).dwCurrentState; }

// Asks the service manager itself: the start verb would need a readable configuration.
bool startService(const char* name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, name, SERVICE_START) : nullptr;
    bool started = service != nullptr && StartServiceA(service, 0, nullptr);
    if (service != nullptr) CloseServiceHandle(service);
    if (manager != nullptr) CloseServiceHandle(manager);
    return started;
}

bool eventSourceRegistered(const std::string& name) {
    HKEY key;
    std::string path = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + name;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

}  // namespace

class ServiceWindows : public ExecutableFixture {};

TEST_F(ServiceWindows, RunningAsAServiceOutsideTheServiceManagerFailsWithItsErrorCode) {
    writeConfig("logs = ( { type = \"FILE\"; } ); " + basics());
    Result withoutVerb = run({});
    EXPECT_EQ(withoutVerb.exitCode, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    Result unknownVerb = run({"run"});
    EXPECT_EQ(unknownVerb.exitCode, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_EQ(logTexts(dir.file("OstraService.log")),
              (std::vector<std::string>{"Nije uspjelo pokretanje servisa OstraService",
                                        "Nije uspjelo pokretanje servisa run"}));
}

TEST_F(ServiceWindows, InstallStartStopAndRemoveThroughTheServiceManager) {
    for (const std::string name : {"OstraService", "Kasa"}) {
        SCOPED_TRACE(name);
        writeConfig("logs = ( { type = \"FILE\"; } ); " + basics(), name);
        std::string log = dir.file(name + ".log");
        std::vector<std::string> withName;
        if (name != "OstraService") withName.push_back(name);
        auto verb = [&](const char* word) {
            std::vector<std::string> arguments{word};
            arguments.insert(arguments.end(), withName.begin(), withName.end());
            return run(arguments).exitCode;
        };

        ASSERT_EQ(verb("install"), 0);
        EXPECT_EQ(serviceState(name.c_str()), static_cast<DWORD>(SERVICE_STOPPED));
        ASSERT_EQ(verb("start"), 0);
        ASSERT_TRUE(waitForLog(log, "Service started", 2)) << "the service read " << name << ".cfg";
        EXPECT_TRUE(eventually([&] { return serviceState(name.c_str()) == SERVICE_RUNNING; }));
        EXPECT_TRUE(eventSourceRegistered(name));
        auto sizeWhileRunning = std::filesystem::file_size(log);

        EXPECT_EQ(verb("STOP"), 0);
        EXPECT_TRUE(waitForLog(log, "Service stopped", 2));
        EXPECT_GT(std::filesystem::file_size(log), sizeWhileRunning);
        EXPECT_EQ(serviceState(name.c_str()), static_cast<DWORD>(SERVICE_STOPPED));

        EXPECT_EQ(verb("remove"), 0);
        EXPECT_EQ(serviceState(name.c_str()), 0u);
        EXPECT_FALSE(eventSourceRegistered(name));
        EXPECT_NE(verb("remove"), 0);
        EXPECT_TRUE(logHas(log, "Servis " + name + " je instaliran"));
        EXPECT_TRUE(logHas(log, "Servis " + name + " je deinstaliran"));
        EXPECT_TRUE(logHas(log, "Nije uspjela deinstalacija servisa " + name));
    }
}

TEST_F(ServiceWindows, ASetUpFailureEndsTheServiceWithItsOwnErrorCodeAndALineBesideTheExecutable) {
    const char* name = "Broken";
    // No control group, and no log list either: the line still lands in Broken.log.
    writeConfig("protocols = ( );", name);
    run({"remove", name});  // what a failed earlier run may have left
    ASSERT_EQ(run({"install", name}).exitCode, 0);
    for (bool missing : {false, true}) {
        SCOPED_TRACE(missing ? "missing configuration" : "incomplete configuration");
        if (missing) std::filesystem::remove(configPath(name));
        // Wine's StartService may already see the service gone and say it
        // failed; what counts is how the service ended.
        startService(name);
        ASSERT_TRUE(eventually([&] { return serviceState(name) == SERVICE_STOPPED; }));
        SERVICE_STATUS status = serviceStatus(name);
        EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
        EXPECT_EQ(status.dwServiceSpecificExitCode, 78u);
        std::string expected = missing ? "Neuspelo" : "ne sadr";
        EXPECT_TRUE(eventually([&] {
            return testing_support::readFile(dir.file("Broken.log")).find(expected) !=
                   std::string::npos;
        })) << testing_support::readFile(dir.file("Broken.log"));
    }
    writeConfig("protocols = ( );", name);
    EXPECT_EQ(run({"remove", name}).exitCode, 0);
}

TEST_F(ServiceWindows, TheServiceIsStartPendingUntilItsProtocolsHaveStarted) {
    const char* name = "Slow";
    std::string suffix = OSTRA_PLUGIN_SUFFIX;
    writeConfig("logs = ( { type = \"FILE\"; } ); control = { dll = \"testcontrol" + suffix +
                    "\"; }; protocols = ( { name = \"P\"; type = \"PBX\"; dll = \"testprotocol" +
                    suffix + "\"; startDelayMs = 3000; databases = ( ); } );",
                name);
    run({"remove", name});  // what a failed earlier run may have left
    ASSERT_EQ(run({"install", name}).exitCode, 0);
    ASSERT_EQ(run({"start", name}).exitCode, 0);
    ASSERT_TRUE(waitForLog(dir.file("Slow.log"), "Service started"));
    EXPECT_EQ(serviceState(name), static_cast<DWORD>(SERVICE_START_PENDING))
        << "RUNNING before the protocol had started";
    EXPECT_TRUE(eventually([&] { return serviceState(name) == SERVICE_RUNNING; }));
    EXPECT_EQ(run({"stop", name}).exitCode, 0);
    EXPECT_EQ(run({"remove", name}).exitCode, 0);
}
