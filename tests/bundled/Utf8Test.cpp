// The one UTF-8 reading the bundled plug-ins share (bundled/support/Utf8.h)
// and the JSON text written with it.
#include <gtest/gtest.h>

#include <string>

#include "Json.h"
#include "Utf8.h"

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

std::string json(const std::string& text) {
    std::string out;
    bundled_support::appendJsonString(out, text);
    return out;
}

}  // namespace

TEST(Utf8, OnlyRfc3629IsValidAndEachInvalidPartBecomesOneReplacement) {
    using bundled_support::isValidUtf8;
    using bundled_support::validUtf8;
    // Valid: the first and last code point of each length, up to U+10FFFF.
    for (const std::string valid :
         {"\x7F", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
          "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "a\xF0\x9F\x98\x80z"}) {
        EXPECT_TRUE(isValidUtf8(valid)) << valid;
        EXPECT_EQ(validUtf8(valid), valid);
    }
    // Surrogates (U+D800, U+DFFF): no lead byte takes them, each byte is replaced.
    EXPECT_EQ(validUtf8("\xED\xA0\x80"), kFffd + kFffd + kFffd);
    EXPECT_EQ(validUtf8("\xED\xBF\xBF"), kFffd + kFffd + kFffd);
    // Overlong forms of '/' and of U+07FF and U+FFFF.
    EXPECT_EQ(validUtf8("\xC0\xAF"), kFffd + kFffd);
    EXPECT_EQ(validUtf8("\xE0\x9F\xBF"), kFffd + kFffd + kFffd);
    EXPECT_EQ(validUtf8("\xF0\x8F\xBF\xBF"), kFffd + kFffd + kFffd + kFffd);
    // Above U+10FFFF, and lead bytes no code point has.
    EXPECT_EQ(validUtf8("\xF4\x90\x80\x80"), kFffd + kFffd + kFffd + kFffd);
    EXPECT_EQ(validUtf8("\xF5\x80"), kFffd + kFffd);
    EXPECT_EQ(validUtf8("\xFF"), kFffd);
    // Cut short: the lead and what fits it are one part, whatever follows.
    EXPECT_EQ(validUtf8("\xE2\x82"), kFffd);
    EXPECT_EQ(validUtf8("a\xF0\x9F\x98z"), "a" + kFffd + "z");
    EXPECT_EQ(validUtf8("\xC3\x28"), kFffd + "(");
    EXPECT_EQ(validUtf8("\x80"), kFffd);
    for (const std::string invalid :
         {"\xED\xA0\x80", "\xC0\xAF", "\xF4\x90\x80\x80", "\xE2\x82", "\x80", "ok\xC3"})
        EXPECT_FALSE(isValidUtf8(invalid)) << invalid;
    // JSON written from such text is valid UTF-8, its escapes as before.
    EXPECT_EQ(json("a\"\\\n\xED\xA0\x80\xC4\x8D"),
              "\"a\\\"\\\\\\u000a" + kFffd + kFffd + kFffd + "\xC4\x8D\"");
}
