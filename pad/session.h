// The signing session on the pad: open, start, close, and the session state
// that the pen-input thread and the drawing code share.
#pragma once

#include <hidapi/hidapi.h>

#include <atomic>
#include <cstdint>

#include "pad/evidence.h"

// 0 when the pad is open and ready; -1 (TavoError sent, logged) otherwise.
// A session that is still open is ended first (as ClosePad ends it).
int OpenPad();
// Starts signing with the pen width factor; 0 when the session runs, else -1.
// With `penData` the page receives the pen's samples as well (pad/pen_data.h),
// with `evidence` the sealed evidence (pad/evidence.h).
int StartSigning(int32_t penWidth, bool penData = false, EvidenceRequestPtr evidence = nullptr);
// Ends the session and releases the pad; 0 when a pad was released, else -1.
// Safe from any thread, the pen-input thread included.
int ClosePad();

// Each successful OpenPad begins a new pad session with an id of its own.
// The id of the session open now; 0 when the pad is closed.
uint64_t CurrentPadSession();
// ClosePad for one session: nothing happens (-1) when `session` is not the
// one open now, so a late close never ends a session that began after it.
// Session 0 means whichever is open.
int ClosePadSession(uint64_t session);

// Sends a pad command to the open pad, if any. False when no pad is open or
// the pad refused it.
bool SendCommandToOpenPad(uint8_t code);
// The same, only while pad session `session` is open (the fingerprint
// capture's FingerCommand).
bool SendCommandToPadSession(uint64_t session, uint8_t code);
// True while a pad is open.
bool PadIsOpen();

// Returns the pad subsystem to its start-up state (tests): closes any session.
void ResetPadForTests();

// Session state. PadDevice is read and written only under the session's
// device lock (pad/session.cpp); the flags are read across threads.
extern hid_device* PadDevice;
extern std::atomic<int32_t> PenWidth;
extern std::atomic<int32_t> StopPenInput;
extern std::atomic<int32_t> HasStrokes;
extern std::atomic<int32_t> ClearLatch;
extern std::atomic<int32_t> ConfirmLatch;
extern std::atomic<int32_t> CancelLatch;
// Set when a curve has been drawn in the session. The drawing library needs
// no start-up or shut-down; the flag keeps its meaning for ClosePad.
extern std::atomic<int32_t> GdiplusStarted;

// The pen-input thread's body (started by StartSigning) and its decoder of
// one 128-byte input report; both live in pad/pen_input.cpp.
int PenInputThread();
void DecodePenReport(const uint8_t* buffer);
// Scales raw pad coordinates the way the decoder does (single precision,
// division first): x to the 600 columns, y to the 400 rows of the pad.
int32_t ScalePadX(uint16_t x);
int32_t ScalePadY(uint16_t y);
