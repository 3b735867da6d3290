// Paths as the host builds them: a directory, the separator, a file name.
#pragma once

#include <string>

namespace ostra {

// '\\' on Windows, '/' elsewhere.
extern const char kPathSeparator;

// The running executable's directory without a trailing separator: its
// module file name cut at the last separator. Empty when the name has no
// separator or cannot be had.
std::string executableDirectory();

// directory + separator + name; an empty directory gives the name alone.
std::string joinPath(const std::string& directory, const std::string& name);

}  // namespace ostra
