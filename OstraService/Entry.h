// The entry point: the command line, the configuration, the log, the verb.
//
//   OstraService [verb [service name]]
//
// Verbs, compared ignoring the case of A to Z: install, remove, uninstall,
// start, stop, console, check, status, help, ?. No verb, or any other word, runs the
// process as the service under the service manager. The service name
// (default OstraService) names the service, the configuration file beside
// the executable (<name>.cfg), its top-level group, and the log file.
// Returns the process's exit code.
#pragma once

int runEntry(int argc, char* argv[]);
