#include "platform/os_error.h"
#include "platform/winapi.h"

namespace ostra {

std::string describeLastError() {
    DWORD code = GetLastError();
    char* text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result;
    if (length > 0 && text != nullptr) {
        result.assign(text, length);
        while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                                   result.back() == ' ' || result.back() == '.'))
            result.pop_back();
    }
    if (text != nullptr) LocalFree(text);
    if (result.empty()) result = "error";
    return result + " (" + std::to_string(code) + ")";
}

}  // namespace ostra
