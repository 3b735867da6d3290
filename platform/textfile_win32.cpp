#include "platform/os_error.h"
#include "platform/textfile.h"
#include "platform/winapi.h"

namespace ostra {

bool readTextFile(const std::string& path, std::string& content, std::string& whyNot) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        whyNot = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                     ? "not found"
                     : "cannot be read: " + describeLastError();
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        whyNot = "a folder";
        return false;
    }
    SECURITY_ATTRIBUTES notInherited{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &notInherited,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        whyNot = "cannot be read: " + describeLastError();
        return false;
    }
    bool ok = false;
    LARGE_INTEGER size;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        whyNot = "not a regular file";
    } else if (!GetFileSizeEx(file, &size)) {
        whyNot = "cannot be read: " + describeLastError();
    } else if (size.QuadPart > kMaxTextFileSize) {
        whyNot = "larger than 16 MiB";
    } else {
        content.assign(static_cast<size_t>(size.QuadPart), '\0');
        DWORD read = 0;
        ok = content.empty() ||
             (ReadFile(file, &content[0], static_cast<DWORD>(content.size()), &read, nullptr) &&
              read == content.size());
        if (!ok) whyNot = "cannot be read: " + describeLastError();
    }
    CloseHandle(file);
    return ok;
}

bool isAbsolutePath(const std::string& path) {
    auto separator = [](char c) { return c == '\\' || c == '/'; };
    if (!path.empty() && separator(path[0])) return true;
    return path.size() >= 3 && path[1] == ':' && separator(path[2]);
}

std::string folderOf(const std::string& path) {
    size_t separator = path.find_last_of("\\/");
    if (separator == std::string::npos) return std::string();
    return path.substr(0, separator);
}

}  // namespace ostra
