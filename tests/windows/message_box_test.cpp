// The two message boxes of the fingerprint capture on Windows: each one is
// found with FindWindow as a box of this process, read (its text, the
// default caption, no owner, one OK button), and pressed; the capture waits
// for it. What the service asks of the system is observed where it calls it:
// this executable's import of MessageBoxW leads through a recorder, which
// sees the flags that bring the box to the front and keep it above the
// browser (Wine shows every box in front and keeps none topmost, so the
// window alone cannot tell).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "commands/dispatch.h"
#include "commands/messages.h"
#include "devices/virtual_pad/virtual_pad.h"
#include "devices/virtual_reader/virtual_reader.h"
#include "finger/capture.h"
#include "image/canvas.h"
#include "pad/session.h"
#include "tests/finger/capture_link.h"
#include "tests/finger/finger_test_util.h"
#include "tests/support/harness.h"

namespace {

using MessageBoxFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);

// What the last MessageBoxW call of this process asked for.
struct BoxCall {
    bool made = false;
    HWND owner = nullptr;
    std::wstring text;
    bool defaultCaption = false;
    UINT type = 0;
};
std::mutex CallMutex;
BoxCall LastCall;
std::atomic<MessageBoxFunction> SystemMessageBox{nullptr};

int WINAPI RecordingMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    {
        std::lock_guard<std::mutex> lock(CallMutex);
        LastCall = BoxCall{true, owner, text ? text : L"", caption == nullptr, type};
    }
    return SystemMessageBox.load()(owner, text, caption, type);
}

// Points this executable's import of user32's MessageBoxW at the recorder,
// once. False when the import is not found.
bool RecordMessageBoxCalls() {
    static const bool done = [] {
        auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* library =
                 reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             library->Name != 0; ++library) {
            if (_stricmp(reinterpret_cast<const char*>(base + library->Name), "user32.dll") != 0)
                continue;
            auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
            auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
            for (; name->u1.AddressOfData != 0; ++name, ++slot) {
                if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
                const auto* byName =
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), "MessageBoxW") != 0)
                    continue;
                DWORD protection = 0;
                if (!VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE,
                                    &protection))
                    return false;
                SystemMessageBox = reinterpret_cast<MessageBoxFunction>(slot->u1.Function);
                slot->u1.Function = reinterpret_cast<ULONG_PTR>(&RecordingMessageBox);
                VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection,
                               &protection);
                return true;
            }
        }
        return false;
    }();
    return done;
}

// The dialog box of this process with class "#32770"; nullptr after
// `timeoutMs`.
HWND WaitForBox(int timeoutMs = 20000) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        HWND box = nullptr;
        while ((box = FindWindowExW(nullptr, box, L"#32770", nullptr)) != nullptr) {
            DWORD owner = 0;
            GetWindowThreadProcessId(box, &owner);
            if (owner == GetCurrentProcessId() && IsWindowVisible(box)) return box;
        }
        Sleep(10);
    }
    return nullptr;
}

std::wstring Utf16(const char* utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring text(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text.data(), n);
    text.resize(static_cast<size_t>(n - 1));
    return text;
}

std::wstring TextOf(HWND window) {
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

class Boxes : public CaptureLinkTest {
  protected:
    void SetUp() override {
        CaptureLinkTest::SetUp();
        VirtualReaderSetFinger(1);
        ASSERT_TRUE(RecordMessageBoxCalls());
    }

    // The box with `text` comes up and holds up its capture until it is
    // pressed; nothing reaches the page.
    void ExpectBoxAndPressIt(const char* text) {
        ASSERT_TRUE(peer_->Send(R"({"typeName":"TavoStartFinger","message":{"quality":"100"}})"));
        HWND box = WaitForBox();
        ASSERT_NE(box, nullptr) << "no message box";
        EXPECT_EQ(TextOf(GetDlgItem(box, 0xFFFF)), Utf16(text));
        EXPECT_EQ(TextOf(box), L"Error");  // the default caption
        EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr);
        {
            // Asked for as a box with no owner, the default caption and OK,
            // brought to the front and kept above the browser, where the
            // clerk sees it: the service is a background program.
            std::lock_guard<std::mutex> lock(CallMutex);
            EXPECT_TRUE(LastCall.made);
            EXPECT_EQ(LastCall.owner, nullptr);
            EXPECT_EQ(LastCall.text, Utf16(text));
            EXPECT_TRUE(LastCall.defaultCaption);
            EXPECT_EQ(LastCall.type, static_cast<UINT>(MB_OK | MB_SETFOREGROUND | MB_TOPMOST));
        }
        HWND ok = GetDlgItem(box, IDOK);
        ASSERT_NE(ok, nullptr);
        EXPECT_EQ(GetDlgItem(box, IDCANCEL), nullptr);
        EXPECT_FALSE(WaitForFingerCaptureThreads(300)) << "the capture did not wait for the box";
        SendMessageW(ok, BM_CLICK, 0, 0);
        EXPECT_TRUE(WaitForFingerCaptureThreads(20000));
        EXPECT_FALSE(IsWindow(box));
        EXPECT_EQ(peer_->Receive(300), std::nullopt);
    }

    ReaderDir dir_{kVirtualReaderLibrary};
};

TEST_F(Boxes, TheReaderCannotBeOpened) {
    VirtualReaderSetOpenFails(1);
    ExpectBoxAndPressIt(msg::kBoxReaderOpenFailed);
    EXPECT_EQ(VirtualReaderOpenCalls(), 2);
}

TEST_F(Boxes, TheImageCannotBeTurnedIntoABmp) {
    VirtualReaderSetBmpFails(1);
    ExpectBoxAndPressIt(msg::kBoxImageToBmpFailed);
    EXPECT_EQ(VirtualReaderIsOpen(), 0);
}

}  // namespace
