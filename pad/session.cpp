// The signing session: opening the pad, starting a session on it, ending it,
// and the session state shared with the pen-input thread and the drawing.
//
// Locking. SessionMutex serialises OpenPad, StartSigning and ClosePad, which
// run on the receive threads of any connection, on the pen-input thread and on
// the capture thread. DeviceMutex guards every use of PadDevice and is held
// only around hidapi calls (a read waits at most one short poll), never while
// calling out to other subsystems. Nobody waits for
// the pen-input thread while holding SessionMutex: the wait releases it, so
// the thread can finish a button action that itself ends the session. Nobody
// cancels a fingerprint capture while holding either lock. Ending a capture
// returns at once whatever the reader is doing, and a capture that ends by
// itself closes only the pad session it ran in, which a page that already
// started the next one has closed before.
#include "pad/session.h"

#include <condition_variable>
#include <mutex>
#include <string>

#include "commands/messages.h"
#include "commands/params.h"
#include "finger/capture.h"
#include "image/canvas.h"
#include "link/frame.h"
#include "link/text.h"
#include "pad/device.h"
#include "pad/pen_data.h"
#include "pad/pen_input.h"
#include "platform/platform.h"
#include "shell/log.h"

hid_device* PadDevice = nullptr;
std::atomic<int32_t> PenWidth{0};
std::atomic<int32_t> StopPenInput{0};
std::atomic<int32_t> HasStrokes{0};
std::atomic<int32_t> ClearLatch{0};
std::atomic<int32_t> ConfirmLatch{0};
std::atomic<int32_t> CancelLatch{0};
std::atomic<int32_t> GdiplusStarted{0};

namespace {

std::mutex SessionMutex;
std::mutex DeviceMutex;
std::condition_variable PenThreadEnded;
bool PenThreadRunning = false;  // under SessionMutex
std::atomic<bool> PadOpen{false};
// The open session (0: none) and the last id handed out; written under
// DeviceMutex.
std::atomic<uint64_t> OpenSession{0};
uint64_t LastSession = 0;
// Captures the pen-input thread has started (OK in CaptureMode).
std::atomic<uint32_t> PenCaptureStarts{0};
thread_local bool OnPenThread = false;
// Starts the pen-input thread's body; null: a detached thread of the system.
std::atomic<PenThreadStarter> PenStarter{nullptr};

// Stops the pen-input thread of the session, unless the caller is that
// thread, and waits until it has ended. The lock is released while waiting.
// True when it had to wait.
bool StopPenThread(std::unique_lock<std::mutex>& lock) {
    bool waited = false;
    while (PenThreadRunning && !OnPenThread) {
        StopPenInput = 1;
        PenThreadEnded.wait(lock);
        waited = true;
    }
    return waited;
}

// Sends CloseCommand and releases the pad and the HID library. Under
// SessionMutex, with no other pen-input thread left.
void ReleasePad() {
    SendCommandToOpenPad(CloseCommand);  // a refusal changes nothing
    GdiplusStarted = 0;
    StopPenInput = 1;
    std::lock_guard<std::mutex> device(DeviceMutex);
    hid_close(PadDevice);
    hid_exit();
    PadDevice = nullptr;
    PadOpen = false;
    OpenSession = 0;
}

bool HasDevice() {
    std::lock_guard<std::mutex> device(DeviceMutex);
    return PadDevice != nullptr;
}

void ReportStartFailure(const std::string& logText) {
    SendTextMessage(ToUtf8(msg::kError));
    WriteLog("error", logText);
}

void RunPenThread() {
    OnPenThread = true;
    PenInputThread();
    // A thread that a test's starter runs other work on afterwards is no
    // longer the pen-input thread.
    OnPenThread = false;
    std::lock_guard<std::mutex> lock(SessionMutex);
    PenThreadRunning = false;
    PenThreadEnded.notify_all();
}

}  // namespace

