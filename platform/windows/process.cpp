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
    // Read wide: the ANSI call puts "?" for every letter of the folder's name
    // that the ANSI code page lacks, and the path then names no file. The
    // buffer grows up to the longest path the system has.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return "";
        // A path cut short at the buffer's end would name another file.
        if (length < path.size()) {
            path.resize(length);
            return Narrow(path, CP_UTF8);
        }
        if (path.size() >= 32768) return "";
        path.resize(path.size() * 2);
    }
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
