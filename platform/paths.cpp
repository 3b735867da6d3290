#include "platform/paths.h"

#include <cstring>
#include <vector>

#include "platform/winapi.h"

namespace ostra {

extern const unsigned kModulePathCapacity;

std::string executableDirectory() {
    std::vector<char> buffer(kModulePathCapacity, '\0');
    DWORD length = GetModuleFileNameA(nullptr, buffer.data(), kModulePathCapacity - 1);
    if (length == 0) return std::string();
    std::string path(buffer.data(), strnlen(buffer.data(), kModulePathCapacity - 1));
    // Scan back from the last character down to the second one, so that a
    // bare root ("/x") does not become the empty directory.
    for (size_t i = path.size(); i-- > 1;) {
        if (path[i] == kPathSeparator) return path.substr(0, i);
    }
    return std::string();
}

std::string joinPath(const std::string& directory, const std::string& name) {
    if (directory.empty()) return name;
    return directory + kPathSeparator + name;
}

}  // namespace ostra
