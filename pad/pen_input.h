// What the pen-input thread needs from the session beyond pad/session.h.
#pragma once

#include <cstddef>
#include <cstdint>

// ReadOpenPad's result when no pad is open: the thread ends.
constexpr int kNoPad = -2;

// Waits up to `timeoutMs` for one input report of the open pad: its length,
// 0 when none came, -1 on a read error (pad unplugged), kNoPad.
int ReadOpenPad(uint8_t* buffer, size_t size, int timeoutMs);
// Noted by the pen-input thread just before it starts a fingerprint capture.
void NotePenCaptureStart();
// How long one read waits for a report (tests; 0 restores the default).
void SetPenPollIntervalForTests(int milliseconds);
// Tests and fuzz targets: `starter` runs the pen-input thread's body on a
// thread of its choice (one it reuses, say) and says whether it could; null
// restores a new detached thread for each session.
using PenThreadStarter = bool (*)(void (*body)());
void SetPenThreadStarterForTests(PenThreadStarter starter);
