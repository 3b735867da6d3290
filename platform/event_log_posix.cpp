#include "platform/event_log.h"

namespace ostra {

int registerEventSource(const std::string&, const std::string&) { return 0; }
int unregisterEventSource(const std::string&) { return 0; }
void reportErrorEvent(const std::string&, const std::string&) {}
void reportInfoEvent(const std::string&, const std::string&) {}

}  // namespace ostra
