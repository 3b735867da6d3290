// `OstraService status [name]`: asks the running host of that name, over
// its local channel (StatusChannel.h), for its state and its protocols,
// and prints them. Reads no configuration and opens no log: it must work
// beside a running host, also for an operator who may not write its files.
#pragma once

#include <string>

namespace status_verb {

// Prints the report, or one line saying why there is none; returns the
// exit code (StatusExit in StatusChannel.h).
int run(const std::string& serviceName);

}  // namespace status_verb
