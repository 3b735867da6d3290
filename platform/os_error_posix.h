// Per-thread error record of the POSIX stand-in layer.
#pragma once

#include <string>

#include "platform/winapi_posix.h"

namespace ostra::posix {

void setLastError(DWORD code, const std::string& text);
DWORD lastErrorCode();
const std::string& lastErrorText();

}  // namespace ostra::posix
