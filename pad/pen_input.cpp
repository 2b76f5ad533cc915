// The pen-input thread of a signing session: waits for the pad's input
// reports, draws the pen samples and acts on the three buttons the pad shows
// (Clear, OK, Cancel).
#include "pad/pen_input.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "commands/messages.h"
#include "commands/params.h"
#include "finger/capture.h"
#include "image/canvas.h"
#include "image/delivery.h"
#include "link/frame.h"
#include "link/text.h"
#include "pad/device.h"
#include "pad/pen_data.h"
#include "pad/session.h"
#include "shell/log.h"

namespace {

// A read waits this long for a report before the thread looks at
// StopPenInput again; an unplugged pad is retried at the same pace. Short
// enough that closing a session waits no more than a blink, long enough that
// an idle session costs next to nothing.
constexpr int kPollMs = 20;
std::atomic<int> PollMs{kPollMs};

// Rows of the pad's 400-row plane: the Canvas, then a gap, then the strip
// that holds the buttons.
constexpr int32_t kLastCanvasRow = 354;
constexpr int32_t kFirstButtonRow = 385;

const uint8_t kClearCode[] = {0x02, 0x80, 'C', 'L'};
const uint8_t kOkCode[] = {0x02, 0x80, 'O', 'K'};
const uint8_t kCancelCode[] = {0x02, 0x80, 'C', 'N', 'C', 'L'};

enum class Button { kNone, kClear, kOk, kCancel };

// True when `code` occurs in the report before its first zero byte.
bool ContainsCode(const uint8_t* buffer, const uint8_t* code, size_t codeLength) {
    size_t end = 0;
    while (end < kPadInputSize && buffer[end] != 0) ++end;
    for (size_t at = 0; at + codeLength <= end; ++at) {
        if (memcmp(buffer + at, code, codeLength) == 0) return true;
    }
    return false;
}

Button FindButton(const uint8_t* buffer) {
    if (ContainsCode(buffer, kClearCode, sizeof kClearCode)) return Button::kClear;
    if (ContainsCode(buffer, kOkCode, sizeof kOkCode)) return Button::kOk;
    if (ContainsCode(buffer, kCancelCode, sizeof kCancelCode)) return Button::kCancel;
    return Button::kNone;
}

void SendAndLog(const std::string& message, const std::string& logText) {
    SendTextMessage(message);
    WriteLog("send message: ", logText);
}

void OnClear() {
    if (ClearLatch) return;
    ClearCanvas();
    RestartPenRecord();
    SendAndLog(msg::kClear, "TavoClear");
    ClearLatch = 1;
    ConfirmLatch = 0;
    CancelLatch = 0;
    HasStrokes = 0;
}

// OK with nothing drawn: the signer is asked to sign and the pad to show its
// signing screen again; the session goes on.
void OnUnsignedOk() {
    if (ConfirmLatch) return;
    std::string message = ToUtf8(msg::kUnSign);
    SendAndLog(message, message);
    ConfirmLatch = 1;
    ClearLatch = 0;
    CancelLatch = 0;
    // Accepted: the next OK is answered the same way. Refused: OK presses are
    // ignored until a stroke or a Clear.
    if (SendCommandToOpenPad(SignCommand)) ConfirmLatch = 0;
}

// OK with strokes: the signature goes out and the session ends or hands over
// to the fingerprint capture.
void OnSignedOk() {
    if (ConfirmLatch) return;
    // The record goes before the picture (and before the fingerprint's
    // capture starts), so a page has both when the image arrives.
    SendPenRecord();
    DeliverSignature(PenEvidenceAsked() ? SealPenEvidence : nullptr);
    SendAndLog(msg::kOK, "TavoOK");
    if (CaptureMode) {
        NotePenCaptureStart();
        StartFingerCapture();
    } else {
        ClosePad();
    }
    ConfirmLatch = 1;
    CancelLatch = 0;
    ClearLatch = 0;
}

void OnCancel() {
    if (CancelLatch) return;
    SendAndLog(msg::kCancel, "TavoCancel");
    ClosePad();
    CancelLatch = 1;
    ConfirmLatch = 0;
    ClearLatch = 0;
}

}  // namespace

void SetPenPollIntervalForTests(int milliseconds) {
    PollMs = milliseconds > 0 ? milliseconds : kPollMs;
}

int32_t ScalePadX(uint16_t x) {
    return static_cast<int32_t>(static_cast<float>(x) / 10206.0f * 600.0f);
}

int32_t ScalePadY(uint16_t y) {
    return static_cast<int32_t>(static_cast<float>(y) / 7422.0f * 400.0f);
}

void DecodePenReport(const uint8_t* buffer) {
    if (buffer[0] != 2) return;
    uint16_t x = static_cast<uint16_t>(buffer[2] | buffer[3] << 8);
    uint16_t y = static_cast<uint16_t>(buffer[4] | buffer[5] << 8);
    uint16_t pressure = static_cast<uint16_t>(buffer[6] | buffer[7] << 8);
    int32_t sx = ScalePadX(x);
    int32_t sy = ScalePadY(y);
    printf("%5d %5d %5d\n", sx, sy, pressure);
    // Seen at once also when standard output is a file or a pipe.
    fflush(stdout);
    // The pen in the button strip breaks the stroke; the rows between the
    // Canvas and the strip neither draw nor break it.
    if (sy >= kFirstButtonRow) EmptyStrokePoints();
    if (x != 0 && y != 0 && sy >= 1 && sy <= kLastCanvasRow && sx < kCanvasWidth) {
        DrawPenPoint(PenSample{x, y, pressure, 0});
    }
}

namespace {

// Acts on one report read from the pad. False when the session is over
// (OK with strokes, or Cancel): the thread ends.
bool HandleReport(const uint8_t* buffer) {
    DecodePenReport(buffer);
    const Button button = FindButton(buffer);
    if (button == Button::kNone) {
        NotePenReport(buffer);
        return true;
    }
    // Every sample before the button reaches the page before its message.
    FlushPenData();
    switch (button) {
        case Button::kNone:
            break;
        case Button::kClear:
            OnClear();
            break;
        case Button::kOk:
            if (!HasStrokes) {
                OnUnsignedOk();
                break;
            }
            OnSignedOk();
            return false;
        case Button::kCancel:
            OnCancel();
            return false;
    }
    return true;
}

}  // namespace

int PenInputThread() {
    uint8_t buffer[kPadInputSize];
    while (!StopPenInput) {
        // A batch of pen data that is due goes out, and a read waits no
        // longer than until the next one is.
        SendDuePenData();
        const int waitMs = PenDataWaitMs(PollMs.load());
        memset(buffer, 0, sizeof buffer);
        int count = ReadOpenPad(buffer, sizeof buffer, waitMs);
        if (count == kNoPad) break;
        if (count < 0) {
            // Unplugged: nothing to report, and nothing to gain from asking
            // again at once.
            std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
            continue;
        }
        if (count > 0 && !HandleReport(buffer)) break;
    }
    EndPenData();
    return 0;
}
