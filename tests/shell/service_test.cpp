// The service executable from the outside: copies of it in temporary folders,
// a real WebSocket client on its fixed port, its log file, a second start, and
// a crash.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "platform/platform.h"
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
    // The page port opened, so nothing says it did not.
    EXPECT_EQ(log.find("port 10001 "), std::string::npos) << log;
}

// The log line of a port the service could not open, without its line end;
// "" when there is none.
std::string PortLine(const std::string& log, uint16_t port) {
    const size_t at =
        log.find("port " + std::to_string(port) + " could not be opened: system error ");
    if (at == std::string::npos) return "";
    // No line feed before it: npos + 1 is 0, the start of the first line.
    const size_t begin = log.rfind('\n', at) + 1;
    return log.substr(begin, log.find("\r\n", at) - begin);
}

TEST_F(ServiceTest, APortThatCannotBeOpenedIsLoggedWithTheSystemsCode) {
    // Other programs hold both ports, on every interface as the service asks.
    const platform::Socket page = platform::Listen("0.0.0.0", kPort, 1);
    ASSERT_NE(page, platform::kInvalidSocket);
    // What this system says to a second listener on a port that is taken.
    ASSERT_EQ(platform::Listen("0.0.0.0", kPort, 1), platform::kInvalidSocket);
    const int taken = platform::LastSystemError();
    ASSERT_NE(taken, 0);
    // Port 843 needs privileges on Linux: without them the service meets the
    // same refusal as this test does.
    const platform::Socket policy = platform::Listen("0.0.0.0", 843, 1);
    const int policyCode = policy == platform::kInvalidSocket ? platform::LastSystemError() : taken;

    Service service("penmora");
    std::string log, pageLine, policyLine;
    for (int i = 0; i < 2000 && (pageLine.empty() || policyLine.empty()); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        log = ReadTodaysLog(service.folder() + "/log");
        pageLine = PortLine(log, kPort);
        policyLine = PortLine(log, 843);
    }
    // One line each, tagged as an error, and the service runs on without them.
    EXPECT_EQ(pageLine.rfind("error: ", 0), 0u) << log;
    EXPECT_EQ(pageLine.substr(pageLine.rfind(' ') + 1), std::to_string(taken)) << log;
    EXPECT_EQ(policyLine.rfind("error: ", 0), 0u) << log;
    EXPECT_EQ(policyLine.substr(policyLine.rfind(' ') + 1), std::to_string(policyCode)) << log;
    EXPECT_EQ(log.find("port 10001 ", log.find("port 10001 ") + 1), std::string::npos) << log;
    EXPECT_EQ(log.find("port 843 ", log.find("port 843 ") + 1), std::string::npos) << log;
    EXPECT_EQ(service.WaitExit(300), std::nullopt);
    platform::CloseSocket(page);
    platform::CloseSocket(policy);
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
