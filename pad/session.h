// The signing session on the pad: open, start, close, and the session state
// that the pen-input thread and the drawing code share.
#pragma once

#include <cstdint>

// 0 when the pad is open and ready; -1 (TavoError sent, logged) otherwise.
int OpenPad();
// Starts signing with the pen width factor; 0 when the session runs, else -1.
int StartSigning(int32_t penWidth);
// Ends the session and releases the pad; 0 when a pad was released, else -1.
// Safe from any thread, the pen-input thread included.
int ClosePad();

// Sends a pad command to the open pad, if any (the fingerprint capture's
// FingerCommand). False when no pad is open or the pad refused it.
bool SendCommandToOpenPad(uint8_t code);
// True while a pad is open.
bool PadIsOpen();

// Returns the pad subsystem to its start-up state (tests): closes any session.
void ResetPadForTests();
