#include "OstraService/SettingText.h"

#include <cstdint>
#include <cstdio>

namespace setting_text {

namespace {

void append(std::string& text, const libconfig::Setting& setting) {
    using libconfig::Setting;
    if (setting.getName() != nullptr) {
        text += setting.getName();
        text += '=';
    }
    switch (setting.getType()) {
        case Setting::TypeInt:
            text += 'i' + std::to_string(static_cast<int>(setting));
            break;
        case Setting::TypeInt64:
            text += 'L' + std::to_string(static_cast<long long>(setting));
            break;
        case Setting::TypeFloat: {
            char number[40];
            std::snprintf(number, sizeof number, "f%.17g", static_cast<double>(setting));
            text += number;
            break;
        }
        case Setting::TypeString: {
            // The length first: no character of the value can end it early.
            const std::string value = static_cast<const char*>(setting);
            text += 's' + std::to_string(value.size()) + ':' + value;
            break;
        }
        case Setting::TypeBoolean:
            text += static_cast<bool>(setting) ? "true" : "false";
            break;
        case Setting::TypeGroup:
        case Setting::TypeArray:
        case Setting::TypeList: {
            const char* brackets = setting.isGroup() ? "{}" : setting.isArray() ? "[]" : "()";
            text += brackets[0];
            for (int index = 0; index < setting.getLength(); ++index) {
                append(text, setting[index]);
                text += ';';
            }
            text += brackets[1];
            break;
        }
        default:
            text += '?';
    }
}

}  // namespace

std::string of(const libconfig::Setting& setting) {
    std::string text;
    append(text, setting);
    return text;
}

std::string hashOf(const libconfig::Config& config) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : of(config.getRoot())) hash = (hash ^ c) * 1099511628211ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

}  // namespace setting_text
