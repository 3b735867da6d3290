#include "Utf8.h"

#include "Cp1250.h"

namespace webcontrol {

namespace {

void appendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

const unsigned kReplacement = 0xFFFD;

}  // namespace

std::string validUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80           ? 1
                             : (lead >> 5) == 0x6  ? 2
                             : (lead >> 4) == 0xE  ? 3
                             : (lead >> 3) == 0x1E ? 4
                                                   : 0;
        bool valid = length > 0 && i + length <= text.size() && !(length == 2 && lead < 0xC2);
        for (std::size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            appendUtf8(out, kReplacement);
            ++i;
        }
    }
    return out;
}

std::string hostTextToUtf8(const std::string& text) {
#ifdef OSTRA_CP1250
    return bundled_support::cp1250ToUtf8(text);
#else
    return validUtf8(text);
#endif
}

std::string hostTextFromUtf8(const std::string& text) {
#ifdef OSTRA_CP1250
    return bundled_support::utf8ToCp1250(text);
#else
    return text;
#endif
}

}  // namespace webcontrol
