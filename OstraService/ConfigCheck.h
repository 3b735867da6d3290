// `OstraService check [name]`: the configuration the service `name` would
// run with, checked without running anything.
//
// It reads <executable directory>/<name>.cfg with its includes, as the
// service does, and reports on standard output each problem it finds, one
// line each, "FILE:LINE: text" (the file an included setting was written
// in; "FILE: text" for what has no line), in the order of the file, then a
// count. What it finds:
//   - a file that cannot be read, a syntax error, a broken include, no
//     service group;
//   - keys the host does not read (HostKeys.h) and, in a plug-in's group,
//     keys the settings table of its library (PluginExtension.h) does not
//     name either: they would be ignored, so a typo goes unnoticed. The
//     keys of a library without a table are its own and not looked at;
//   - values of the wrong type, words that name nothing (a protocol
//     "type", a log "level", a word not among a table's choices), numbers
//     out of a table's range, keys a table requires and the group lacks,
//     and values the library's own check refuses (a conninfo libpq cannot
//     read), said without the value;
//   - settings the host needs and does not find, and entries that end the
//     host's walk over a list early;
//   - libraries that cannot be loaded or make another kind of plug-in;
//   - two listeners on one TCP port (tcpline protocols and the web
//     console), on the same address or one of them on every address;
//   - a web console bound beyond loopback without a "token";
//   - folders of the log file and of sqlite's file that do not exist or
//     cannot be written, and, on Linux with the service's systemd unit
//     installed, folders its sandbox keeps the service from writing.
//
// It starts nothing: no log file is opened, no port, no plug-in's start()
// is called. A library is loaded and its factory's object made only to
// learn its kind, then destroyed, and its settings table is read. A running
// service is not disturbed.
#pragma once

#include <libconfig.h++>
#include <string>
#include <vector>

namespace config_check {

// The problems `run` would report, one "FILE:LINE: text" each, in the
// order of the file; none when the configuration is sound. `config` holds
// the file as read (with its includes) unless it could not be parsed. Used
// by a reload, which applies only a configuration found sound.
std::vector<std::string> problemsIn(const std::string& serviceName, libconfig::Config& config);

// Checks the configuration of the service `serviceName`; the exit code:
// 0 when no problem was found, 1 otherwise.
int run(const std::string& serviceName);

// Why the service could not create files in `folder`, or "" when it can.
std::string folderRefusal(const std::string& folder);

// Why the sandbox of the installed service `serviceName` keeps it from
// writing into `folder` (absolute), or "": no unit is installed, it allows
// it, or the platform has no such sandbox.
std::string sandboxRefusal(const std::string& serviceName, const std::string& folder);

// Whether the installed service's unit has the service manager make
// `folder` (or the folder holding it) for the service at each start, its
// own and writable (StateDirectory= and its kin): then it need not exist.
bool serviceManagerMakes(const std::string& serviceName, const std::string& folder);

}  // namespace config_check
