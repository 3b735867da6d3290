#include <unistd.h>

#include <climits>

#include "ExecutableDir.h"

namespace bundled_support {

std::string executableDir() {
    char buffer[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) return std::string();
    std::string path(buffer, static_cast<std::size_t>(length));
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string besideExecutable(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    std::string dir = executableDir();
    return dir.empty() ? path : dir + "/" + path;
}

}  // namespace bundled_support
