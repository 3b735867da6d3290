#include <iconv.h>

#include <cerrno>

#include "Cp1250.h"

namespace ostra_kit {

std::string cp1250ToUtf8(const std::string& text) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    iconv_t converter = iconv_open("UTF-8", "WINDOWS-1250");
    if (converter == reinterpret_cast<iconv_t>(-1)) return text;  // glibc always has it
    std::string out(text.size() * 3 + 3, '\0');  // a byte is at most three bytes of UTF-8
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* to = &out[0];
    size_t toLeft = out.size();
    while (inLeft > 0) {
        if (iconv(converter, &in, &inLeft, &to, &toLeft) != static_cast<size_t>(-1)) break;
        if (errno != EILSEQ) break;
        // A byte with no character: U+FFFD in its place, and on.
        for (char c : kReplacement) {
            if (c == '\0') break;
            *to++ = c;
            --toLeft;
        }
        ++in;
        --inLeft;
    }
    iconv_close(converter);
    out.resize(out.size() - toLeft);
    return out;
}

}  // namespace ostra_kit
