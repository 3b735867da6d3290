// The configuration file: where it lies, how it is read, how its settings
// are named.
//
// The file lies beside the executable and is named after the service:
// <executable directory>/<service>.cfg. Every setting lives in the one
// top-level group named after the service and is looked up by the path
// "<service>.<key>". Lists are walked by index until the lookup of the next
// index fails; their length is never asked for.
//
// libconfig is not thread safe, not even for lookups: a tree is read by one
// thread at a time (the host reads its own tree only under its lock).
#pragma once

#include <libconfig.h++>
#include <string>

namespace config_file {

// "<executable directory><separator><serviceName>.cfg"
std::string pathFor(const std::string& serviceName);

// "<serviceName>.<key>"
std::string settingPath(const std::string& serviceName, const char* key);

enum class ReadResult {
    kRead,
    kUnreadable,  // missing, not readable, or not a regular file
    kMalformed,   // a syntax error, or an include that cannot be read
};

// Reads `path` into `config`, with the files it includes (ConfigIncludes.h).
// On failure `message` holds the operator message for it, the same text
// whoever reports it. No content of the file ends the process: a missing,
// unreadable or folder include is a malformed file naming the include.
// For a malformed file `location`, when given, says where, as `check`
// does: "<file>:<line>: <the error>", the file being the included one
// that holds the line; empty when no line is known.
ReadResult read(libconfig::Config& config, const std::string& path, std::string& message,
                std::string* location = nullptr);

}  // namespace config_file
