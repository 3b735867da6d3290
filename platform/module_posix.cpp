#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/last_error_posix.h"
#include "platform/winapi_posix.h"

DWORD GetModuleFileNameA(HMODULE module, char* buffer, DWORD size) {
    if (module != nullptr || buffer == nullptr || size == 0) return 0;
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0) {
        ostra::posix::setLastError(errno, std::strerror(errno));
        buffer[0] = '\0';
        return 0;
    }
    DWORD copied = static_cast<DWORD>(length) < size ? static_cast<DWORD>(length) : size - 1;
    std::memcpy(buffer, path, copied);
    buffer[copied] = '\0';
    if (copied < static_cast<DWORD>(length)) {
        ostra::posix::setLastError(ERROR_INSUFFICIENT_BUFFER, "path truncated");
        return size;
    }
    return copied;
}

namespace {

HMODULE openLibrary(const char* path) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        ostra::posix::setLastError(ERROR_MOD_NOT_FOUND, reason ? reason : "dlopen failed");
    }
    return handle;
}

}  // namespace

HMODULE LoadLibraryA(const char* name) {
    if (name == nullptr || *name == '\0') {
        ostra::posix::setLastError(ERROR_MOD_NOT_FOUND, "no library name");
        return nullptr;
    }
    if (std::strchr(name, '/') == nullptr) {
        // Like Windows: the executable's own directory comes first. A file
        // found there that does not load is the answer; nothing else is tried.
        char executable[4096];
        DWORD length = GetModuleFileNameA(nullptr, executable, sizeof executable);
        const char* lastSlash =
            length ? std::strrchr(static_cast<const char*>(executable), '/') : nullptr;
        std::string besideExecutable =
            lastSlash ? std::string(static_cast<const char*>(executable), lastSlash + 1) + name
                      : std::string();
        if (!besideExecutable.empty() && access(besideExecutable.c_str(), F_OK) == 0)
            return openLibrary(besideExecutable.c_str());
    }
    return openLibrary(name);
}

FARPROC GetProcAddress(HMODULE module, const char* symbol) {
    dlerror();
    void* address = module ? dlsym(module, symbol) : nullptr;
    if (address == nullptr) {
        ostra::posix::setLastError(ERROR_PROC_NOT_FOUND,
                                   std::string("no export ") + (symbol ? symbol : ""));
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(address);
}
