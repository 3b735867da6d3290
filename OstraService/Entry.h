// The entry point: the command line, the configuration, the log, the verb.
//
//   OstraService [verb [service name]]
//
// Verbs, compared ignoring the case of A to Z: install, remove, uninstall,
// start, stop, console, check, status, service, help, ?. "service" runs the
// process as the service. No verb, or any other word, does the same where
// a service manager started the process, and otherwise starts nothing:
// "Nije uspjelo pokretanje servisa <word>" and a non-zero exit code. The service name
// (default OstraService) names the service, the configuration file beside
// the executable (<name>.cfg), its top-level group, and the log file.
// Returns the process's exit code.
#pragma once

int runEntry(int argc, char* argv[]);
