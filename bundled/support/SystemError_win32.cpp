#include <windows.h>

#include "SystemError.h"

namespace bundled_support {

std::string systemErrorText(int code) {
    if (code == 0) return "";
    char text[256] = {0};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (length > 0 &&
           (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.'))
        text[--length] = 0;
    return std::string(length ? text : "system error") + " (" + std::to_string(code) + ")";
}

std::string whyNotWritable(const std::string&) { return ""; }

}  // namespace bundled_support
