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

}  // namespace platform
