#include "platform/last_error_posix.h"

namespace ostra::posix {

namespace {
thread_local DWORD errorCode = ERROR_SUCCESS;
thread_local std::string errorText;
}  // namespace

void setLastError(DWORD code, const std::string& text) {
    errorCode = code;
    errorText = text;
}

DWORD lastErrorCode() { return errorCode; }

const std::string& lastErrorText() { return errorText; }

}  // namespace ostra::posix
