#include <windows.h>

#include "FileIdentity.h"

namespace bundled_support {

FileIdentity identityOf(const std::string& path) {
    FileIdentity identity;
    // No access asked for and every sharing mode allowed: this never gets
    // in the way of the file's own users.
    HANDLE file =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return identity;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(file, &info)) {
        identity.device = info.dwVolumeSerialNumber;
        identity.file =
            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        identity.exists = true;
    }
    CloseHandle(file);
    return identity;
}

}  // namespace bundled_support
