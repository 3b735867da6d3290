// The log set-up: the "logs" list of the configuration becomes the host's
// log, before the command-line verb is looked at.
//
// Each entry of "logs" is a group; the list ends at the first entry without
// a text "type". An entry whose type is "FILE" (any case) opens
// <path>/<service>.log ("path" empty or absent: the executable's folder)
// with "size" megabytes at most (default 512; 0 or less: no limit) and
// "rotate" old files kept (default 7); other types are skipped. Values of
// the wrong type give the key's default. "level" ("INFO" when absent; "ERROR",
// "INFO" or "DEBUG" in any case) is the level the whole host runs at: its
// own log, every protocol's and every plug-in's, and so the lines the
// control plug-in receives. "DEBUG" adds the relay's trace lines, four per
// record; another word leaves every line written. Several "FILE" entries
// reopen the one log file in turn, so lines go to the last of them, once.
//
// Without a "logs" list, or without a "FILE" entry in it, the program runs
// without a log file; a list that is missing is told on standard output. A
// run as a service, whose standard output nobody sees, opens <service>.log
// beside the executable when it has a failure to report, and only then
// (see runEntry).
#pragma once

#include <libconfig.h++>
#include <string>
#include <vector>

class CServiceHost;

void setUpLog(CServiceHost& host, libconfig::Config& config, const std::string& serviceName,
              const std::string& configPath);

// A reload: the "logs" list of the new configuration `config` applied to
// the running host. The log file takes the size, rotation and path of the
// last FILE entry (a new path opens the file there; lines already written
// stay in the old one); `level` is set to the level the host now runs at,
// which the caller hands on. A list without a FILE entry leaves a log file
// that is open as it is, until the next start.
void reapplyLog(CServiceHost& host, libconfig::Config& config, const std::string& serviceName,
                int& level);

// The folders of the log files the "logs" list names (each FILE entry's
// "path" that is not empty), for the service's sandbox.
std::vector<std::string> logFolders(libconfig::Config& config, const std::string& serviceName);

// <directory>/<service>.log, adding the separator only when `directory`
// does not end with one; an empty directory means the executable's.
std::string logFilePath(const std::string& directory, const std::string& serviceName);
