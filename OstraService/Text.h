// Text helpers shared by the host.
#pragma once

namespace text {

// Compares two strings ignoring the case of the letters A to Z only, as
// keywords in the configuration and in records are compared. A null
// string equals nothing.
bool equalsIgnoreCase(const char* a, const char* b);

}  // namespace text
