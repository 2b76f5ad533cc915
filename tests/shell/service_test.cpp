// The service executable from the outside: copies of it in temporary folders,
// a real WebSocket client on its fixed port, its log file, a second start, and
// the signals that end it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/harness.h"
#include "tests/support/log_reader.h"
#include "tests/support/temp_folder.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string kError = u8"{\"typeName\":\"TavoError\",\"message\":\"开始签字失败\"}";
constexpr uint16_t kPort = 10001;

bool PortAnswers() {
    platform::Socket s = platform::Connect("127.0.0.1", kPort);
    platform::CloseSocket(s);
    return s != platform::kInvalidSocket;
}

// One copy of the executable under a chosen file name, run from its folder.
class Service {
  public:
    Service(const std::string& fileName) {
        exe_ = folder_.path() + "/" + fileName;
        fs::copy_file(PENMORA_SERVICE_EXE, exe_);
        // Its own home, so autostart entries land in the temporary folder, and
        // no desktop.
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string var = *e;
            for (const char* drop : {"HOME=", "XDG_CONFIG_HOME=", "DISPLAY=", "WAYLAND_DISPLAY=",
                                     "DBUS_SESSION_BUS_ADDRESS="})
                if (var.rfind(drop, 0) == 0) goto skip;
            env.push_back(var);
        skip:;
        }
        env.push_back("HOME=" + folder_.path());
        env.push_back("XDG_CONFIG_HOME=" + folder_.path() + "/.config");
        std::vector<char*> envp;
        for (auto& var : env) envp.push_back(var.data());
        envp.push_back(nullptr);
        char* argv[] = {exe_.data(), nullptr};
        if (posix_spawn(&pid_, exe_.c_str(), nullptr, nullptr, argv, envp.data()) != 0) pid_ = -1;
    }
    ~Service() {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& folder() const { return folder_.path(); }
    pid_t pid() const { return pid_; }

    // The exit status once the process ended within `timeoutMs`.
    std::optional<int> WaitExit(int timeoutMs = 20000) {
        for (int waited = 0; !status_ && pid_ > 0; waited += 10) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
                break;
            }
            if (waited >= timeoutMs) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return status_;
    }
    // True once the client port answers while this process still runs. The
    // port must be free before: another program on it would answer instead.
    bool WaitServing() {
        for (int i = 0; i < 2000; ++i) {
            if (WaitExit(0)) return false;
            if (PortAnswers()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    void Signal(int signal) { kill(pid_, signal); }

  private:
    TempFolder folder_{"penmora-service-test"};
    std::string exe_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

bool ExitedWithZero(const std::optional<int>& status) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(PortAnswers()) << "port " << kPort << " is in use by another program";
    }
};

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

TEST_F(ServiceTest, TermAndIntEndItWithZero) {
    for (int signal : {SIGTERM, SIGINT}) {
        Service service("penmora");
        ASSERT_TRUE(service.WaitServing());
        WsPeer peer(kPort);  // a session in progress changes nothing
        ASSERT_TRUE(peer.Connected());
        service.Signal(signal);
        EXPECT_TRUE(ExitedWithZero(service.WaitExit())) << signal;
    }
}

TEST_F(ServiceTest, ACrashFreesTheLock) {
    {
        Service crashed("penmora");
        ASSERT_TRUE(crashed.WaitServing());
        crashed.Signal(SIGKILL);
        ASSERT_TRUE(crashed.WaitExit());
    }
    Service next("penmora");
    ASSERT_TRUE(next.WaitServing());
    WsPeer peer(kPort);
    EXPECT_TRUE(peer.Connected());
}

}  // namespace
