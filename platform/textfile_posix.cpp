#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/textfile.h"

namespace ostra {

bool readTextFile(const std::string& path, std::string& content, std::string& whyNot) {
    // O_NONBLOCK: a FIFO named by mistake must not hang the open.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        whyNot =
            errno == ENOENT ? "not found" : std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    struct stat info;
    bool ok = false;
    if (::fstat(fd, &info) != 0) {
        whyNot = std::string("cannot be read: ") + std::strerror(errno);
    } else if (S_ISDIR(info.st_mode)) {
        whyNot = "a folder";
    } else if (!S_ISREG(info.st_mode)) {
        whyNot = "not a regular file";
    } else if (info.st_size > kMaxTextFileSize) {
        whyNot = "larger than 16 MiB";
    } else {
        content.clear();
        char buffer[65536];
        ssize_t got;
        while ((got = ::read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
            if (got > 0) content.append(buffer, static_cast<size_t>(got));
            if (static_cast<long long>(content.size()) > kMaxTextFileSize) break;
        }
        if (got < 0)
            whyNot = std::string("cannot be read: ") + std::strerror(errno);
        else if (static_cast<long long>(content.size()) > kMaxTextFileSize)
            whyNot = "larger than 16 MiB";
        else
            ok = true;
    }
    ::close(fd);
    return ok;
}

bool isAbsolutePath(const std::string& path) { return !path.empty() && path[0] == '/'; }

std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return std::string();
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace ostra
