#include "Utf8.h"

#include "Cp1250.h"

namespace bundled_support {

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

struct Lead {
    std::size_t length;       // 0: no sequence starts here
    unsigned char low, high;  // the second byte's range
};

// Which second bytes a lead byte allows keeps out overlong forms (E0, F0),
// surrogates (ED) and code points above U+10FFFF (F4).
Lead leadOf(unsigned char byte) {
    if (byte < 0x80) return {1, 0, 0};
    if (byte >= 0xC2 && byte <= 0xDF) return {2, 0x80, 0xBF};
    if (byte == 0xE0) return {3, 0xA0, 0xBF};
    if (byte == 0xED) return {3, 0x80, 0x9F};
    if (byte >= 0xE1 && byte <= 0xEF) return {3, 0x80, 0xBF};
    if (byte == 0xF0) return {4, 0x90, 0xBF};
    if (byte >= 0xF1 && byte <= 0xF3) return {4, 0x80, 0xBF};
    if (byte == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

// How many bytes from `at` belong to a sequence, valid or cut short: the
// lead and the continuation bytes that fit it.
std::size_t fittingBytes(const std::string& text, std::size_t at, const Lead& lead) {
    std::size_t n = 1;
    while (n < lead.length && at + n < text.size()) {
        auto byte = static_cast<unsigned char>(text[at + n]);
        bool fits = n == 1 ? byte >= lead.low && byte <= lead.high : (byte & 0xC0) == 0x80;
        if (!fits) break;
        ++n;
    }
    return n;
}

}  // namespace

std::size_t utf8SequenceLength(const std::string& text, std::size_t at) {
    Lead lead = leadOf(static_cast<unsigned char>(text[at]));
    if (lead.length == 0) return 0;
    return fittingBytes(text, at, lead) == lead.length ? lead.length : 0;
}

bool isValidUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = utf8SequenceLength(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string validUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        Lead lead = leadOf(static_cast<unsigned char>(text[i]));
        std::size_t fitting = lead.length == 0 ? 1 : fittingBytes(text, i, lead);
        if (lead.length != 0 && fitting == lead.length)
            out.append(text, i, fitting);
        else
            out += kReplacement;
        i += fitting;
    }
    return out;
}

std::string hostTextToUtf8(const std::string& text) {
#ifdef OSTRA_CP1250
    return cp1250ToUtf8(text);
#else
    return validUtf8(text);
#endif
}

std::string hostTextFromUtf8(const std::string& text) {
#ifdef OSTRA_CP1250
    return utf8ToCp1250(text);
#else
    return validUtf8(text);
#endif
}

}  // namespace bundled_support
