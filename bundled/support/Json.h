// JSON text for the few places the bundled plug-ins write it. What it
// writes is always valid UTF-8 JSON, whatever bytes it is given.
#pragma once

#include <string>

namespace bundled_support {

// Appends `text` as a JSON string: quotes, backslashes and control
// characters escaped; every part that is not valid UTF-8 (Utf8.h) replaced
// by U+FFFD, so the rest of the text is kept.
void appendJsonString(std::string& json, const std::string& text);

}  // namespace bundled_support
