// A folder under the system's temporary folder that lives as long as the
// object, with all it holds.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

#include "tests/support/system.h"

class TempFolder {
  public:
    // `prefix` names the folder, e.g. "penmora-log-test".
    explicit TempFolder(const std::string& prefix) : path_(testsys::MakeTempFolder(prefix)) {}
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};
