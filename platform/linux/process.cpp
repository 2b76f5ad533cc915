// Linux: the executable's path, detached threads, process exit, local time and
// the diagnostic echo.
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <thread>

#include "platform/platform.h"

namespace platform {

std::string ExecutablePath() {
    std::string path(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<size_t>(n) >= path.size()) return "";
    path.resize(static_cast<size_t>(n));
    return path;
}

bool StartDetachedThread(std::function<void()> body) {
    try {
        std::thread(std::move(body)).detach();
        return true;
    } catch (...) {
        return false;
    }
}

void ExitProcess(int code) {
    _exit(code);
}

LocalTime GetLocalTime() {
    time_t now = time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    return LocalTime{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

void DebugOutput(const std::string&) {
    // No debugger channel on Linux: the echo is dropped, the log file has it all.
}

}  // namespace platform
