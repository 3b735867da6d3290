#include "platform/logfile.h"
#include "platform/winapi.h"

namespace ostra {

const char* const kLogLineEnd = "\r\n";

namespace {
HANDLE asHandle(long long handle) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
}
}  // namespace

bool LogFile::open(const std::string& path) {
    close();
    SECURITY_ATTRIBUTES notInherited{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &notInherited,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    handle_ = static_cast<long long>(reinterpret_cast<intptr_t>(file));
    return true;
}

long long LogFile::size() const {
    LARGE_INTEGER size;
    if (!isOpen() || !GetFileSizeEx(asHandle(handle_), &size)) return -1;
    return size.QuadPart;
}

bool LogFile::write(const char* data, size_t length) {
    if (!isOpen()) return false;
    while (length > 0) {
        DWORD chunk = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!WriteFile(asHandle(handle_), data, chunk, &written, nullptr) || written == 0)
            return false;
        data += written;
        length -= written;
    }
    return true;
}

void LogFile::close() {
    if (isOpen()) CloseHandle(asHandle(handle_));
    handle_ = kClosed;
}

bool LogFile::renameFile(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool LogFile::removeFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

bool LogFile::exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace ostra
