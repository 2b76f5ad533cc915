// The daily log: file name, line format, bytes written verbatim, concurrent
// writers; and the helpers that find and make folders.
#include "shell/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/log_reader.h"
#include "tests/support/system.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

// The head "<tag>: HH:MM:SS " before `message` at the end of a line.
bool HasLine(const std::string& log, const std::string& tag, const std::string& message) {
    const std::regex line(
        "(^|\\n)" + std::regex_replace(tag, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
        ": [0-2][0-9]:[0-5][0-9]:[0-5][0-9] " +
        std::regex_replace(message, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") + "\\r\\n");
    return std::regex_search(log, line);
}

TEST(WriteLog, WritesOneStampedLinePerCallToTheDaysFile) {
    const platform::LocalTime t = platform::GetLocalTime();
    WriteLog("recv message: ", "{\"typeName\":\"log-format-3a9c\"}");
    WriteLog("error", "\xb4\xf2\xbf\xaa\xc9\xe8\xb1\xb8\xca\xa7\xb0\xdc log-format-3a9c");
    WriteLog("tag-empty-3a9c", "");
    WriteLog("send message: ", "100% %s %d %n log-format-3a9c");

    char name[32];
    snprintf(name, sizeof name, "%04d_%02d_%02d.txt", t.year, t.month, t.day);
    EXPECT_TRUE(fs::exists(OwnLogFolder() + "/" + name));

    const std::string log = ReadTodaysLog(OwnLogFolder());
    // The tags that end in ": " give two colons in a row.
    EXPECT_TRUE(HasLine(log, "recv message: ", "{\"typeName\":\"log-format-3a9c\"}"));
    EXPECT_NE(log.find("recv message: : "), std::string::npos);
    // Code page 936 bytes as they were given.
    EXPECT_TRUE(
        HasLine(log, "error", "\xb4\xf2\xbf\xaa\xc9\xe8\xb1\xb8\xca\xa7\xb0\xdc log-format-3a9c"));
    // An empty message: the head alone with its trailing blank.
    EXPECT_TRUE(HasLine(log, "tag-empty-3a9c", ""));
    EXPECT_TRUE(HasLine(log, "send message: ", "100% %s %d %n log-format-3a9c"));
    // Those four lines and nothing else.
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4) << log;
}

TEST(WriteLog, ANulByteEndsTagAndMessage) {
    WriteLog(std::string("nul-tag-77e1\0hidden", 19), std::string("shown-77e1\0hidden-77e1", 22));
    const std::string log = ReadTodaysLog(OwnLogFolder());
    EXPECT_TRUE(HasLine(log, "nul-tag-77e1", "shown-77e1"));
    EXPECT_EQ(log.find("hidden-77e1"), std::string::npos);
}

TEST(WriteLog, ConcurrentLinesNeverInterleave) {
    constexpr int kThreads = 8, kEach = 100;
    std::vector<std::thread> writers;
    for (int w = 0; w < kThreads; ++w)
        writers.emplace_back([w] {
            // Longer than any stdio buffer, so a line takes more than one write
            // unless it is kept whole.
            const std::string body(9000, static_cast<char>('a' + w));
            for (int i = 0; i < kEach; ++i)
                WriteLog("concurrent-c5d2: ",
                         std::to_string(w) + ":" + std::to_string(i) + ":" + body);
        });
    for (auto& t : writers) t.join();
    const std::string log = ReadTodaysLog(OwnLogFolder());
    int found = 0;
    size_t at = 0;
    while ((at = log.find("concurrent-c5d2: : ", at)) != std::string::npos) {
        const size_t end = log.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        const std::string line = log.substr(at, end - at);
        at = end;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m,
                                     std::regex("concurrent-c5d2: : \\d\\d:\\d\\d:\\d\\d "
                                                "([0-7]):(\\d+):([a-h]+)")))
            << line.substr(0, 80);
        EXPECT_EQ(m[3].str(), std::string(9000, static_cast<char>('a' + std::stoi(m[1]))));
        ++found;
    }
    EXPECT_EQ(found, kThreads * kEach);
}

