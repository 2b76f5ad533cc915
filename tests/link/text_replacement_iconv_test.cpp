// How Linux's converter (iconv) replaces what it cannot convert.
#include <gtest/gtest.h>

#include "link/text.h"

namespace {

TEST(TextReplacement, ACharacterBeyondSixteenBitsIsOneQuestionMark) {
    EXPECT_EQ(FromUtf8(u8"x😀y"), "x?y");
}

TEST(TextReplacement, ATruncatedUtf8SequenceIsOneQuestionMarkPerByte) {
    EXPECT_EQ(FromUtf8("ok\xe5\xbc"), "ok??");
}

TEST(TextReplacement, ALoneGbkLeadByteBecomesTheReplacementCharacter) {
    EXPECT_EQ(ToUtf8("a\x81"), "a\xEF\xBF\xBD");
}

}  // namespace
