// Operating-system errors as text, in one place.
#pragma once

#include <string>

namespace ostra {

// The calling thread's last error of a platform call (GetLastError on
// Windows, the stand-in layer's record of errno or dlerror elsewhere) as a
// readable sentence, for the log. Never empty.
std::string describeLastError();

}  // namespace ostra
