#include "OstraService/HostKeys.h"

#include <libconfig.h++>

#include "OstraService/ProtocolType.h"
#include "OstraService/Text.h"
#include "plugin/SettingsTable.h"

namespace host_keys {

namespace {

std::vector<const char*> protocolTypes() {
    return std::vector<const char*>(protocol_type::kNames,
                                    protocol_type::kNames + protocol_type::kCount);
}

}  // namespace

const Keys& serviceGroup() {
    static const Keys keys = {{"wakeupwait", Value::kInt},
                              {"account", Value::kText},
                              {"logs", Value::kList},
                              {"control", Value::kGroup},
                              {"protocols", Value::kList}};
    return keys;
}

const Keys& logEntry() {
    static const Keys keys = {{"type", Value::kWord, 0, 0, {"FILE"}},
                              {"path", Value::kText},
                              {"level", Value::kWord, 0, 0, {"ERROR", "INFO", "DEBUG"}},
                              {"size", Value::kInteger},
                              {"rotate", Value::kInt}};
    return keys;
}

const Keys& controlGroup() {
    static const Keys keys = {{"dll", Value::kText}};
    return keys;
}

const Keys& protocolEntry() {
    static const Keys keys = {{"name", Value::kText},
                              {"type", Value::kWord, 0, 0, protocolTypes()},
                              {"dll", Value::kText},
                              {"databases", Value::kList}};
    return keys;
}

const Keys& databaseElement() {
    static const Keys keys = {{"dll", Value::kText}};
    return keys;
}

std::vector<const char*> namesOf(const Keys& keys) {
    std::vector<const char*> names;
    for (const Key& key : keys) names.push_back(key.name);
    return names;
}

std::string expectation(const Key& key, const libconfig::Setting& value) {
    const bool isText = value.getType() == libconfig::Setting::TypeString;
    switch (key.value) {
        case Value::kText:
            return isText ? "" : "text in double quotes";
        case Value::kWord: {
            if (isText)
                for (const char* word : key.words)
                    if (text::equalsIgnoreCase(static_cast<const char*>(value), word)) return "";
            std::string words;
            for (const char* word : key.words)
                words += (words.empty() ? "\"" : ", \"") + std::string(word) + "\"";
            return key.words.size() == 1 ? words : "one of " + words;
        }
        case Value::kInt:
            return value.getType() == libconfig::Setting::TypeInt ? "" : "an integer";
        case Value::kInteger:
            if (ostra_settings::isInteger(value) && ostra_settings::integerOf(value) >= key.min &&
                ostra_settings::integerOf(value) <= key.max)
                return "";
            if (key.min == LLONG_MIN && key.max == LLONG_MAX) return "an integer";
            return "an integer from " + std::to_string(key.min) + " to " + std::to_string(key.max);
        case Value::kList:
            return value.isList() || value.isArray() ? "" : "a list ( ... )";
        case Value::kGroup:
            return value.isGroup() ? "" : "a group { ... }";
    }
    return "";
}

}  // namespace host_keys
