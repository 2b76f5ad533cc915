// Conversion between code page 936 and UTF-8 of the service's own texts and of
// what pages send.
#include "link/text.h"

#include <gtest/gtest.h>

#include "commands/messages.h"

namespace {

TEST(Text, MessageTextsRoundTripThroughUtf8) {
    EXPECT_EQ(ToUtf8(msg::kError), u8"{\"typeName\":\"TavoError\",\"message\":\"开始签字失败\"}");
    EXPECT_EQ(ToUtf8(msg::kUnSign),
              u8"{\"typeName\":\"TavoUnSign\",\"message\":\"请确认是否签字\"}");
    EXPECT_EQ(ToUtf8(msg::kLogOpenFailed), u8"打开设备失败");
    EXPECT_EQ(ToUtf8(msg::kLogSignCommandFailed), u8"向设备发送签名消息失败");
    EXPECT_EQ(ToUtf8(msg::kLogFingerSymbolsMissing), u8"定位ZAZAPIt.dll中的所需函数失败!");
    EXPECT_EQ(ToUtf8(msg::kLogAutostartFailed), u8"服务自启动失败");
    for (const char* text : {msg::kError, msg::kUnSign, msg::kLogOpenFailed,
                             msg::kLogSignCommandFailed, msg::kLogFingerSymbolsMissing,
                             msg::kLogAutostartFailed, msg::kOK, msg::kClear, msg::kCancel})
        EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
}

TEST(Text, ReplacesWhatCannotBeConverted) {
    // Bytes that are not UTF-8 become "?", one for each; so does a character
    // GBK lacks. (What each system's converter does with the other cases is
    // in text_replacement_*_test.cpp.)
    EXPECT_EQ(FromUtf8("a\xff\xfe"
                       "b"),
              "a??b");
    EXPECT_EQ(FromUtf8(u8"x\u0e01\u0e02y"), "x??y");
}

TEST(Text, EndsAtTheFirstNul) {
    EXPECT_EQ(ToUtf8(std::string("ab\0cd", 5)), "ab");
    EXPECT_EQ(FromUtf8(std::string("ab\0cd", 5)), "ab");
    EXPECT_EQ(ToUtf8(""), "");
}

}  // namespace
