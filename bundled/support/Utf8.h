// UTF-8 as RFC 3629 defines it, the one reading every bundled plug-in
// uses: no overlong form, no surrogate (U+D800..U+DFFF), nothing above
// U+10FFFF, no sequence cut short.
//
// Text that is not valid is never passed on as it is. Where it is shown
// or stored (the console, the exposition, JSON, the stores' entries) each
// invalid part is replaced by U+FFFD, so nothing is lost but the bad
// bytes: a lead byte with the continuation bytes that fit it counts as
// one part, any other byte as one part of its own (as browsers decode).
#pragma once

#include <cstddef>
#include <string>

namespace bundled_support {

// The length of the valid sequence that starts at `text[at]`, or 0.
std::size_t utf8SequenceLength(const std::string& text, std::size_t at);

bool isValidUtf8(const std::string& text);

// `text` with every invalid part replaced by U+FFFD.
std::string validUtf8(const std::string& text);

// `text` in the host's message bytes (Windows-1250 where the build says
// so) as valid UTF-8.
std::string hostTextToUtf8(const std::string& text);
// And back: what the outside world sends, in the host's bytes.
std::string hostTextFromUtf8(const std::string& text);

}  // namespace bundled_support
