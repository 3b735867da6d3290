// The Linux back end: systemd units, and a foreground run ended by SIGTERM
// or SIGINT.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "platform/winapi.h"
#include "service/CService.h"
#include "service/StopSignals.h"
#include "service/SystemdNotify.h"

namespace {

// Tests and packagers point this elsewhere; then systemctl is left alone.
const char* customUnitDirectory() { return std::getenv("OSTRA_SYSTEMD_UNIT_DIR"); }

std::string unitPath(const std::string& name) {
    const char* custom = customUnitDirectory();
    return std::string(custom && *custom ? custom : "/etc/systemd/system") + "/" + name +
           ".service";
}

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

// systemd splits ExecStart= at blanks unless the word is quoted.
std::string quotedIfNeeded(const std::string& word) {
    return word.find_first_of(" \t") == std::string::npos ? word : "\"" + word + "\"";
}

}  // namespace

int CService::install(const char* name, const char* displayName) {
    if (name == nullptr || *name == '\0') return EINVAL;
    std::ofstream unit(unitPath(name), std::ios::trunc);
    if (!unit) return errno ? errno : EACCES;
    unit << "[Unit]\n"
         << "Description=" << (displayName && *displayName ? displayName : name)
         << " (OstraService plug-in host)\n"
         << "After=network-online.target\n"
         << "Wants=network-online.target\n\n"
         << "[Service]\n"
         << "Type=notify\n"
         << "ExecStart=" << quotedIfNeeded(executablePath()) << " " << kServiceVerb << " " << name
         << "\n"
         << "WorkingDirectory=" << ostra::executableDirectory() << "\n"
         << "Restart=on-failure\n"
         << "RestartSec=5\n"
         << "TimeoutStopSec=60\n\n"
         << "[Install]\n"
         << "WantedBy=multi-user.target\n";
    unit.close();
    if (!unit) return EIO;
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

int CService::start() {
    StopSignals signals(*this);
    markRunning();
    std::thread body([this] { run(); });
    systemd::notify("READY=1");
    body.join();
    return 0;
}
