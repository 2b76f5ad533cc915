// Windows: the message box, a modal box with an OK button, no owner window
// and the system's default caption. The calling thread waits until it is
// dismissed. The box comes to the front and stays above other windows: the
// service runs in the background, and a box of a background program would
// open behind the browser, where the clerk never finds it while the capture
// waits for it.
#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {

void ShowMessageBox(const std::string& utf8Text) {
    MessageBoxW(nullptr, Widen(utf8Text, CP_UTF8).c_str(), nullptr,
                MB_OK | MB_SETFOREGROUND | MB_TOPMOST);
}

namespace {

// MessageBoxTimeoutW: user32's message box that closes itself after a time,
// answering MB_TIMEDOUT. Looked up at run time, as the import library may
// lack it.
using MessageBoxTimeoutFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT, WORD, DWORD);

}  // namespace

SiteAnswer AskAboutSite(const std::string& utf8Text, int timeoutMs) {
    static const auto timed = reinterpret_cast<MessageBoxTimeoutFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "MessageBoxTimeoutW")));
    if (!timed) return SiteAnswer::NoAnswer;
    // Yes allows, No blocks; the text says so, since the box's own buttons
    // carry the system's words.
    const std::string text =
        utf8Text + u8"\n\n“是”允许，“否”阻止。\nYes allows the site, No blocks it.";
    const int answer =
        timed(nullptr, Widen(text, CP_UTF8).c_str(), L"Penmora",
              MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2 | MB_SETFOREGROUND | MB_TOPMOST, 0,
              static_cast<DWORD>(timeoutMs));
    if (answer == IDYES) return SiteAnswer::Allow;
    if (answer == IDNO) return SiteAnswer::Block;
    return SiteAnswer::NoAnswer;  // timed out (32000), or no desktop to show it on
}

}  // namespace platform
