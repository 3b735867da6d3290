#include "OstraService/KnownKeys.h"

#include <cstring>

#include "OstraService/ProtocolType.h"
#include "OstraService/Text.h"

namespace known_keys {

namespace {

std::vector<const char*> protocolTypes() {
    return std::vector<const char*>(protocol_type::kNames,
                                    protocol_type::kNames + protocol_type::kCount);
}

const std::vector<BundledPlugin>& bundledPlugins() {
    static const std::vector<BundledPlugin> plugins = {
        {"tcpline",
         "protocol",
         {{"bind", Value::kText},
          {"port", Value::kInteger, 0, 65535},
          {"maxline", Value::kInteger, 16, 1 << 24},
          {"maxqueue", Value::kInteger, 1024, 1 << 30},
          {"maxclients", Value::kInteger, 1, 65536},
          {"workers", Value::kInteger, 1, 256},
          {"idletimeout", Value::kInteger, 0, 86400}}},
        {"sqlite",
         "database",
         {{"path", Value::kText},
          {"busytimeout", Value::kInteger, 0, 3600000},
          {"synchronous", Value::kWord, 0, 0, {"OFF", "NORMAL", "FULL"}},
          {"idempotencykey", Value::kText},
          {"lookupfields", Value::kText},
          {"lookuptimeout", Value::kInteger, 1, 3600000}}},
        {"webcontrol",
         "control",
         {{"bind", Value::kText},
          {"port", Value::kInteger, 0, 65535},
          {"token", Value::kText},
          {"loglines", Value::kInteger, 1, 1000000},
          {"refusedpercent", Value::kInteger, 0, 100}}},
        {"minimal", "database", {}},
    };
    return plugins;
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

const BundledPlugin* bundledPlugin(const std::string& dll, const char* kind) {
    size_t folder = dll.find_last_of("\\/");
    std::string file = folder == std::string::npos ? dll : dll.substr(folder + 1);
    for (const BundledPlugin& plugin : bundledPlugins()) {
        std::string library = std::string(plugin.library) + OSTRA_PLUGIN_SUFFIX;
        if (std::strcmp(plugin.kind, kind) == 0 &&
            text::equalsIgnoreCase(file.c_str(), library.c_str()))
            return &plugin;
    }
    return nullptr;
}

}  // namespace known_keys
