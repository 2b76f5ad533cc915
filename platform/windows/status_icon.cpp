// Windows: the status icon in the notification area, with the menu whose one
// item "Exit" ends the process. The icon is the executable's icon resource
// 102 at the notification area's size; its record is filled once and used
// unchanged to add the icon, to add it again when the shell restarts, and to
// delete it.
#include "platform/platform.h"
#include "platform/windows/win32.h"
// win32.h first: the common controls' header needs windows.h.
#include <commctrl.h>

namespace platform {
namespace {

constexpr UINT kIconId = 102;
constexpr UINT kStatusIconMessage = WM_USER + 100;  // 1124
constexpr UINT_PTR kExitCommand = 40001;

// Main thread only, like the window procedure that uses them.
NOTIFYICONDATAW TrayIconRecord{};
HMENU TrayMenu = nullptr;
bool IconMade = false;

// The icon resource at the size of the notification area's icons, which
// grows with the display's scale (16 pixels at 100 %, 20 at 125 %, 24 at
// 150 %): the resource holds an image of each, so none is scaled blurry. A
// missing resource leaves the icon empty; the service runs on.
HICON LoadTrayIcon() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    // LoadIconMetric lives in version 6 of the common controls, which the
    // executables' manifest asks for; it is looked up rather than imported,
    // so that a program without that manifest (a test) still starts on a
    // system whose default common controls lack it. The library stays
    // loaded, as the icon does.
    using LoadIconMetricFunction = decltype(&LoadIconMetric);
    if (HMODULE controls = LoadLibraryW(L"comctl32.dll")) {
        const auto load = reinterpret_cast<LoadIconMetricFunction>(
            reinterpret_cast<void*>(GetProcAddress(controls, "LoadIconMetric")));
        HICON icon = nullptr;
        if (load && SUCCEEDED(load(instance, MAKEINTRESOURCEW(kIconId), LIM_SMALL, &icon)))
            return icon;
    }
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconId), IMAGE_ICON,
                                         GetSystemMetrics(SM_CXSMICON),
                                         GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
}

}  // namespace

bool CreateStatusIcon(const std::string& tooltip) {
    const HWND window = ServiceWindowHandle();
    if (IconMade) return true;
    TrayIconRecord = NOTIFYICONDATAW{};
    // The full record of this system's shell: 956 bytes for 32-bit code.
    TrayIconRecord.cbSize = sizeof TrayIconRecord;
    TrayIconRecord.hWnd = window;
    TrayIconRecord.uID = kIconId;
    // The balloon texts stay empty, so NIF_INFO shows no balloon.
    TrayIconRecord.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
    TrayIconRecord.uCallbackMessage = kStatusIconMessage;
    TrayIconRecord.hIcon = LoadTrayIcon();
    const std::wstring tip = Widen(tooltip, CP_UTF8);
    // Bounded: the tip field holds 128 characters with its NUL.
    lstrcpynW(TrayIconRecord.szTip, tip.c_str(), ARRAYSIZE(TrayIconRecord.szTip));

    TrayMenu = CreatePopupMenu();
    AppendMenuW(TrayMenu, MF_STRING, kExitCommand, L"Exit");
    IconMade = true;
    // A shell that is not running yet (early at logon) shows the icon when it
    // announces itself with "TaskbarCreated".
    Shell_NotifyIconW(NIM_ADD, &TrayIconRecord);
    return window != nullptr;
}

void AddStatusIconAgain() {
    if (IconMade) Shell_NotifyIconW(NIM_ADD, &TrayIconRecord);
}

void DeleteStatusIcon() {
    if (IconMade) Shell_NotifyIconW(NIM_DELETE, &TrayIconRecord);
}

void OnStatusIconMessage(HWND window, LPARAM event) {
    // Only the right button opens the menu; clicks, double clicks and moves
    // do nothing.
    if (event != WM_RBUTTONDOWN || TrayMenu == nullptr) return;
    POINT cursor{};
    GetCursorPos(&cursor);
    // Without this the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(window);
    // TPM_RETURNCMD: the chosen command comes back here instead of as a
    // message; 0 when the menu was dismissed.
    const BOOL chosen =
        TrackPopupMenu(TrayMenu, TPM_RETURNCMD, cursor.x, cursor.y, 0, window, nullptr);
    // The documented companion of SetForegroundWindow above: without a
    // message to the window after the menu, the next time it opens it may not
    // close when the user clicks elsewhere.
    PostMessageW(window, WM_NULL, 0, 0);
    if (static_cast<UINT_PTR>(chosen) == kExitCommand) PostMessageW(window, WM_DESTROY, 0, 0);
}

}  // namespace platform
