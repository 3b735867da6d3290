// The log set-up: the "logs" list of the configuration becomes the host's
// log, before the command-line verb is looked at.
//
// Each entry of "logs" is a group; the list ends at the first entry without
// a text "type". An entry whose type is "FILE" (any case) opens
// <path>/<service>.log ("path" empty or absent: the executable's folder)
// with "size" megabytes at most (default 512; 0 or less: no limit) and
// "rotate" old files kept (default 7); other types are skipped. Values of
// the wrong type give the key's default. Once a file is set up the log runs
// at DEBUG: "level" is accepted for compatibility but every line is written.
// Several "FILE" entries reopen the one log file in turn, so lines go to the
// last of them, once.
//
// Without a "logs" list the program runs without a log file; since there is
// no log to say so in, one line on standard output tells the operator. A
// run as a service, whose standard output nobody sees, then logs to
// <service>.log beside the executable all the same (see runEntry).
#pragma once

#include <libconfig.h++>
#include <string>

class CServiceHost;

void setUpLog(CServiceHost& host, libconfig::Config& config, const std::string& serviceName,
              const std::string& configPath);

// <directory>/<service>.log, adding the separator only when `directory`
// does not end with one; an empty directory means the executable's.
std::string logFilePath(const std::string& directory, const std::string& serviceName);
