// The scratch folder of a fuzz target: made once, in memory where the system
// offers a memory file system (files are written for every input), and
// removed when the target exits.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <system_error>

inline std::string& ScratchFolderPath() {
    static std::string& path = *new std::string;
    return path;
}

// Makes the folder (named after `name`) and returns its path; aborts when it
// cannot be made.
inline const std::string& MakeScratchFolder(const std::string& name) {
    struct stat info {};
    const std::string base =
        stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/penmora-fuzz-" + name + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    ScratchFolderPath() = pattern;
    atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(ScratchFolderPath(), ignored);
    });
    return ScratchFolderPath();
}
