// How Windows' converters (MultiByteToWideChar and WideCharToMultiByte, flags
// 0, by way of UTF-16) replace what they cannot convert.
#include <gtest/gtest.h>

#include "link/text.h"

namespace {

TEST(TextReplacement, ACharacterBeyondSixteenBitsIsAQuestionMarkPerUtf16Unit) {
    // Its two surrogates each lack a GBK character.
    EXPECT_EQ(FromUtf8(u8"x😀y"), "x??y");
}

TEST(TextReplacement, ATruncatedUtf8SequenceIsOneQuestionMark) {
    EXPECT_EQ(FromUtf8("ok\xe5\xbc"), "ok?");
    EXPECT_EQ(FromUtf8("\xed\xa0\x80z"), "??z");  // an encoded surrogate: one per byte pair
}

TEST(TextReplacement, ALoneGbkLeadByteBecomesAQuestionMark) {
    EXPECT_EQ(ToUtf8("a\x81"), "a?");
    // With the byte after it, which it takes along, though that is no trail byte.
    EXPECT_EQ(ToUtf8("\x81 z"), "?z");
}

TEST(TextReplacement, TheSingleBytesWindowsAddsToGbk) {
    EXPECT_EQ(ToUtf8("a\x80"), u8"a€");
    EXPECT_EQ(ToUtf8("\xff"), "\xEF\xA3\xB5");  // U+F8F5, a private-use character
}

}  // namespace
