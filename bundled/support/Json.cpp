#include "Json.h"

#include <cstdio>

#include "Utf8.h"

namespace bundled_support {

namespace {

void appendEscaped(std::string& json, const std::string& text) {
    json += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            json += '\\';
            json += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            json += escaped;
        } else {
            json += static_cast<char>(c);
        }
    }
    json += '"';
}

}  // namespace

void appendJsonString(std::string& json, const std::string& text) {
    if (isValidUtf8(text))
        appendEscaped(json, text);
    else
        appendEscaped(json, validUtf8(text));
}

}  // namespace bundled_support
