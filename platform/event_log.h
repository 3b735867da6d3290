// The Windows Event Log, for the failures an operator must find even when
// no log file could be written. Elsewhere nothing: under systemd the
// journal has every ERROR line already.
#pragma once

#include <string>

namespace ostra {

// Makes `source` an event source of the Application log, its messages
// coming from `executable` (Windows). 0 or the system's error code.
int registerEventSource(const std::string& source, const std::string& executable);
// Removes what registerEventSource made. 0 or the system's error code.
int unregisterEventSource(const std::string& source);
// Writes `text` (message bytes) as an error event of `source`.
void reportErrorEvent(const std::string& source, const std::string& text);
// The same as an information event (something that went right again).
void reportInfoEvent(const std::string& source, const std::string& text);

}  // namespace ostra
