// Windows: the main loop, the message loop of the main thread, which serves
// the hidden window and its status icon. The console's Ctrl-C, Ctrl-Break and
// close events end the process at once with exit code 0, as "Exit" does.
#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {
namespace {

BOOL WINAPI EndAtOnce(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            ExitProcess(0);
        default:
            return FALSE;
    }
}

}  // namespace

void EndProcessOnSignals() {
    // Only a process with a console gets these events; the service started at
    // logon has none and ends through its menu. A write to a closed
    // connection raises nothing on Windows.
    SetConsoleCtrlHandler(EndAtOnce, TRUE);
}

void RunMainLoop() {
    MSG message{};
    BOOL got;
    // Any window of this thread, no filter; -1 is an error, 0 the quit message.
    while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0 && got != -1) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    // "Exit" ends the process before the loop can see its quit message;
    // should the loop end all the same, the quit code is the exit code.
    ExitProcess(got == -1 ? 0 : static_cast<int>(message.wParam));
}

}  // namespace platform
