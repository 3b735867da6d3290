// Log lines reach the console in the host's message encoding: Windows-1250
// on Windows. Browsers get UTF-8.
#pragma once

#include <string>

namespace webcontrol {

// `text` read as Windows-1250, written as UTF-8.
std::string cp1250ToUtf8(const std::string& text);

// `text` with every byte sequence that is not valid UTF-8 replaced by U+FFFD.
std::string validUtf8(const std::string& text);

}  // namespace webcontrol
