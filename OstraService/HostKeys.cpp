#include "OstraService/HostKeys.h"

#include "OstraService/ProtocolType.h"

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

}  // namespace host_keys
