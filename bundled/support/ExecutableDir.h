// The folder of the running executable, where the host keeps its files:
// plug-ins resolve their relative paths against it, because a service's
// current folder is not its own (on Windows it is the system folder).
#pragma once

#include <string>

namespace bundled_support {

// The folder, without a trailing separator; empty if it cannot be had.
std::string executableDir();

// `path` as given when absolute, otherwise inside executableDir().
std::string besideExecutable(const std::string& path);

}  // namespace bundled_support
