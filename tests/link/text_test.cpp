// Conversion between code page 936 and UTF-8 of the service's own texts and of
// what pages send.
#include "link/text.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

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

TEST(Text, AsciiIsTheSameInBothEncodings) {
    std::string ascii;
    for (int c = 1; c < 0x80; ++c) ascii += static_cast<char>(c);
    EXPECT_EQ(ToUtf8(ascii), ascii);
    EXPECT_EQ(FromUtf8(ascii), ascii);
    // One byte above 0x7F anywhere, even the last, and the whole text is
    // converted.
    EXPECT_EQ(FromUtf8(ascii + "\xff"), ascii + "?");
    EXPECT_EQ(ToUtf8(std::string("ok") + msg::kLogOpenFailed), u8"ok打开设备失败");
}

// Each thread keeps its converters from one text to the next: a text cut
// short or invalid must leave nothing behind for the next one, and threads
// converting at once must not share one.
TEST(Text, EachConversionStartsAfresh) {
    FromUtf8("ok\xe5\xbc");  // cut short inside a character
    EXPECT_EQ(FromUtf8(ToUtf8(msg::kLogOpenFailed)), msg::kLogOpenFailed);
    ToUtf8("a\x81");  // a lead byte with nothing after it
    EXPECT_EQ(ToUtf8(msg::kLogOpenFailed), u8"打开设备失败");

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&wrong] {
            for (int i = 0; i < 200; ++i) {
                if (ToUtf8(msg::kLogSignCommandFailed) != u8"向设备发送签名消息失败") ++wrong;
                if (FromUtf8(u8"确定\xe5") != FromUtf8(u8"确定") + "?") ++wrong;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Text, EndsAtTheFirstNul) {
    EXPECT_EQ(ToUtf8(std::string("ab\0cd", 5)), "ab");
    EXPECT_EQ(FromUtf8(std::string("ab\0cd", 5)), "ab");
    EXPECT_EQ(ToUtf8(""), "");
}

}  // namespace
