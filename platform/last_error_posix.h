// Per-thread error record of the POSIX stand-in layer: what GetLastError
// returns, with the text describeLastError gives for it. It lives in
// ostracommon with the stand-ins, so there is one record per thread in the
// process, whichever library made the failing call.
#pragma once

#include <string>

#include "platform/winapi_posix.h"

namespace ostra::posix {

OSTRA_WINAPI void setLastError(DWORD code, const std::string& text);
OSTRA_WINAPI DWORD lastErrorCode();
OSTRA_WINAPI const std::string& lastErrorText();

}  // namespace ostra::posix
