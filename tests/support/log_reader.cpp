// Reading the daily log in tests.
#include "tests/support/log_reader.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "shell/log.h"

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

}  // namespace

std::string ReadTodaysLog(const std::string& folder) {
    const platform::LocalTime before = platform::GetLocalTime();
    std::string text = ReadFile(DayFile(folder, before));
    const platform::LocalTime after = platform::GetLocalTime();
    if (after.day != before.day) text += ReadFile(DayFile(folder, after));
    return text;
}

std::string OwnLogFolder() {
    return ExeDirectory() + "/log";
}
