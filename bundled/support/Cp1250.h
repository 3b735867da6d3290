// Windows-1250 text, the host's message bytes on Windows, as UTF-8 for the
// outside world. The platform converts: iconv on Linux,
// MultiByteToWideChar on Windows.
#pragma once

#include <string>

namespace bundled_support {

// `text` read as Windows-1250, written as UTF-8; a byte Windows-1250 does
// not define becomes U+FFFD.
std::string cp1250ToUtf8(const std::string& text);
// The other way, for what the outside world names (a protocol to stop, say):
// a character Windows-1250 has no byte for, or bytes that are not UTF-8,
// become '?'.
std::string utf8ToCp1250(const std::string& text);

}  // namespace bundled_support
