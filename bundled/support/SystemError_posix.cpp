#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "SystemError.h"

namespace bundled_support {

std::string systemErrorText(int code) { return code == 0 ? "" : std::strerror(code); }

std::string whyNotWritable(const std::string& path) {
    if (access(path.c_str(), F_OK) == 0)
        return access(path.c_str(), W_OK) == 0 ? "" : std::strerror(errno);
    std::string::size_type slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : path.substr(0, slash);
    return access(folder.c_str(), W_OK) == 0 ? "" : std::strerror(errno);
}

}  // namespace bundled_support
