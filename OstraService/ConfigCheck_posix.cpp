// Linux: the folder's permissions, and the sandbox of the systemd unit
// `install` wrote (with the drop-ins an operator added).
#include <dirent.h>
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

// The drop-ins of `unit`, in the order systemd reads them.
std::vector<std::string> dropIns(const std::string& unit) {
    std::vector<std::string> files;
    const std::string folder = unit + ".d";
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) return files;
    while (dirent* item = readdir(listing)) {
        std::string name = item->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".conf") == 0)
            files.push_back(folder + "/" + name);
    }
    closedir(listing);
    std::sort(files.begin(), files.end());
    return files;
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

std::string sandboxRefusal(const std::string& serviceName, const std::string& folder) {
    const std::string unit = systemd::unitFilePath(serviceName);
    std::string text, whyNot;
    if (!ostra::readTextFile(unit, text, whyNot)) return "";
    systemd::Sandbox sandbox;
    systemd::readSandbox(text, sandbox);
    for (const std::string& dropIn : dropIns(unit))
        if (ostra::readTextFile(dropIn, text, whyNot)) systemd::readSandbox(text, sandbox);
    if (systemd::allowsWriting(sandbox, folder)) return "";
    return "is read-only to the service under its unit " + unit +
           " (ProtectSystem=strict): grant it with ReadWritePaths= in a drop-in (systemctl "
           "edit " +
           serviceName + ")";
}

}  // namespace config_check
