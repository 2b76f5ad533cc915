// One copy of the service executable under a chosen file name in a temporary
// folder, run from there with a home of its own, for the tests that start the
// service from the outside.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/system.h"
#include "tests/support/temp_folder.h"

constexpr uint16_t kPort = 10001;

inline bool PortAnswers() {
    platform::Socket s = platform::Connect("127.0.0.1", kPort);
    platform::CloseSocket(s);
    return s != platform::kInvalidSocket;
}

// Its environment: the test's, with a home in the copy's folder, so that
// autostart entries land there, and no desktop.
inline std::vector<std::string> ServiceEnvironment(const std::string& home) {
    std::vector<std::string> env;
    for (const std::string& var : testsys::Environment()) {
        bool drop = false;
        for (const char* name : {"HOME=", "XDG_CONFIG_HOME=", "DISPLAY=", "WAYLAND_DISPLAY=",
                                 "DBUS_SESSION_BUS_ADDRESS="})
            drop = drop || var.rfind(name, 0) == 0;
        if (!drop) env.push_back(var);
    }
    env.push_back("HOME=" + home);
    env.push_back("XDG_CONFIG_HOME=" + home + "/.config");
    return env;
}

class Service {
  public:
    // `stem` gets the executable's own extension (none, or ".exe").
    explicit Service(const std::string& stem)
        : exe_(folder_.path() + "/" + stem +
               std::filesystem::path(PENMORA_SERVICE_EXE).extension().string()) {
        std::filesystem::copy_file(PENMORA_SERVICE_EXE, exe_);
        child_ = std::make_unique<testsys::Child>(exe_, ServiceEnvironment(folder_.path()),
                                                  folder_.path());
    }
    const std::string& folder() const { return folder_.path(); }
    testsys::Child& process() { return *child_; }

    // The exit code once the process ended within `timeoutMs`.
    std::optional<int> WaitExit(int timeoutMs = 20000) { return child_->WaitExit(timeoutMs); }
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
    void Kill() { child_->Kill(); }

  private:
    TempFolder folder_{"penmora-service-test"};
    std::string exe_;
    std::unique_ptr<testsys::Child> child_;
};

inline bool ExitedWithZero(const std::optional<int>& status) {
    return status && *status == 0;
}

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(PortAnswers()) << "port " << kPort << " is in use by another program";
    }
};
