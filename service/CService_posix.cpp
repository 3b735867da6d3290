// The Linux back end: systemd units, and a foreground run ended by SIGTERM
// or SIGINT.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "platform/winapi.h"
#include "service/CService.h"
#include "service/StopSignals.h"
#include "service/SystemdNotify.h"
#include "service/SystemdUnit.h"

namespace {

// Tests and packagers point this elsewhere; then systemctl is left alone.
const char* customUnitDirectory() { return std::getenv("OSTRA_SYSTEMD_UNIT_DIR"); }

std::string unitPath(const std::string& name) { return systemd::unitFilePath(name); }

// Runs systemctl with `arguments`; its exit status, or errno when it could
// not be run at all.
int systemctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "systemctl");
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child < 0) return errno;
    if (child == 0) {
        execvp("systemctl", argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return errno;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string executablePath() {
    char path[4096];
    return GetModuleFileNameA(nullptr, path, sizeof path) > 0 ? path : "";
}

}  // namespace

int CService::install(const char* name, const char* displayName) {
    if (name == nullptr || *name == '\0') return EINVAL;
    std::string text =
        systemd::unitText(name, displayName && *displayName ? displayName : name, executablePath(),
                          ostra::executableDirectory(), writableFolders_, account_);
    if (text.empty()) return EINVAL;
    // Like the Windows service manager, an existing service is not replaced:
    // remove it first. O_EXCL also keeps two installs from racing.
    int fd = open(unitPath(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (close(fd) != 0) written = false;
    if (!written) {
        std::remove(unitPath(name).c_str());
        return EIO;
    }
    if (customUnitDirectory() == nullptr) {
        systemctl({"daemon-reload"});
        return systemctl({"enable", name});
    }
    return 0;
}

int CService::uninstall() {
    if (name_.empty()) return EINVAL;
    if (customUnitDirectory() == nullptr) systemctl({"disable", "--now", name_});
    if (std::remove(unitPath(name_).c_str()) != 0) return errno;
    if (customUnitDirectory() == nullptr) systemctl({"daemon-reload"});
    return 0;
}

int CService::StartServiceA(const char* name) { return systemctl({"start", name ? name : ""}); }

int CService::StopService(const char* name) { return systemctl({"stop", name ? name : ""}); }

namespace {
bool startedByServiceManager() {
    return std::getenv("INVOCATION_ID") != nullptr || std::getenv("NOTIFY_SOCKET") != nullptr;
}
}  // namespace

int CService::start(bool asked) {
    // A mistyped verb at a terminal must not run a whole host (as root, on
    // the production log and database).
    if (!asked && !startedByServiceManager()) return kNoServiceManager;
    // Running first, then the signals: a SIGTERM from here on is kept, even
    // one that arrives while the body sets up (it ends the run right after).
    markRunning();
    StopSignals signals(*this);
    std::thread body([this] { run(); });
    body.join();
    return startFailure();
}

void CService::reportStarting() {
    // Each step of the set-up gives it another 30 s before systemd gives up.
    systemd::notify("EXTEND_TIMEOUT_USEC=30000000");
}

void CService::reportRunning() {
    if (isRunning()) systemd::notify("READY=1");
}

void CService::reportStopping() { systemd::notify("STOPPING=1"); }

void CService::reportStatus(const std::string& line) {
    std::string status = "STATUS=" + line;
    for (char& c : status)
        if (c == '\n') c = ' ';  // a line break would end the notice
    systemd::notify(status.c_str());
}
