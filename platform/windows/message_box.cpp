// Windows: the message box, a modal box with an OK button, no owner window
// and the system's default caption. The calling thread waits until it is
// dismissed. The box comes to the front and stays above other windows: the
// service runs in the background, and a box of a background program would
// open behind the browser, where the clerk never finds it while the capture
// waits for it. The question about a site is such a box too, Yes and No,
// shown on a thread of its own so that its asker can give up waiting (the
// system's own timed box does not time out everywhere).
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/platform.h"
#include "platform/windows/win32.h"

namespace platform {

void ShowMessageBox(const std::string& utf8Text) {
    MessageBoxW(nullptr, Widen(utf8Text, CP_UTF8).c_str(), nullptr,
                MB_OK | MB_SETFOREGROUND | MB_TOPMOST);
}

namespace {

// One question's box, shown on a thread of its own so that the asker can stop
// waiting; shared by both.
struct Question {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;  // guarded by mutex
    int result = 0;
    DWORD thread = 0;
};

BOOL CALLBACK PressNo(HWND window, LPARAM) {
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
    return TRUE;
}

}  // namespace

SiteAnswer AskAboutSite(const std::string& utf8Text, int timeoutMs) {
    // Yes allows, No blocks; the text says so, since the box's own buttons
    // carry the system's words.
    const std::wstring text =
        Widen(utf8Text + u8"\n\n“是”允许，“否”阻止。\nYes allows the site, No blocks it.", CP_UTF8);
    auto question = std::make_shared<Question>();
    const bool started = StartDetachedThread([question, text] {
        {
            std::lock_guard<std::mutex> hold(question->mutex);
            question->thread = GetCurrentThreadId();
        }
        const int result =
            MessageBoxW(nullptr, text.c_str(), L"Penmora",
                        MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2 | MB_SETFOREGROUND | MB_TOPMOST);
        std::lock_guard<std::mutex> hold(question->mutex);
        question->result = result;
        question->done = true;
        question->answered.notify_all();
    });
    if (!started) return SiteAnswer::NoAnswer;
    std::unique_lock<std::mutex> hold(question->mutex);
    if (question->answered.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                    [&question] { return question->done; }))
        return question->result == IDYES  ? SiteAnswer::Allow
               : question->result == IDNO ? SiteAnswer::Block
                                          : SiteAnswer::NoAnswer;
    // Nobody answered: the box is taken down (its No, which here means
    // nothing) so it cannot be answered later for a page long gone. The box
    // may only now be appearing: pressed until it is gone, for a while.
    const DWORD thread = question->thread;
    for (int tries = 0; tries < 100 && !question->done; ++tries) {
        hold.unlock();
        if (thread) EnumThreadWindows(thread, PressNo, 0);
        hold.lock();
        question->answered.wait_for(hold, std::chrono::milliseconds(50),
                                    [&question] { return question->done; });
    }
    return SiteAnswer::NoAnswer;
}

}  // namespace platform
