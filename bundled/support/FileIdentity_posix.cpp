#include <sys/stat.h>

#include "FileIdentity.h"

namespace bundled_support {

FileIdentity identityOf(const std::string& path) {
    struct stat info;
    FileIdentity identity;
    if (stat(path.c_str(), &info) != 0) return identity;
    identity.device = static_cast<std::uint64_t>(info.st_dev);
    identity.file = static_cast<std::uint64_t>(info.st_ino);
    identity.exists = true;
    return identity;
}

}  // namespace bundled_support
