// Windows: the executable's path, detached threads, process exit, local time
// and the debugger echo of the log.
#include <memory>

#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {
namespace {

DWORD WINAPI RunThreadBody(LPVOID parameter) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
    (*body)();
    return 0;
}

}  // namespace

std::string ExecutablePath() {
    // The system's own limit for this call's paths; the buffer starts zeroed.
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    // A path cut short at the buffer's end would name another file.
    if (length == 0 || length >= MAX_PATH) return "";
    return std::string(path, length);
}

bool StartDetachedThread(std::function<void()> body) {
    auto* parameter = new (std::nothrow) std::function<void()>(std::move(body));
    if (parameter == nullptr) return false;
    // Default security and stack size, running at once; the handle is closed
    // straight away, so the thread is never joined.
    HANDLE thread = CreateThread(nullptr, 0, RunThreadBody, parameter, 0, nullptr);
    if (thread == nullptr) {
        delete parameter;
        return false;
    }
    CloseHandle(thread);
    return true;
}

void ExitProcess(int code) {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    // TerminateProcess on the own process does not return; should it fail,
    // end all the same.
    ::ExitProcess(static_cast<UINT>(code));
}

LocalTime GetLocalTime() {
    SYSTEMTIME t{};
    ::GetLocalTime(&t);
    return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

void DebugOutput(const std::string& text) {
    OutputDebugStringA(text.c_str());
}

}  // namespace platform
