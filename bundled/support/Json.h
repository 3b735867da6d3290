// JSON text for the few places the bundled plug-ins write it.
#pragma once

#include <string>

namespace bundled_support {

// Appends `text` as a JSON string: quotes, backslashes and control
// characters escaped; other bytes, UTF-8 or not, kept as they are.
void appendJsonString(std::string& json, const std::string& text);

}  // namespace bundled_support
