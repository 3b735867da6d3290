#include "platform/os_error.h"

#include "platform/last_error_posix.h"

namespace ostra {

std::string describeLastError() {
    const std::string& text = posix::lastErrorText();
    if (text.empty()) return "error " + std::to_string(posix::lastErrorCode());
    return text;
}

}  // namespace ostra
