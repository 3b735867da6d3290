// Log lines reach the console in the host's message bytes; browsers get
// UTF-8 (Windows-1250 lines are converted by the kit's cp1250ToUtf8).
#pragma once

#include <string>

namespace webcontrol {

// `text` with every byte sequence that is not valid UTF-8 replaced by U+FFFD.
std::string validUtf8(const std::string& text);

}  // namespace webcontrol
