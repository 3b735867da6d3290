// The operating system's words for an error code: errno on Linux,
// GetLastError() on Windows (what sqlite3_system_errno reports on each).
#pragma once

#include <string>

namespace bundled_support {

// "Read-only file system", "Access is denied. (5)"; "" for 0.
std::string systemErrorText(int code);

// Why the file at `path` could not be created or written, as the system
// says it for the file or its folder ("Read-only file system", "Permission
// denied"), or "" when nothing stands in the way or it cannot be told
// (Windows). A library that retries read-only after a failed open reports
// the retry's reason ("No such file or directory"), not this one.
std::string whyNotWritable(const std::string& path);

}  // namespace bundled_support
