// Keeps the Wine prefix's desktop in use while the tests run.
//
// The desktop's manager (explorer.exe /desktop) ends a second after the last
// program on the desktop has ended, and the next program that opens a window
// starts it again. Started by a test's program, the manager keeps that
// program's output, which is the test's output: ctest then waits on it until
// the test's timeout. This program starts the manager itself, with the output
// the runner gave it (none), and stays on the desktop until the prefix's
// server ends, so no test ever starts the manager.
#include <windows.h>

int main() {
    // The first look at the desktop window starts the manager and waits for it.
    if (GetDesktopWindow() == nullptr) return 1;
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "ready\n", 6, &written, nullptr);
    Sleep(INFINITE);
    return 0;
}