int OpenPad() {
    std::unique_lock<std::mutex> lock(SessionMutex, std::defer_lock);
    // A session that is still open is ended first: its pen-input thread must
    // not poll the new device and its device must not stay open unreleased.
    for (;;) {
        while (PadIsOpen()) ClosePad();
        lock.lock();
        // A pen-input thread that closed its own session may still be ending.
        // The wait releases the lock, so the pad is looked at only after it.
        StopPenThread(lock);
        if (!HasDevice()) break;
        lock.unlock();  // opened again on another thread meanwhile
    }

    hid_init();  // a failure here shows as an empty enumeration
    hid_device* device = OpenPadDevice();
    if (!device) {
        ReportStartFailure(msg::kLogOpenFailed);
        return -1;
    }
    CaptureMode = 0;
    hid_set_nonblocking(device, 1);
    std::lock_guard<std::mutex> guard(DeviceMutex);
    PadDevice = device;
    OpenSession = ++LastSession;
    PadOpen = true;
    return 0;
}

int StartSigning(int32_t penWidth, bool penData, EvidenceRequestPtr evidence) {
    std::unique_lock<std::mutex> lock(SessionMutex);
    // One pen-input thread per device: an earlier one ends before the next.
    StopPenThread(lock);
    PenWidth = penWidth;
    GdiplusStarted = 0;
    HasStrokes = 0;
    StopPenInput = 0;
    ClearLatch = 0;
    ConfirmLatch = 0;
    CancelLatch = 0;
    if (!SendCommandToOpenPad(SignCommand)) {
        ReportStartFailure(msg::kLogSignCommandFailed);
        return -1;
    }
    // Cleared before the thread starts, so no early sample is wiped, and the
    // new signature never continues a stroke of the previous one.
    EmptyStrokePoints();
    ClearCanvas();
    // The earlier pen-input thread has ended and the next has not begun: the
    // pen data has no other user now.
    BeginPenData(penData, std::move(evidence));
    PenThreadRunning = true;
    const PenThreadStarter starter = PenStarter;
    if (!(starter ? starter(RunPenThread) : platform::StartDetachedThread(RunPenThread))) {
        PenThreadRunning = false;
        EndPenData();
        SendTextMessage(ToUtf8(msg::kError));
        return -1;
    }
    return 0;
}

int ClosePad() {
    return ClosePadSession(0);
}

uint64_t CurrentPadSession() {
    return OpenSession;
}

int ClosePadSession(uint64_t session) {
    auto isOpen = [session] {
        const uint64_t open = OpenSession;
        return open != 0 && (session == 0 || open == session);
    };
    if (!isOpen()) return -1;
    for (;;) {
        CancelFingerCapture(session);
        uint32_t captures = PenCaptureStarts;
        std::unique_lock<std::mutex> lock(SessionMutex);
        if (!isOpen()) return -1;
        bool waited = StopPenThread(lock);
        if (!isOpen()) return -1;  // the pen-input thread closed it
        // The pen-input thread handed the session to a fingerprint capture
        // while we waited: that capture has to end too.
        if (waited && PenCaptureStarts != captures) continue;
        ReleasePad();
        return 0;
    }
}

bool SendCommandToOpenPad(uint8_t code) {
    std::lock_guard<std::mutex> device(DeviceMutex);
    return PadDevice && SendPadCommand(PadDevice, code);
}

bool SendCommandToPadSession(uint64_t session, uint8_t code) {
    std::lock_guard<std::mutex> device(DeviceMutex);
    return PadDevice && OpenSession == session && SendPadCommand(PadDevice, code);
}

bool PadIsOpen() {
    return PadOpen;
}

int ReadOpenPad(uint8_t* buffer, size_t size, int timeoutMs) {
    std::lock_guard<std::mutex> device(DeviceMutex);
    if (!PadDevice) return kNoPad;
    return hid_read_timeout(PadDevice, buffer, size, timeoutMs);
}

void SetPenThreadStarterForTests(PenThreadStarter starter) {
    PenStarter = starter;
}

void NotePenCaptureStart() {
    PenCaptureStarts++;
}

void ResetPadForTests() {
    ClosePad();
    std::unique_lock<std::mutex> lock(SessionMutex);
    StopPenThread(lock);
    PenWidth = 0;
    StopPenInput = 0;
    HasStrokes = 0;
    ClearLatch = 0;
    ConfirmLatch = 0;
    CancelLatch = 0;
    GdiplusStarted = 0;
}
