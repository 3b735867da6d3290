#include <windows.h>

#include "Cp1250.h"

namespace bundled_support {

std::string cp1250ToUtf8(const std::string& text) {
    if (text.empty()) return text;
    int size = static_cast<int>(text.size());
    int wideLength = MultiByteToWideChar(1250, 0, text.data(), size, nullptr, 0);
    if (wideLength <= 0) return text;
    std::wstring wide(static_cast<size_t>(wideLength), L'\0');
    MultiByteToWideChar(1250, 0, text.data(), size, &wide[0], wideLength);
    int length =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, &out[0], length, nullptr, nullptr);
    return out;
}

std::string utf8ToCp1250(const std::string& text) {
    if (text.empty()) return text;
    int size = static_cast<int>(text.size());
    int wideLength = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    if (wideLength <= 0) return std::string(text.size(), '?');
    std::wstring wide(static_cast<size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &wide[0], wideLength);
    int length = WideCharToMultiByte(1250, 0, wide.data(), wideLength, nullptr, 0, "?", nullptr);
    std::string out(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(1250, 0, wide.data(), wideLength, &out[0], length, "?", nullptr);
    return out;
}

}  // namespace bundled_support
