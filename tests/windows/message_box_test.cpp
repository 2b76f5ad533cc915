// The two message boxes of the fingerprint capture on Windows: each one is
// found with FindWindow as a box of this process, read (its text, the
// default caption, one OK button), and pressed; the capture waits for it.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
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
    }

    // The box with `text` comes up and holds up its capture until it is
    // pressed; nothing reaches the page.
    void ExpectBoxAndPressIt(const char* text) {
        ASSERT_TRUE(peer_->Send(R"({"typeName":"TavoStartFinger","message":{"quality":"100"}})"));
        HWND box = WaitForBox();
        ASSERT_NE(box, nullptr) << "no message box";
        EXPECT_EQ(TextOf(GetDlgItem(box, 0xFFFF)), Utf16(text));
        EXPECT_EQ(TextOf(box), L"Error");  // the default caption
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
