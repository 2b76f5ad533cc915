// Windows: the message box, a modal box with an OK button, no owner window
// and the system's default caption. The calling thread waits until it is
// dismissed.
#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {

void ShowMessageBox(const std::string& utf8Text) {
    MessageBoxW(nullptr, Widen(utf8Text, CP_UTF8).c_str(), nullptr, MB_OK);
}

}  // namespace platform
