// Reading the daily log in tests, and the fresh log folder of each test.
#include "tests/support/log_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/platform.h"
#include "shell/log.h"
#include "tests/support/temp_folder.h"

namespace {

std::string DayFile(const std::string& folder, const platform::LocalTime& t) {
    char name[32];
    snprintf(name, sizeof name, "%04d_%02d_%02d.txt", t.year, t.month, t.day);
    return folder + "/" + name;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Points the log at a new temporary folder for each test. Lines written after
// the test ended (by a thread it left running) go beside the executable.
class FreshLogPerTest : public ::testing::EmptyTestEventListener {
  public:
    void OnTestStart(const ::testing::TestInfo&) override {
        folder_ = std::make_unique<TempFolder>("penmora-test-log");
        SetLogFolderForTests(folder_->path());
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        SetLogFolderForTests("");
        folder_.reset();
    }
    std::string Folder() const { return folder_ ? folder_->path() : ""; }

  private:
    std::unique_ptr<TempFolder> folder_;
};

// Owned by GoogleTest's listener list once appended, before main runs.
FreshLogPerTest* const Listener = [] {
    auto* listener = new FreshLogPerTest;
    ::testing::UnitTest::GetInstance()->listeners().Append(listener);
    return listener;
}();

}  // namespace

std::string ReadTodaysLog(const std::string& folder) {
    const platform::LocalTime before = platform::GetLocalTime();
    std::string text = ReadFile(DayFile(folder, before));
    const platform::LocalTime after = platform::GetLocalTime();
    if (after.day != before.day) text += ReadFile(DayFile(folder, after));
    return text;
}

std::string OwnLogFolder() {
    const std::string folder = Listener->Folder();
    return folder.empty() ? ExeDirectory() + "/log" : folder;
}
