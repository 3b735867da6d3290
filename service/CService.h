// CService: the process as a service.
//
// A service object has a name, a body (run) that the service back end calls
// on the service's thread, and a running state: isRunning() is true until a
// stop has been asked for, by the service manager, a signal, or a call of
// requestStop(). The body polls isRunning() and returns once it turns false.
//
// Back ends: on Windows the service control manager; on Linux systemd, with
// the process running in the foreground until SIGTERM or SIGINT. Results
// are 0 for success and otherwise the system's error code (Win32 error,
// errno, or systemctl's exit status).
#pragma once

#include <atomic>
#include <string>
#include <utility>
#include <vector>

class CService {
public:
    CService();
    virtual ~CService();
    CService(const CService&) = delete;
    CService& operator=(const CService&) = delete;

    // Called on the thread that received a stop request (service manager
    // stop, or SIGTERM/SIGINT), after isRunning() has turned false. Must
    // return at once. Default: nothing.
    virtual void onStopRequest();
    // The same for a system shutdown. Default: nothing.
    virtual void onShutdownRequest();
    // Linux: SIGHUP asks for the log files to be opened again (what
    // logrotate sends once it has moved them away); the run goes on. Called
    // on the signal thread. Default: nothing.
    virtual void onReopenLogRequest();
    // The service body, run on the service's thread.
    virtual void run() = 0;

    // The word before the service name on the command line of a service the
    // service manager starts: "<executable> service <name>".
    static constexpr const char* kServiceVerb = "service";

    // Registers this executable as the service `name`, shown as
    // `displayName`, so that the started process receives the name as its
    // second argument. Windows: automatic start, restarted after failures.
    // Linux: writes <name>.service into $OSTRA_SYSTEMD_UNIT_DIR or, when that
    // is not set, into /etc/systemd/system and enables it.
    int install(const char* name, const char* displayName);
    // Removes the service named by setName (stopping it first on Windows).
    int uninstall();
    // Asks the service manager to start, or to stop, the service `name`.
    int StartServiceA(const char* name);
    int StopService(const char* name);
    // Runs this process as the service: run() is called on the service's
    // thread, and start() returns once the service has ended. Linux: only
    // when a service manager started the process (systemd's INVOCATION_ID or
    // NOTIFY_SOCKET in the environment) or the run is `asked` for (the verb
    // "service": containers, foreground supervisors); otherwise nothing
    // runs and the result is kNoServiceManager, as Windows' dispatcher
    // refuses a process that its service manager did not start. Windows:
    // `asked` changes nothing.
    int start(bool asked = false);
    static constexpr int kNoServiceManager = 64;  // EX_USAGE; Windows gives its own 1063

    // Folders the service writes besides the executable's (the log's),
    // which install() grants in the Linux unit's sandbox. Windows: unused.
    void setWritableFolders(std::vector<std::string> folders) {
        writableFolders_ = std::move(folders);
    }
    // The account install() names for the service to run under; empty: the
    // service manager's own (root, LocalSystem). Linux: User= in the unit.
    // Windows: the service's logon account, one that needs no password
    // ("NT SERVICE\<name>", "NT AUTHORITY\LocalService").
    void setAccount(std::string account) { account_ = std::move(account); }

    void setName(const char* name);
    // The name given to setName, or "" when none was given.
    const char* getName() const { return name_.c_str(); }

    // False once a stop has been asked for. Thread safe.
    bool isRunning() const { return running_.load(); }

    // Asks the service body to end: isRunning() turns false, then
    // onStopRequest() runs. Safe from any thread, and from a signal
    // handler's thread; a second call changes nothing.
    void requestStop();

    // Called first by a derived object's destruction: asks the body to end.
    void stop();

    // What the body tells the service manager, from the service's thread.
    // Each does nothing when no service manager runs the process (console
    // mode, a test). Set-up goes on: systemd EXTEND_TIMEOUT_USEC, Windows a
    // new START_PENDING checkpoint.
    void reportStarting();
    // Set-up is done and the service serves: systemd READY=1, Windows
    // SERVICE_RUNNING. Left out once a stop has been asked for.
    void reportRunning();
    // How the service fares, in one line: systemd STATUS= (shown by
    // `systemctl status`). Windows has no such field: nothing.
    void reportStatus(const std::string& line);
    // The stop sequence begins: systemd STOPPING=1, Windows STOP_PENDING.
    void reportStopping();
    // Set-up failed: the run ends with `code` (not 0), which start()
    // returns and a Windows service ends with (ERROR_SERVICE_SPECIFIC_ERROR
    // and `code`), instead of success. The first code reported stands.
    void reportStartFailure(int code);
    // The code given to reportStartFailure, or 0.
    int startFailure() const { return startFailure_.load(); }

protected:
    // The back end starts a run: isRunning() is true again.
    void markRunning() { running_.store(true); }

private:
    friend struct ServiceBackEnd;

    std::string name_;
    std::vector<std::string> writableFolders_;
    std::string account_;
    std::atomic<bool> running_;
    std::atomic<int> startFailure_{0};
};
