#include <windows.h>

#include "ExecutableDir.h"

namespace bundled_support {

std::string executableDir() {
    char buffer[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::string();
    std::string path(buffer, length);
    std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string besideExecutable(const std::string& path) {
    bool absolute = (path.size() > 1 && path[1] == ':') ||
                    (!path.empty() && (path[0] == '\\' || path[0] == '/'));
    if (path.empty() || absolute) return path;
    std::string dir = executableDir();
    return dir.empty() ? path : dir + "\\" + path;
}

}  // namespace bundled_support
