#include "platform/os_error_posix.h"

#include "platform/os_error.h"

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

namespace ostra {

std::string describeLastError() {
    const std::string& text = posix::lastErrorText();
    if (text.empty()) return "error " + std::to_string(posix::lastErrorCode());
    return text;
}

}  // namespace ostra
