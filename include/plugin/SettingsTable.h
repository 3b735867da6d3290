// Reading a configuration group through the settings table a library
// describes (PluginExtension.h): whether a value fits its entry, and what
// the entry expects when it does not. Header only, so that a plug-in reads
// its own table exactly as the host's `check` reads it. Pure functions of
// their arguments: safe from any thread; none of them throws except for
// want of memory.
#pragma once

#include <libconfig.h++>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "plugin/PluginExtension.h"

namespace ostra_settings {

// The entry of `table` named `name`; null when the table has none.
inline const OstraSetting* find(const OstraSetting* table, const char* name) {
    for (; table != nullptr && table->name != nullptr; ++table)
        if (std::string(table->name) == name) return table;
    return nullptr;
}

// The same word in any case of the letters A to Z, as the host takes "pbx".
inline bool sameWord(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// A WORD entry's choices, in the table's order.
inline std::vector<std::string> choicesOf(const OstraSetting& entry) {
    std::vector<std::string> words;
    std::string rest = entry.choices != nullptr ? entry.choices : "";
    for (std::size_t bar; (bar = rest.find('|')) != std::string::npos; rest.erase(0, bar + 1))
        words.push_back(rest.substr(0, bar));
    if (!rest.empty()) words.push_back(rest);
    return words;
}

inline bool hasRange(const OstraSetting& entry) { return entry.minimum <= entry.maximum; }

// A bound as people write it: 65535, not 65535.000000.
inline std::string numberText(double value) {
    if (value == std::floor(value) && std::fabs(value) < 1e18)
        return std::to_string(static_cast<long long>(value));
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// libconfig converts neither way between its two integer types.
inline long long integerOf(const libconfig::Setting& value) {
    return value.getType() == libconfig::Setting::TypeInt ? static_cast<int>(value)
                                                          : static_cast<long long>(value);
}

inline bool isInteger(const libconfig::Setting& value) {
    return value.getType() == libconfig::Setting::TypeInt ||
           value.getType() == libconfig::Setting::TypeInt64;
}

// The value as the configuration file would write it.
inline std::string shown(const libconfig::Setting& value) {
    switch (value.getType()) {
        case libconfig::Setting::TypeInt:
            return std::to_string(static_cast<int>(value));
        case libconfig::Setting::TypeInt64:
            return std::to_string(static_cast<long long>(value)) + "L";
        case libconfig::Setting::TypeFloat:
            return numberText(static_cast<double>(value));
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

// The value as a checkValue function takes it: text without its quotes,
// numbers in decimal, booleans as true or false; "" for a group or a list.
inline std::string valueText(const libconfig::Setting& value) {
    switch (value.getType()) {
        case libconfig::Setting::TypeString:
            return static_cast<const char*>(value);
        case libconfig::Setting::TypeInt:
        case libconfig::Setting::TypeInt64:
            return std::to_string(integerOf(value));
        case libconfig::Setting::TypeFloat:
        case libconfig::Setting::TypeBoolean:
            return shown(value);
        default:
            return "";
    }
}

// What the entry takes, in words: "an integer from 0 to 65535",
// "one of "OFF", "NORMAL", "FULL"".
inline std::string expectation(const OstraSetting& entry) {
    const std::string range =
        hasRange(entry) ? " from " + numberText(entry.minimum) + " to " + numberText(entry.maximum)
                        : "";
    switch (entry.type) {
        case OSTRA_SETTING_TEXT:
        case OSTRA_SETTING_FILE:
            return "text in double quotes";
        case OSTRA_SETTING_INTEGER:
            return "an integer" + range;
        case OSTRA_SETTING_NUMBER:
            return "a number" + range;
        case OSTRA_SETTING_BOOLEAN:
            return "true or false";
        case OSTRA_SETTING_WORD: {
            std::vector<std::string> words = choicesOf(entry);
            std::string listed;
            for (const std::string& word : words)
                listed += (listed.empty() ? "\"" : ", \"") + word + "\"";
            return words.size() == 1 ? listed : "one of " + listed;
        }
        case OSTRA_SETTING_LIST:
            return "a list ( ... )";
        case OSTRA_SETTING_GROUP:
            return "a group { ... }";
        default:
            return "a value";
    }
}

enum class Fit {
    kFits,
    kWrongType,   // not written as the entry's type at all
    kOutOfRange,  // an INTEGER or NUMBER out of range, a WORD not among the choices
};

inline Fit fit(const OstraSetting& entry, const libconfig::Setting& value) {
    const libconfig::Setting::Type type = value.getType();
    auto inRange = [&](double number) {
        return !hasRange(entry) || (number >= entry.minimum && number <= entry.maximum)
                   ? Fit::kFits
                   : Fit::kOutOfRange;
    };
    switch (entry.type) {
        case OSTRA_SETTING_TEXT:
        case OSTRA_SETTING_FILE:
            return type == libconfig::Setting::TypeString ? Fit::kFits : Fit::kWrongType;
        case OSTRA_SETTING_INTEGER:
            return isInteger(value) ? inRange(static_cast<double>(integerOf(value)))
                                    : Fit::kWrongType;
        case OSTRA_SETTING_NUMBER:
            if (isInteger(value)) return inRange(static_cast<double>(integerOf(value)));
            return type == libconfig::Setting::TypeFloat ? inRange(static_cast<double>(value))
                                                         : Fit::kWrongType;
        case OSTRA_SETTING_BOOLEAN:
            return type == libconfig::Setting::TypeBoolean ? Fit::kFits : Fit::kWrongType;
        case OSTRA_SETTING_WORD:
            if (type != libconfig::Setting::TypeString) return Fit::kWrongType;
            for (const std::string& word : choicesOf(entry))
                if (sameWord(static_cast<const char*>(value), word)) return Fit::kFits;
            return Fit::kOutOfRange;
        case OSTRA_SETTING_LIST:
            return value.isList() || value.isArray() ? Fit::kFits : Fit::kWrongType;
        case OSTRA_SETTING_GROUP:
            return value.isGroup() ? Fit::kFits : Fit::kWrongType;
        default:
            return Fit::kFits;  // a type of a later version: its library knows it
    }
}

}  // namespace ostra_settings
