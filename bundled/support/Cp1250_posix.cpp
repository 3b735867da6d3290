#include <iconv.h>

#include <cerrno>

#include "Cp1250.h"

namespace bundled_support {

namespace {

// One converter per thread, opened on first use: the log's lines are
// converted one by one, and opening one costs more than a line.
class Converter {
public:
    Converter() : handle_(iconv_open("UTF-8", "WINDOWS-1250")) {}
    ~Converter() {
        if (usable()) iconv_close(handle_);
    }
    bool usable() const { return handle_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() {
        iconv(handle_, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
        return handle_;
    }

private:
    iconv_t handle_;
};

}  // namespace

std::string cp1250ToUtf8(const std::string& text) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    thread_local Converter threadConverter;
    if (!threadConverter.usable()) return text;  // glibc always has it
    iconv_t converter = threadConverter.get();
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
    out.resize(out.size() - toLeft);
    return out;
}

std::string utf8ToCp1250(const std::string& text) {
    iconv_t converter = iconv_open("WINDOWS-1250", "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) return text;
    std::string out(text.size() + 1, '\0');  // never longer than the UTF-8
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* to = &out[0];
    size_t toLeft = out.size();
    while (inLeft > 0) {
        if (iconv(converter, &in, &inLeft, &to, &toLeft) != static_cast<size_t>(-1)) break;
        if (errno != EILSEQ && errno != EINVAL) break;
        // Skip the character (or stray byte): one '?' in its place.
        *to++ = '?';
        --toLeft;
        do {
            ++in;
            --inLeft;
        } while (inLeft > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80);
    }
    iconv_close(converter);
    out.resize(out.size() - toLeft);
    return out;
}

}  // namespace bundled_support
