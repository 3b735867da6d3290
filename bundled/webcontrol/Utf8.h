// Log lines reach the console in the host's message bytes; browsers get
// UTF-8 (Windows-1250 lines are converted by the kit's cp1250ToUtf8).
#pragma once

#include <string>

namespace webcontrol {

// `text` with every byte sequence that is not valid UTF-8 replaced by U+FFFD.
std::string validUtf8(const std::string& text);

// `text` in the host's message bytes (Windows-1250 where the build says
// so) as UTF-8.
std::string hostTextToUtf8(const std::string& text);
// And back: what a browser sends, in the host's bytes.
std::string hostTextFromUtf8(const std::string& text);

}  // namespace webcontrol
