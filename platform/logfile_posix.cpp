#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/logfile.h"

namespace ostra {

const char* const kLogLineEnd = "\n";

bool LogFile::open(const std::string& path) {
    close();
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    handle_ = fd;
    return true;
}

long long LogFile::size() const {
    struct stat info;
    if (!isOpen() || fstat(static_cast<int>(handle_), &info) != 0) return -1;
    return info.st_size;
}

bool LogFile::write(const char* data, size_t length) {
    if (!isOpen()) return false;
    while (length > 0) {
        ssize_t written = ::write(static_cast<int>(handle_), data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

void LogFile::close() {
    if (isOpen()) ::close(static_cast<int>(handle_));
    handle_ = kClosed;
}

bool LogFile::renameFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool LogFile::removeFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool LogFile::exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace ostra
