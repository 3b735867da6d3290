// The configuration keys the host reads itself, and the values each takes:
// what `check` holds those parts of a configuration against.
//
// The host reads, in the service group:
//   wakeupwait  an integer (default 10)
//   logs        a list of log entries: type ("FILE"; an entry without it
//               ends the list), path, level ("ERROR", "INFO", "DEBUG"),
//               size, rotate
//   control     the control plug-in's group: dll, then the plug-in's keys
//   protocols   a list of protocol entries: name, type (ProtocolType.h),
//               dll, databases (a list of groups: dll, then the database
//               plug-in's keys), then the protocol plug-in's keys
//
// A plug-in's own keys are its library's to describe (PluginExtension.h;
// SettingsCheck.h holds a group against that table); the host keeps no
// copy of them.
#pragma once

#include <climits>
#include <string>
#include <vector>

namespace libconfig {
class Setting;
}

namespace host_keys {

enum class Value {
    kText,     // in double quotes
    kWord,     // text, one of `words` in any case
    kInt,      // an integer the host reads as int: written without L
    kInteger,  // an integer from `min` to `max`, with or without L
    kList,     // ( ... )
    kGroup,    // { ... }
};

struct Key {
    const char* name;
    Value value;
    long long min = LLONG_MIN;
    long long max = LLONG_MAX;
    std::vector<const char*> words = {};
};

using Keys = std::vector<Key>;

// The host's own keys, by where they stand.
const Keys& serviceGroup();
const Keys& logEntry();
const Keys& controlGroup();
const Keys& protocolEntry();
const Keys& databaseElement();

// What `key` expects when `value` is not that; "" when it is.
std::string expectation(const Key& key, const libconfig::Setting& value);

// The names of `keys`, in order.
std::vector<const char*> namesOf(const Keys& keys);

}  // namespace host_keys
