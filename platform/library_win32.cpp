#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "platform/library.h"
#include "platform/paths.h"

namespace ostra {

namespace {

bool isAbsolute(const std::string& path) {
    return (path.size() >= 2 && path[1] == ':') ||
           (!path.empty() && (path[0] == '\\' || path[0] == '/'));
}

// Hands every absolute folder on PATH to the loader as a user directory,
// once each, so LOAD_LIBRARY_SEARCH_USER_DIRS finds a plug-in's
// dependencies there (a vendor's client DLL, say). Relative entries are
// skipped: they would mean the current folder in disguise. PATH is read at
// every load, so a folder added since is seen.
void addPathFolders() {
    static std::mutex mutex;
    static std::set<std::string> added;
    DWORD size = GetEnvironmentVariableA("PATH", nullptr, 0);
    if (size == 0) return;
    std::string path(size, '\0');
    path.resize(GetEnvironmentVariableA("PATH", &path[0], size));

    std::lock_guard<std::mutex> lock(mutex);
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(';', start);
        if (end == std::string::npos) end = path.size();
        std::string folder = path.substr(start, end - start);
        start = end + 1;
        if (folder.size() >= 2 && folder.front() == '"' && folder.back() == '"')
            folder = folder.substr(1, folder.size() - 2);
        if (!isAbsolute(folder) || !added.insert(folder).second) continue;
        int length = MultiByteToWideChar(CP_ACP, 0, folder.c_str(), -1, nullptr, 0);
        if (length <= 0) continue;
        std::wstring wide(static_cast<size_t>(length), L'\0');
        MultiByteToWideChar(CP_ACP, 0, folder.c_str(), -1, &wide[0], length);
        AddDllDirectory(wide.c_str());  // a folder that does not exist is refused; no matter
    }
}

}  // namespace

HMODULE loadLibrary(const char* name) {
    if (name == nullptr) return nullptr;
    addPathFolders();
    // Beside the executable, the system's folders and PATH's folders; never
    // the current folder, for the plug-in and for what it needs alike.
    const DWORD search = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32 |
                         LOAD_LIBRARY_SEARCH_USER_DIRS;
    if (std::strpbrk(name, "\\/") == nullptr && std::strchr(name, ':') == nullptr)
        return LoadLibraryExA(name, nullptr, search);

    // A name with a folder: a relative one is beside the executable (a
    // service's current folder is System32), and the plug-in's own folder
    // comes first for the libraries it needs.
    std::string path = name;
    if (!isAbsolute(path)) path = executableDirectory() + kPathSeparator + path;
    return LoadLibraryExA(path.c_str(), nullptr, search | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
}

}  // namespace ostra
