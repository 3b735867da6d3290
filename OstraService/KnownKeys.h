// The configuration keys that the host and the bundled plug-ins read, and
// the values each takes: what `check` holds a configuration against.
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
// The bundled plug-ins read their own keys strictly (a value of the wrong
// type or out of range refuses their start), so their ranges are theirs:
//   tcpline (protocol)   bind, port 0-65535, maxline 16-16777216,
//                        maxqueue 1024-1073741824, maxclients 1-65536
//   sqlite (database)    path, busytimeout 0-3600000, synchronous
//                        ("OFF", "NORMAL", "FULL"), idempotencykey,
//                        lookupfields, lookuptimeout 1-3600000
//   webcontrol (control) bind, port 0-65535, token, loglines 1-1000000,
//                        refusedpercent 0-100
//   minimal (database)   none
// A plug-in's source is the authority: change this table with it. The
// keys of any other library's group are its own business and never
// reported.
#pragma once

#include <climits>
#include <string>
#include <vector>

namespace known_keys {

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

// A bundled plug-in: its library's name without the platform's suffix,
// the kind it makes, and the keys it reads from its group.
struct BundledPlugin {
    const char* library;
    const char* kind;
    Keys keys;
};

// The bundled plug-in that `dll` (as the configuration names it, with or
// without a folder) is, when it is one of `kind` ("control", "protocol",
// "database"); null for any other library.
const BundledPlugin* bundledPlugin(const std::string& dll, const char* kind);

}  // namespace known_keys
