// The service's hidden window and tray icon under Wine. Wine's shell hands
// each Shell_NotifyIconW call to the window of class "Shell_TrayWnd" as
// WM_COPYDATA (the operation in dwData, the record in a fixed layout: hWnd,
// uID, uFlags, uCallbackMessage, szTip, ..., then the icon's bitmap); this
// test plays that taskbar and drives the window as the shell and the user
// would.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// windows.h first
#include <shellapi.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/shell/service_copy.h"
#include "tests/support/harness.h"

namespace {

struct IconCall {
    DWORD operation = 0;  // NIM_ADD, NIM_MODIFY, NIM_DELETE
    uint32_t window = 0;
    UINT id = 0;
    UINT flags = 0;
    UINT callback = 0;
    std::wstring tip;
    // The size of the icon's picture as the shell receives it; 0 when the
    // record carries none.
    UINT iconWidth = 0;
    UINT iconHeight = 0;
};

// The record Wine's shell sends: the fields of the notification record, then
// the icon's colour bitmap (width, height, planes, bits per pixel) whose bits
// follow with those of its mask.
struct NotifyRecord {
    LONG hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    WCHAR szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    WCHAR szInfo[256];
    UINT uTimeout;
    WCHAR szInfoTitle[64];
    DWORD dwInfoFlags;
    GUID guidItem;
    UINT width;
    UINT height;
    UINT planes;
    UINT bpp;
};

// The bytes of the icon's bitmaps after the record: the colour rows and the
// mask's rows of 1 bit per pixel, each row a whole number of 16-bit words.
size_t IconBitsSize(const NotifyRecord& record) {
    const size_t colourRow = (record.width * record.planes * record.bpp + 15) / 16 * 2;
    const size_t maskRow = (record.width + 15) / 16 * 2;
    return (colourRow + maskRow) * record.height;
}

class Taskbar {
  public:
    Taskbar() {
        thread_ = std::thread([this] { Run(); });
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return ready_; });
    }
    ~Taskbar() {
        if (window_) PostMessageW(window_, WM_CLOSE, 0, 0);
        thread_.join();
    }
    bool Ready() const { return window_ != nullptr; }
    // Waits until `count` calls came; a copy of them all.
    std::vector<IconCall> WaitCalls(size_t count, int timeoutMs = 20000) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return calls_.size() >= count; });
        return calls_;
    }

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
        auto* self = reinterpret_cast<Taskbar*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == WM_COPYDATA && self) {
            const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(l);
            if (data->cbData >= sizeof(NotifyRecord)) {
                const auto* head = static_cast<const NotifyRecord*>(data->lpData);
                IconCall call;
                call.operation = static_cast<DWORD>(data->dwData);
                call.window = static_cast<uint32_t>(head->hWnd);
                call.id = head->uID;
                call.flags = head->uFlags;
                call.callback = head->uCallbackMessage;
                call.tip.assign(head->szTip, wcsnlen(head->szTip, 128));
                // Only a record whose bitmap bits fill the rest carries a
                // picture of that size.
                if (data->cbData == sizeof(NotifyRecord) + IconBitsSize(*head)) {
                    call.iconWidth = head->width;
                    call.iconHeight = head->height;
                }
                std::lock_guard<std::mutex> lock(self->mutex_);
                self->calls_.push_back(call);
                self->changed_.notify_all();
            }
            return TRUE;
        }
        if (message == WM_CLOSE) {
            DestroyWindow(window);
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcW(window, message, w, l);
    }
    void Run() {
        WNDCLASSW type{};
        type.lpfnWndProc = Procedure;
        type.hInstance = GetModuleHandleW(nullptr);
        type.lpszClassName = L"Shell_TrayWnd";
        RegisterClassW(&type);
        HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, L"Shell_TrayWnd", L"", WS_POPUP, 0, 0, 0, 0,
                                      nullptr, nullptr, type.hInstance, nullptr);
        if (window) SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            window_ = window;
            ready_ = true;
            changed_.notify_all();
        }
        MSG message;
        while (window && GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    }

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ready_ = false;
    HWND window_ = nullptr;
    std::vector<IconCall> calls_;
};

