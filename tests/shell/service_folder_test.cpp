// The folder the service works in, seen from outside on Linux (the current
// folder of a process is /proc/<pid>/cwd): a start in a folder without the
// reader's library, beside an executable that has one, moves to the
// executable's folder, as a start at logon must; every other start keeps the
// folder it was given.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "tests/shell/service_copy.h"

namespace {

namespace fs = std::filesystem;

// The reader's library by the name the service looks for.
const std::string kLibraryName = fs::path(platform::kFingerLibraryPath).filename().string();

// A copy of the service in its own folder, with the virtual reader beside it
// when `readerBeside`, started in `startFolder`.
class FolderStart {
  public:
    FolderStart(bool readerBeside, const std::string& startFolder) {
        exe_ = folder_.path() + "/penmora";
        fs::copy_file(PENMORA_SERVICE_EXE, exe_);
        if (readerBeside)
            fs::copy_file(PENMORA_VIRTUAL_READER, folder_.path() + "/" + kLibraryName);
        child_ =
            std::make_unique<testsys::Child>(exe_, ServiceEnvironment(folder_.path()), startFolder);
    }
    const std::string& folder() const { return folder_.path(); }

    // The service's working folder once its start-up is done (it serves the
    // page port); "" when it ended or never served.
    std::string WorkingFolder() {
        for (int i = 0; i < 2000; ++i) {
            if (child_->WaitExit(0)) return "";
            if (PortAnswers()) {
                std::error_code error;
                const fs::path cwd =
                    fs::read_symlink("/proc/" + std::to_string(child_->Id()) + "/cwd", error);
                return error ? "" : cwd.string();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return "";
    }

  private:
    TempFolder folder_{"penmora-folder-test"};
    std::string exe_;
    std::unique_ptr<testsys::Child> child_;
};

std::string Canonical(const std::string& path) {
    return fs::canonical(path).string();
}

TEST_F(ServiceTest, AStartWithoutTheLibraryMovesToTheExecutablesFolderThatHasIt) {
    TempFolder elsewhere{"penmora-start-folder"};
    FolderStart service(true, elsewhere.path());
    EXPECT_EQ(service.WorkingFolder(), Canonical(service.folder()));
}

TEST_F(ServiceTest, AStartInAFolderThatHoldsTheLibraryKeepsIt) {
    TempFolder own{"penmora-start-folder"};
    fs::copy_file(PENMORA_VIRTUAL_READER, own.path() + "/" + kLibraryName);
    FolderStart service(true, own.path());
    EXPECT_EQ(service.WorkingFolder(), Canonical(own.path()));
}

TEST_F(ServiceTest, AStartWhereNeitherFolderHoldsTheLibraryKeepsItsFolder) {
    TempFolder elsewhere{"penmora-start-folder"};
    FolderStart service(false, elsewhere.path());
    EXPECT_EQ(service.WorkingFolder(), Canonical(elsewhere.path()));
}

}  // namespace
