// A sign.bmp that cannot be made, on Windows: the "GetLastError: " line holds
// the system's own code, which tells a file another program holds (an
// antivirus scanning the last signature: a sharing violation, 32) from one
// the user may not write (access denied, 5). The C runtime's errno is 13 for
// both.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "image/canvas.h"
#include "image/delivery.h"
#include "shell/log.h"
#include "tests/support/log_reader.h"

namespace {

namespace fs = std::filesystem;

class SignBmpNotMade : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetCanvasForTests();
        CreateCanvas();
        ClearCanvas();
        Clean();
    }
    void TearDown() override {
        ResetCanvasForTests();
        Clean();
    }
    void Clean() {
        std::error_code ignored;
        fs::remove(bmpPath_, ignored);
        fs::remove(pngPath_, ignored);
    }

    // The code on the "GetLastError: " line of one delivery; -1 without one.
    int LoggedCode() {
        DeliverSignature();
        const std::string log = ReadTodaysLog(OwnLogFolder());
        const std::string tag = "GetLastError: : ";
        const size_t line = log.find(tag);
        if (line == std::string::npos) return -1;
        EXPECT_EQ(log.find(tag, line + 1), std::string::npos) << log;
        EXPECT_NE(log.find("CreateFile failed"), std::string::npos) << log;
        // The stamp "HH:MM:SS " follows the tag.
        return std::stoi(log.substr(line + tag.size() + 9));
    }

    std::string bmpPath_ = ExeDirectory() + "\\sign.bmp";
    std::string pngPath_ = ExeDirectory() + "\\sign.png";
};

TEST_F(SignBmpNotMade, AFileAnotherProgramHoldsIsASharingViolation) {
    // Held open without sharing, as a scanner holds a file it reads.
    HANDLE held = CreateFileA(bmpPath_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const int code = LoggedCode();
    CloseHandle(held);
    EXPECT_EQ(code, ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(fs::exists(pngPath_));
}

TEST_F(SignBmpNotMade, AFolderInItsPlaceIsAccessDenied) {
    ASSERT_TRUE(fs::create_directory(bmpPath_));
    EXPECT_EQ(LoggedCode(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(fs::exists(pngPath_));
}

}  // namespace
