// The verbs that ask the running host of a name over its local channels
// (StatusChannel.h) and print its reply. They read no configuration and
// open no log: they must work beside a running host, also for an operator
// who may not write its files.
//   `OstraService status [name]`  its state and its protocols
//   `OstraService reload [name]`  read the configuration again and apply
//                                 what changed (ServiceHost.h says how)
#pragma once

#include <string>

namespace status_verb {

// Prints the report, or one line saying why there is none; returns the
// exit code (StatusExit in StatusChannel.h).
int run(const std::string& serviceName);

// Prints what the reload did, or why there was none; returns 0 when the
// host applied the configuration, 1 when it refused it (the reply names the
// problems), 3 when no such host runs, 4 when the reply did not come.
int reload(const std::string& serviceName);

}  // namespace status_verb
