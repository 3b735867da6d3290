// The operating system's words for an error code: errno on Linux,
// GetLastError() on Windows (what sqlite3_system_errno reports on each).
#pragma once

#include <string>

namespace ostra_kit {

// "Read-only file system", "Access is denied. (5)"; "" for 0.
std::string systemErrorText(int code);

}  // namespace ostra_kit
