#include "StrictSettings.h"

#include <libconfig.h++>

#include <cctype>

namespace bundled_support {

namespace {

// libconfig converts neither way between its two integer types.
long long integerOf(const libconfig::Setting& value) {
    return value.getType() == libconfig::Setting::TypeInt ? static_cast<int>(value)
                                                          : static_cast<long long>(value);
}

// The value as the configuration file would write it.
std::string shown(const libconfig::Setting& value) {
    switch (value.getType()) {
        case libconfig::Setting::TypeInt:
        case libconfig::Setting::TypeInt64:
            return std::to_string(integerOf(value));
        case libconfig::Setting::TypeFloat:
            return std::to_string(static_cast<double>(value));
        case libconfig::Setting::TypeString:
            return "\"" + std::string(static_cast<const char*>(value)) + "\"";
        case libconfig::Setting::TypeBoolean:
            return static_cast<bool>(value) ? "true" : "false";
        case libconfig::Setting::TypeGroup:
            return "a group";
        case libconfig::Setting::TypeArray:
            return "an array";
        case libconfig::Setting::TypeList:
            return "a list";
        default:
            return "a value";
    }
}

bool sameWord(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && b[i] == '\0';
}

}  // namespace

StrictSettings::StrictSettings(const libconfig::Setting& group, std::string plugin)
    : group_(group), plugin_(std::move(plugin)) {}

void StrictSettings::refuse(const char* key, const libconfig::Setting& value,
                            const std::string& expected) {
    if (fault_.empty())
        fault_ = plugin_ + ": \"" + key + "\" is " + shown(value) + "; expected " + expected;
}

long long StrictSettings::integer(const char* key, long long fallback, long long min,
                                  long long max) {
    if (!group_.exists(key)) return fallback;
    const libconfig::Setting& value = group_[key];
    std::string expected = "an integer from " + std::to_string(min) + " to " + std::to_string(max);
    if (value.getType() != libconfig::Setting::TypeInt &&
        value.getType() != libconfig::Setting::TypeInt64) {
        refuse(key, value, expected);
        return fallback;
    }
    long long number = integerOf(value);
    if (number < min || number > max) {
        refuse(key, value, expected);
        return fallback;
    }
    return number;
}

std::string StrictSettings::text(const char* key, const std::string& fallback) {
    if (!group_.exists(key)) return fallback;
    const libconfig::Setting& value = group_[key];
    if (value.getType() != libconfig::Setting::TypeString) {
        refuse(key, value, "text in double quotes");
        return fallback;
    }
    return static_cast<const char*>(value);
}

std::string StrictSettings::word(const char* key, const std::string& fallback,
                                 std::initializer_list<const char*> words) {
    if (!group_.exists(key)) return fallback;
    const libconfig::Setting& value = group_[key];
    std::string expected;
    for (const char* word : words)
        expected += (expected.empty() ? "\"" : ", \"") + std::string(word) + "\"";
    expected = "one of " + expected;
    if (value.getType() == libconfig::Setting::TypeString) {
        std::string written = static_cast<const char*>(value);
        for (const char* word : words)
            if (sameWord(written, word)) return word;
    }
    refuse(key, value, expected);
    return fallback;
}

}  // namespace bundled_support
