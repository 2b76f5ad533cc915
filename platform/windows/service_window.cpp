// Windows: the hidden window that owns the status icon, and its window
// procedure. The window is a tool window with the popup style and no size, so
// it has neither a taskbar button nor anything visible although it is shown.
#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {
namespace {

HWND ServiceWindow = nullptr;  // main thread only

LRESULT CALLBACK ServiceWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    constexpr UINT kStatusIconMessage = WM_USER + 100;  // 1124
    if (message == WM_DESTROY) {
        // "Exit" ends here: the icon goes first, then the whole process at
        // once and without clean-up.
        DeleteStatusIcon();
        PostQuitMessage(0);
        TerminateProcess(GetCurrentProcess(), 0);
    } else if (message == kStatusIconMessage) {
        OnStatusIconMessage(window, lParam);
    }
    // Asked on every call: the shell announces its restart with this message.
    if (message == RegisterWindowMessageW(L"TaskbarCreated")) AddStatusIconAgain();
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

HWND ServiceWindowHandle() {
    return ServiceWindow;
}

bool CreateServiceWindow(const std::string& name) {
    const std::wstring wideName = Widen(name, CP_UTF8);
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    // Class style 0, no extra bytes, no icon, cursor, brush or menu.
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = ServiceWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = wideName.c_str();
    if (RegisterClassW(&windowClass) == 0) return false;
    // A window that cannot be made leaves the service running without an icon.
    ServiceWindow = CreateWindowExW(WS_EX_TOOLWINDOW, wideName.c_str(), wideName.c_str(), WS_POPUP,
                                    CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                    nullptr, nullptr, instance, nullptr);
    ShowWindow(ServiceWindow, SW_SHOW);
    UpdateWindow(ServiceWindow);
    return true;
}

}  // namespace platform