// The top-level window of `className` that belongs to process `pid`.
HWND WindowOf(const wchar_t* className, DWORD pid) {
    HWND found = nullptr;
    while ((found = FindWindowExW(nullptr, found, className, nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(found, &owner);
        if (owner == pid) return found;
    }
    return nullptr;
}

HWND WaitWindowOf(const wchar_t* className, DWORD pid, int timeoutMs = 20000) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (HWND window = WindowOf(className, pid)) return window;
        Sleep(10);
    }
    return nullptr;
}

bool WaitGone(const wchar_t* className, DWORD pid, int timeoutMs = 20000) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (!WindowOf(className, pid)) return true;
        Sleep(10);
    }
    return false;
}

void ExpectTheIconRecord(const IconCall& call, HWND window) {
    EXPECT_EQ(call.operation, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(call.window, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window)));
    EXPECT_EQ(call.id, 102u);
    EXPECT_EQ(call.flags, 0x17u);
    EXPECT_EQ(call.callback, 1124u);
    EXPECT_EQ(call.tip, L"Scribtor");
    // The picture at the notification area's size (16 pixels at 100 %, more
    // at a larger scale), not the large icon scaled down by the shell.
    EXPECT_EQ(call.iconWidth, static_cast<UINT>(GetSystemMetrics(SM_CXSMICON)));
    EXPECT_EQ(call.iconHeight, static_cast<UINT>(GetSystemMetrics(SM_CYSMICON)));
}

// Keys typed into the menu that the window's thread tracks.
void Type(HWND window, std::initializer_list<WPARAM> keys) {
    for (WPARAM key : keys) {
        PostMessageW(window, WM_KEYDOWN, key, 1);
        PostMessageW(window, WM_KEYUP, key, 0xC0000001);
    }
}

TEST_F(ServiceTest, TheHiddenWindowItsIconTheMenuAndExit) {
    Taskbar taskbar;
    ASSERT_TRUE(taskbar.Ready());
    Service service("Penmora");
    ASSERT_TRUE(service.WaitServing());
    const DWORD pid = static_cast<DWORD>(service.process().Id());

    // The hidden window: class and title "Scribtor", a tool window and a popup.
    HWND window = WaitWindowOf(L"Scribtor", pid);
    ASSERT_NE(window, nullptr);
    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    EXPECT_STREQ(title, L"Scribtor");
    EXPECT_NE(static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)) & WS_POPUP, 0u);
    EXPECT_NE(static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE)) & WS_EX_TOOLWINDOW, 0u);

    // The icon was added once, with the record's fields.
    std::vector<IconCall> calls = taskbar.WaitCalls(1);
    ASSERT_EQ(calls.size(), 1u);
    ExpectTheIconRecord(calls[0], window);

    // A restarted taskbar announces itself: the icon is added again.
    PostMessageW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    calls = taskbar.WaitCalls(2);
    ASSERT_EQ(calls.size(), 2u);
    ExpectTheIconRecord(calls[1], window);

    // Other tray callbacks do nothing; the right button opens the menu.
    PostMessageW(window, 1124, 102, WM_LBUTTONDOWN);
    PostMessageW(window, 1124, 102, WM_MOUSEMOVE);
    Sleep(300);
    EXPECT_EQ(WindowOf(L"#32768", pid), nullptr);
    PostMessageW(window, 1124, 102, WM_RBUTTONDOWN);
    ASSERT_NE(WaitWindowOf(L"#32768", pid), nullptr) << "no popup menu";
    // Dismissed without a choice: nothing happens.
    Type(window, {VK_ESCAPE});
    ASSERT_TRUE(WaitGone(L"#32768", pid));
    EXPECT_EQ(service.WaitExit(500), std::nullopt);
    EXPECT_TRUE(PortAnswers());

    // "Exit", the menu's one item: the icon goes and the process ends with 0,
    // also with a page connected.
    WsPeer page(kPort);
    ASSERT_TRUE(page.Connected());
    PostMessageW(window, 1124, 102, WM_RBUTTONDOWN);
    HWND menu = WaitWindowOf(L"#32768", pid);
    ASSERT_NE(menu, nullptr);
    Type(window, {VK_DOWN, VK_RETURN});
    EXPECT_TRUE(ExitedWithZero(service.WaitExit()));
    calls = taskbar.WaitCalls(3);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].operation, static_cast<DWORD>(NIM_DELETE));
    EXPECT_EQ(calls[2].id, 102u);
    EXPECT_EQ(page.Receive(500), std::nullopt);
}

}  // namespace
