// Which file a path names right now, to notice that a file a plug-in keeps
// open was deleted, renamed or replaced under it.
#pragma once

#include <cstdint>
#include <string>

namespace bundled_support {

struct FileIdentity {
    std::uint64_t device = 0;  // the volume
    std::uint64_t file = 0;    // the file on it (inode, file index)
    bool exists = false;
    bool operator==(const FileIdentity& other) const {
        return exists == other.exists && device == other.device && file == other.file;
    }
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

// The identity of the file at `path`; `exists` false when there is none.
FileIdentity identityOf(const std::string& path);

}  // namespace bundled_support
