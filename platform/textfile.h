// Reading a whole text file that an operator wrote (the configuration and
// the files it includes).
#pragma once

#include <string>

namespace ostra {

// The largest file readTextFile takes: far beyond any configuration.
constexpr long long kMaxTextFileSize = 16 * 1024 * 1024;

// Reads the regular file at `path` into `content`, bytes unchanged. False
// with `whyNot` ("not found", "a folder", "not a regular file", "cannot be
// read: <system reason>", "larger than 16 MiB") when it cannot.
bool readTextFile(const std::string& path, std::string& content, std::string& whyNot);

// True when `path` does not depend on the current folder: "/x" on Linux;
// "C:\x", "\x" or "\\server\x" on Windows (forward slashes too).
bool isAbsolutePath(const std::string& path);

// The folder part of `path` (without a trailing separator), or "" when it
// has none.
std::string folderOf(const std::string& path);

}  // namespace ostra
