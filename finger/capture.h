// The fingerprint capture: started by "TavoStartFinger" or after a confirmed
// signature in CaptureMode.
#pragma once

// Loads the reader's library and starts the capture thread; returns 0.
int StartFingerCapture();
// Ends a capture in progress (the page closed the pad session). Returns when
// the capture thread no longer drives the reader.
void CancelFingerCapture();
