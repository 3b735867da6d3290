// Linux: the folder's permissions, and what the service's systemd unit
// lets it see and write: the unit `install` wrote or a package's, with the
// drop-ins an operator added, and the user it runs as.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "OstraService/ConfigCheck.h"
#include "platform/textfile.h"
#include "service/SystemdUnit.h"

namespace config_check {

namespace {

// Whether `user` (with `uid`, in `groups`) may do `want` (bits of 7) to
// what `info` describes, by its mode bits (access lists are not read).
bool permits(const struct stat& info, uid_t uid, const std::vector<gid_t>& groups, int want) {
    if (uid == 0) return true;
    int granted = info.st_mode & 7;
    if (info.st_uid == uid)
        granted = (info.st_mode >> 6) & 7;
    else if (std::find(groups.begin(), groups.end(), info.st_gid) != groups.end())
        granted = (info.st_mode >> 3) & 7;
    return (granted & want) == want;
}

// Why the service's `user` cannot write into `folder`, or "".
std::string userRefusal(const std::string& user, const std::string& folder,
                        const std::string& unit) {
    const passwd* account = getpwnam(user.c_str());
    if (account == nullptr)
        return "is for the service's user " + user + " (User= in its unit " + unit +
               "), who is no user on this machine";
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (getgrouplist(user.c_str(), account->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        getgrouplist(user.c_str(), account->pw_gid, groups.data(), &count);
    }
    groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    // Every folder on the way must let the user through, the last one write too.
    std::string path;
    std::size_t next = 0;
    while (next != std::string::npos) {
        next = folder.find('/', next + 1);
        path = folder.substr(0, next == std::string::npos ? folder.size() : next);
        struct stat info;
        if (stat(path.empty() ? "/" : path.c_str(), &info) != 0) return "";
        const bool last = next == std::string::npos;
        if (!permits(info, account->pw_uid, groups, last ? 3 : 1))
            return "cannot be written by the service's user " + user + " (User= in its unit " +
                   unit + "): " +
                   (last ? "give it to that user (chown " + user + " " + path + ")"
                         : path + " does not let that user through");
    }
    return "";
}

// The most specific of `paths` holding `folder`: its length, or 0.
std::size_t deepestHolding(const std::vector<std::string>& paths, const std::string& folder) {
    std::size_t deepest = 0;
    for (const std::string& path : paths)
        if (systemd::isWithin(folder, path)) deepest = std::max(deepest, path.size());
    return deepest;
}

// The sandbox of the installed unit of `serviceName`, read from `unit`
// and its drop-ins; `unit` empty when none is installed.
systemd::Sandbox installedSandbox(const std::string& serviceName, std::string& unit) {
    systemd::Sandbox sandbox;
    const std::vector<std::string> files = systemd::unitFiles(serviceName);
    unit = files.empty() ? "" : files.front();
    std::string text, whyNot;
    for (const std::string& file : files)
        if (ostra::readTextFile(file, text, whyNot)) systemd::readSandbox(text, sandbox);
    return sandbox;
}

}  // namespace

std::string folderRefusal(const std::string& folder) {
    struct stat info;
    if (stat(folder.c_str(), &info) != 0)
        return errno == ENOENT ? "does not exist"
                               : "cannot be reached: " + std::string(strerror(errno));
    if (!S_ISDIR(info.st_mode)) return "is not a folder";
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        return "cannot be written: " + std::string(strerror(errno));
    return "";
}

bool serviceManagerMakes(const std::string& serviceName, const std::string& folder) {
    std::string unit;
    return deepestHolding(installedSandbox(serviceName, unit).made, folder) > 0;
}

std::string sandboxRefusal(const std::string& serviceName, const std::string& folder) {
    std::string unit;
    const systemd::Sandbox sandbox = installedSandbox(serviceName, unit);
    if (unit.empty()) return "";
    const std::string underUnit = " in its unit " + unit;
    if (deepestHolding(sandbox.hidden, folder) > 0)
        return "is hidden from the service (InaccessiblePaths=" + underUnit + ")";
    if (sandbox.privateTmp &&
        (systemd::isWithin(folder, "/tmp") || systemd::isWithin(folder, "/var/tmp")))
        return "is in the service's own /tmp (PrivateTmp=yes" + underUnit +
               "): the service sees another folder there, emptied whenever it starts; use one "
               "under /var/lib";
    if (!sandbox.protectHome.empty() &&
        (systemd::isWithin(folder, "/home") || systemd::isWithin(folder, "/root") ||
         systemd::isWithin(folder, "/run/user")))
        return std::string(sandbox.protectHome == "read-only" ? "is read-only to"
                                                              : "is hidden from") +
               " the service (ProtectHome=" + sandbox.protectHome + underUnit + ")";
    const std::size_t grantedAt =
        std::max(deepestHolding(sandbox.writable, folder), deepestHolding(sandbox.made, folder));
    if (deepestHolding(sandbox.readOnly, folder) > grantedAt)
        return "is read-only to the service (ReadOnlyPaths=" + underUnit + ")";
    if (!systemd::allowsWriting(sandbox, folder))
        return "is read-only to the service under its unit " + unit +
               " (ProtectSystem=strict): grant it with ReadWritePaths= in a drop-in (systemctl "
               "edit " +
               serviceName + ")";
    // systemd gives the folders it makes to the user itself.
    if (sandbox.user.empty() || deepestHolding(sandbox.made, folder) > 0) return "";
    return userRefusal(sandbox.user, folder, unit);
}

}  // namespace config_check
