// The service verbs on Windows, through Wine's service control manager.
#include <thread>

#include "ExecutableFixture.h"
#include "platform/winapi.h"

namespace {

// The service's current state, or 0 when it is not installed.
DWORD serviceState(const char* name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return 0;
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
    DWORD state = 0;
    SERVICE_STATUS status;
    if (service != nullptr && QueryServiceStatus(service, &status)) state = status.dwCurrentState;
    if (service != nullptr) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return state;
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
        EXPECT_EQ(serviceState(name.c_str()), static_cast<DWORD>(SERVICE_RUNNING));
        auto sizeWhileRunning = std::filesystem::file_size(log);

        EXPECT_EQ(verb("STOP"), 0);
        EXPECT_TRUE(waitForLog(log, "Service stopped", 2));
        EXPECT_GT(std::filesystem::file_size(log), sizeWhileRunning);
        EXPECT_EQ(serviceState(name.c_str()), static_cast<DWORD>(SERVICE_STOPPED));

        EXPECT_EQ(verb("remove"), 0);
        EXPECT_EQ(serviceState(name.c_str()), 0u);
        EXPECT_NE(verb("remove"), 0);
        EXPECT_TRUE(logHas(log, "Servis " + name + " je instaliran"));
        EXPECT_TRUE(logHas(log, "Servis " + name + " je deinstaliran"));
        EXPECT_TRUE(logHas(log, "Nije uspjela deinstalacija servisa " + name));
    }
}
