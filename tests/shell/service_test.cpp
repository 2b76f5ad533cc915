// The service executable from the outside: copies of it in temporary folders,
// a real WebSocket client on its fixed port, its log file, a second start, and
// a crash.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "tests/shell/service_copy.h"
#include "tests/support/harness.h"
#include "tests/support/log_reader.h"

namespace {

namespace fs = std::filesystem;

const std::string kError = u8"{\"typeName\":\"TavoError\",\"message\":\"开始签字失败\"}";

TEST_F(ServiceTest, AnswersStartSignWithoutAPadAndLogsIt) {
    Service service("penmora");
    ASSERT_TRUE(service.WaitServing());
    WsPeer peer(kPort);
    ASSERT_TRUE(peer.Connected());
    const std::string command = R"({"typeName":"TavoStartSign","message":{"penwidth":"3"}})";
    ASSERT_TRUE(peer.Send(command));
    EXPECT_EQ(peer.Receive(), kError);
    EXPECT_EQ(peer.Receive(300), std::nullopt);

    // The log folder beside the executable was made by the first line.
    const std::string log = ReadTodaysLog(service.folder() + "/log");
    const size_t received = log.find(command + "\r\n");
    ASSERT_NE(received, std::string::npos) << log;
    ASSERT_GE(received, 25u);
    EXPECT_EQ(log.substr(received - 25, 16), "recv message: : ");
    const size_t error = log.find(" \xb4\xf2\xbf\xaa\xc9\xe8\xb1\xb8\xca\xa7\xb0\xdc\r\n");
    ASSERT_NE(error, std::string::npos) << log;
    ASSERT_GE(error, 15u);
    EXPECT_EQ(log.substr(error - 15, 7), "error: ");
    EXPECT_GT(error, received);
}

TEST_F(ServiceTest, ASecondStartOfTheSameFileNameEndsAtOnceWithZero) {
    Service first("penmora");
    ASSERT_TRUE(first.WaitServing());
    // Another folder, the same file name.
    Service second("penmora");
    EXPECT_TRUE(ExitedWithZero(second.WaitExit()));
    EXPECT_FALSE(fs::exists(second.folder() + "/log"));
    EXPECT_FALSE(fs::exists(second.folder() + "/.config"));
    // The first one serves on.
    EXPECT_FALSE(first.WaitExit(0));
    WsPeer peer(kPort);
    ASSERT_TRUE(peer.Connected());
    ASSERT_TRUE(peer.Send(R"({"typeName":"TavoStartSign"})"));
    EXPECT_EQ(peer.Receive(), kError);
}

TEST_F(ServiceTest, AnotherLetterCaseIsAnotherInstance) {
    Service first("penmora");
    ASSERT_TRUE(first.WaitServing());
    // Two starts of another spelling: they run beside the first (without its
    // ports), and exactly one of the two remains.
    Service second("Penmora");
    Service third("Penmora");
    std::optional<int> ended;
    for (int i = 0; i < 2000 && !ended; ++i) {
        ended = second.WaitExit(0);
        if (!ended) ended = third.WaitExit(0);
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(ExitedWithZero(ended));
    EXPECT_NE(second.WaitExit(0).has_value(), third.WaitExit(0).has_value());
    EXPECT_EQ(first.WaitExit(0), std::nullopt);
}

TEST_F(ServiceTest, ACrashFreesTheLock) {
    {
        Service crashed("penmora");
        ASSERT_TRUE(crashed.WaitServing());
        crashed.Kill();
        ASSERT_TRUE(crashed.WaitExit());
    }
    Service next("penmora");
    ASSERT_TRUE(next.WaitServing());
    WsPeer peer(kPort);
    EXPECT_TRUE(peer.Connected());
}

}  // namespace
