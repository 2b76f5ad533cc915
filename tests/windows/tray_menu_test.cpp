// The status icon's menu in this process, with the service's own window and
// window procedure: after the menu closes, a message (WM_NULL) reaches the
// window, the documented way to make the next menu close when the user clicks
// elsewhere. Only a pump of the window's own thread sees that message.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>

#include "platform/platform.h"

namespace {

constexpr UINT kStatusIconMessage = WM_USER + 100;  // 1124

// A top-level window of `className` that belongs to this process.
HWND OwnWindow(const wchar_t* className) {
    HWND found = nullptr;
    while ((found = FindWindowExW(nullptr, found, className, nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(found, &owner);
        if (owner == GetCurrentProcessId()) return found;
    }
    return nullptr;
}

TEST(TrayMenu, AMessageReachesTheWindowAfterTheMenuCloses) {
    ASSERT_TRUE(platform::CreateServiceWindow("ScribtorMenuTest"));
    platform::CreateStatusIcon("ScribtorMenuTest");
    const HWND window = OwnWindow(L"ScribtorMenuTest");
    ASSERT_NE(window, nullptr);

    // The user dismisses the menu with Escape once it is shown.
    std::atomic<bool> menuShown{false};
    std::thread user([&] {
        for (int waited = 0; waited < 20000 && !menuShown; waited += 10) {
            if (OwnWindow(L"#32768")) menuShown = true;
            Sleep(10);
        }
        PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 1);
        PostMessageW(window, WM_KEYUP, VK_ESCAPE, 0xC0000001);
    });

    // The shell's callback for the right button: the window procedure shows
    // the menu and returns once it is closed.
    PostMessageW(window, kStatusIconMessage, 102, WM_RBUTTONDOWN);
    bool menuClosed = false, nullAfterMenu = false;
    int quietMs = 0;
    const DWORD deadline = GetTickCount() + 30000;
    MSG message;
    while (!nullAfterMenu && GetTickCount() < deadline && quietMs < 2000) {
        if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            Sleep(10);
            if (menuClosed) quietMs += 10;
            continue;
        }
        if (menuClosed && message.hwnd == window && message.message == WM_NULL) {
            nullAfterMenu = true;
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
        if (message.message == kStatusIconMessage) menuClosed = true;
    }
    user.join();
    EXPECT_TRUE(menuShown) << "no popup menu";
    EXPECT_TRUE(menuClosed);
    EXPECT_TRUE(nullAfterMenu) << "no WM_NULL after the menu";
}

}  // namespace