TEST(WriteLog, LineFeedsInsideAMessageGoToDiskAsCrLf) {
    WriteLog("error", "first\nsecond\r\nthird\n");
    WriteLog("multi\nline tag", "x");
    // Each line feed gains a carriage return, as in a file opened in text
    // mode; one already before it stays.
    const std::string log = ReadTodaysLog(OwnLogFolder());
    const std::regex lines(
        "error: [0-2][0-9]:[0-5][0-9]:[0-5][0-9] first\r\nsecond\r\r\nthird\r\n\r\n"
        "multi\r\nline tag: [0-2][0-9]:[0-5][0-9]:[0-5][0-9] x\r\n");
    EXPECT_TRUE(std::regex_match(log, lines)) << log;
    for (size_t at = log.find('\n'); at != std::string::npos; at = log.find('\n', at + 1)) {
        ASSERT_GT(at, 0u);
        EXPECT_EQ(log[at - 1], '\r') << at;
    }
}

TEST(WriteLog, EachTestReadsALogOfItsOwn) {
    // Whatever earlier runs and tests wrote, this test's log starts empty.
    EXPECT_EQ(ReadTodaysLog(OwnLogFolder()), "");
    EXPECT_NE(OwnLogFolder(), ExeDirectory() + "/log");
    WriteLog("own-log-5b1e", "only line");
    const std::string log = ReadTodaysLog(OwnLogFolder());
    EXPECT_TRUE(std::regex_match(
        log, std::regex("own-log-5b1e: [0-2][0-9]:[0-5][0-9]:[0-5][0-9] only line\r\n")))
        << log;
}

TEST(MakeDirectories, CreatesEveryFolderButNotTheLastComponent) {
    TempFolder temp{"penmora-log-test"};
    const std::string base = temp.path();
    EXPECT_EQ(MakeDirectories(base + "/one/two//three/file.txt"), 0);
    EXPECT_TRUE(fs::is_directory(base + "/one/two/three"));
    EXPECT_FALSE(fs::exists(base + "/one/two/three/file.txt"));
    // Existing folders are fine; a path ending in a separator makes its last folder.
    EXPECT_EQ(MakeDirectories(base + "/one/two/four/"), 0);
    EXPECT_TRUE(fs::is_directory(base + "/one/two/four"));
    // A backslash separates too: the folder up to it is made.
    EXPECT_EQ(MakeDirectories(base + "/one\\x"), 0);
    EXPECT_TRUE(fs::is_directory(base + "/one\\"));
    EXPECT_FALSE(fs::exists(base + "/one\\x"));
}

TEST(MakeDirectories, HandlesPathsLongerThanAnyFixedBuffer) {
    TempFolder temp{"penmora-log-test"};
    std::string path = temp.path();
    for (int i = 0; i < 40; ++i) path += "/folder-with-a-long-name-" + std::to_string(i);
    ASSERT_GT(path.size(), 1000u);
    EXPECT_EQ(MakeDirectories(path + "/2020_03_07.txt"), 0);
    EXPECT_TRUE(fs::is_directory(path));
}

TEST(MakeDirectories, StopsAtTheFirstFolderItCannotMake) {
    TempFolder temp{"penmora-log-test"};
    std::ofstream(temp.path() + "/plainfile") << "x";
    EXPECT_EQ(MakeDirectories(temp.path() + "/plainfile/sub/log.txt"), -1);
    EXPECT_EQ(MakeDirectories(temp.path() + "/ok/plainfile/sub/log.txt"), 0);
    EXPECT_FALSE(fs::exists(temp.path() + "/plainfile/sub"));
}

TEST(ExeDirectory, IsTheFolderOfTheRunningExecutable) {
    const std::string exe = testsys::OwnExecutablePath();
    ASSERT_NE(exe.rfind(platform::kPathSeparator), std::string::npos) << exe;
    EXPECT_EQ(ExeDirectory(), exe.substr(0, exe.rfind(platform::kPathSeparator)));
    EXPECT_NE(ExeDirectory().back(), platform::kPathSeparator);
}

}  // namespace
