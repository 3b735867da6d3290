// The Windows back end: the service control manager.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform/event_log.h"
#include "platform/winapi.h"
#include "service/CService.h"

namespace {

// Closes a service manager handle when it goes.
class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ScHandle() {
        if (handle_ != nullptr) CloseServiceHandle(handle_);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};

constexpr DWORD kStartWaitHint = 30000;
constexpr DWORD kStopWaitHint = 10000;

DWORD waitForState(SC_HANDLE service, DWORD wanted, DWORD milliseconds) {
    SERVICE_STATUS status;
    for (DWORD waited = 0;; waited += 100) {
        if (!QueryServiceStatus(service, &status)) return GetLastError();
        if (status.dwCurrentState == wanted) return 0;
        if (waited >= milliseconds) return ERROR_SERVICE_REQUEST_TIMEOUT;
        Sleep(100);
    }
}

}  // namespace

// What the service control manager calls back into, for the one service
// object of the process.
struct ServiceBackEnd {
    static CService* service;
    static SERVICE_STATUS_HANDLE statusHandle;
    static std::mutex lock;
    static std::condition_variable changed;
    static DWORD state;
    static bool stopAsked;
    static bool ended;
    static DWORD checkpoint;

    // Holding `lock`. A stop is accepted from the first moment on: one that
    // comes during set-up ends the run right after it.
    static void report(DWORD newState, DWORD waitHint, int failure = 0) {
        state = newState;
        SERVICE_STATUS status{};
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwCurrentState = newState;
        status.dwControlsAccepted = newState == SERVICE_RUNNING || newState == SERVICE_START_PENDING
                                        ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN
                                        : 0;
        status.dwWin32ExitCode = failure != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
        status.dwServiceSpecificExitCode = static_cast<DWORD>(failure);
        status.dwWaitHint = waitHint;
        status.dwCheckPoint =
            newState == SERVICE_RUNNING || newState == SERVICE_STOPPED ? 0 : ++checkpoint;
        SetServiceStatus(statusHandle, &status);
    }

    static void beginStop() {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (statusHandle == nullptr || stopAsked || state == SERVICE_STOPPED) return;
            stopAsked = true;
            report(SERVICE_STOP_PENDING, kStopWaitHint);
        }
        changed.notify_all();
    }

    // Never blocks: it reports, asks the body to end, and returns.
    static DWORD WINAPI onControl(DWORD control, DWORD, LPVOID, LPVOID) {
        switch (control) {
            case SERVICE_CONTROL_STOP:
            case SERVICE_CONTROL_SHUTDOWN:
                beginStop();
                service->requestStop();
                if (control == SERVICE_CONTROL_SHUTDOWN) service->onShutdownRequest();
                return NO_ERROR;
            case SERVICE_CONTROL_INTERROGATE:
                return NO_ERROR;
            default:
                return ERROR_CALL_NOT_IMPLEMENTED;
        }
    }

    static void WINAPI serviceMain(DWORD, LPSTR*) {
        {
            std::lock_guard<std::mutex> guard(lock);
            statusHandle = RegisterServiceCtrlHandlerExA(service->getName(), onControl, nullptr);
            if (statusHandle == nullptr) return;
            report(SERVICE_START_PENDING, kStartWaitHint);
        }
        // While the stop sequence runs, the manager is told it progresses.
        std::thread progress([] {
            std::unique_lock<std::mutex> guard(lock);
            changed.wait(guard, [] { return stopAsked || ended; });
            while (!ended) {
                report(SERVICE_STOP_PENDING, kStopWaitHint);
                changed.wait_for(guard, std::chrono::seconds(1));
            }
        });
        service->run();
        {
            std::lock_guard<std::mutex> guard(lock);
            ended = true;
        }
        changed.notify_all();
        progress.join();
        std::lock_guard<std::mutex> guard(lock);
        report(SERVICE_STOPPED, 0, service->startFailure());
    }
};

CService* ServiceBackEnd::service = nullptr;
SERVICE_STATUS_HANDLE ServiceBackEnd::statusHandle = nullptr;
DWORD ServiceBackEnd::state = SERVICE_STOPPED;
std::mutex ServiceBackEnd::lock;
std::condition_variable ServiceBackEnd::changed;
bool ServiceBackEnd::stopAsked = false;
bool ServiceBackEnd::ended = false;
DWORD ServiceBackEnd::checkpoint = 0;

int CService::install(const char* name, const char* displayName) {
    char executable[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, executable, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return static_cast<int>(GetLastError());
    std::string command = std::string("\"") + executable + "\" " + kServiceVerb + " " + name;

    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) return static_cast<int>(GetLastError());
    ScHandle service(CreateServiceA(
        manager.get(), name, displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
        account_.empty() ? nullptr : account_.c_str(), nullptr));
    if (!service) return static_cast<int>(GetLastError());

    // Nice to have; a manager that does not take them still runs the service.
    char description[] = "OstraService plug-in host";
    SERVICE_DESCRIPTIONA about{description};
    ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &about);
    SC_ACTION restart[3] = {
        {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 300000}};
    SERVICE_FAILURE_ACTIONSA onFailure{86400, nullptr, nullptr, 3, restart};
    ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &onFailure);
    // Where a failed set-up is reported when no log file can say it.
    ostra::registerEventSource(name, executable);
    return 0;
}

int CService::uninstall() {
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return static_cast<int>(GetLastError());
    ScHandle service(
        OpenServiceA(manager.get(), getName(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
        DWORD error = GetLastError();
        // A service deleted by hand (sc delete) leaves its event source behind.
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) ostra::unregisterEventSource(getName());
        return static_cast<int>(error);
    }
    SERVICE_STATUS status;
    if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
        waitForState(service.get(), SERVICE_STOPPED, 30000);
    if (!DeleteService(service.get())) return static_cast<int>(GetLastError());
    ostra::unregisterEventSource(getName());
    return 0;
}

int CService::StartServiceA(const char* name) {
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return static_cast<int>(GetLastError());
    ScHandle service(OpenServiceA(manager.get(), name, SERVICE_START));
    if (!service) return static_cast<int>(GetLastError());
    if (!::StartServiceA(service.get(), 0, nullptr)) return static_cast<int>(GetLastError());
    return 0;
}

int CService::StopService(const char* name) {
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return static_cast<int>(GetLastError());
    ScHandle service(OpenServiceA(manager.get(), name, SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) return static_cast<int>(GetLastError());
    SERVICE_STATUS status;
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
        return static_cast<int>(GetLastError());
    return static_cast<int>(waitForState(service.get(), SERVICE_STOPPED, 60000));
}

int CService::start(bool) {
    markRunning();
    ServiceBackEnd::service = this;
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(getName()), ServiceBackEnd::serviceMain},
                                    {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) return static_cast<int>(GetLastError());
    return startFailure();
}

void CService::reportStarting() {
    std::lock_guard<std::mutex> guard(ServiceBackEnd::lock);
    if (ServiceBackEnd::statusHandle != nullptr && ServiceBackEnd::state == SERVICE_START_PENDING)
        ServiceBackEnd::report(SERVICE_START_PENDING, kStartWaitHint);
}

void CService::reportRunning() {
    std::lock_guard<std::mutex> guard(ServiceBackEnd::lock);
    if (ServiceBackEnd::statusHandle != nullptr && ServiceBackEnd::state == SERVICE_START_PENDING &&
        !ServiceBackEnd::stopAsked && isRunning())
        ServiceBackEnd::report(SERVICE_RUNNING, 0);
}

void CService::reportStopping() { ServiceBackEnd::beginStop(); }

void CService::reportStatus(const std::string&) {}
