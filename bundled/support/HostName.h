// The machine's name, as the operating system knows it.
#pragma once

#include <string>

namespace bundled_support {

// Empty when it cannot be had.
std::string hostName();

}  // namespace bundled_support
