// The fingerprint capture: started by "TavoStartFinger" or after a confirmed
// signature in CaptureMode.
#pragma once

#include <cstdint>
#include <string>

// Loads the reader's library and starts the capture thread for the pad
// session now open (ending any earlier capture); returns 0 at once.
int StartFingerCapture();
// Ends the capture in progress, when `padSession` is 0 or the one it was
// started in. Returns at once, whatever the library is doing: the capture's
// thread sends nothing, writes nothing and leaves the pad alone from here on.
void CancelFingerCapture(uint64_t padSession = 0);

// The two pictures a capture leaves in the current directory.
extern const char* const FingerImagePath;     // the fingerprint alone
extern const char* const CompositeImagePath;  // the signature with the fingerprint

// Steps of the capture, also used by tests and benchmarks.

// The number of the 301 sample blocks of a reader image (288 rows of 256 grey
// bytes) whose centre differs from its corners by 100 levels or more in sum.
int32_t CountTexturedBlocks(const uint8_t* image);
// Decodes `source` (BMP or PNG, told apart by content), takes its full width
// and all rows but the bottom four, shrinks that to trunc(width / divisor) x
// trunc(height / divisor) by area averaging and writes it to `destination` as
// a 24-bit PNG. False when the source cannot be decoded or the new size is
// empty.
bool ScaleImageFile(const std::string& source, const std::string& destination, double divisor);
// Lays the fingerprint picture over the signature of the last delivery and
// writes the result, made transparent where white, as CompositeImagePath.
// 0 when written; -1 (logged) when there is no signature picture to use.
int ComposeSignFinger();

// How long a capture waits for an image of the required quality before it
// ends (60 seconds unless changed).
void SetFingerCaptureTimeoutMs(int milliseconds);
// True while a capture owns the reader (also while it waits for it).
bool FingerCaptureRunning();
// Capture threads that have not ended yet, the ones left inside a library
// call included.
int FingerCaptureThreads();
// Waits until every capture thread has ended; false if some still run after
// `timeoutMs`.
bool WaitForFingerCaptureThreads(int timeoutMs);
// Back to the start-up state (tests): ends any capture, waits for the threads
// (up to 10 s: one inside a library call that never returns does not end),
// restores the timeout.
void ResetFingerCaptureForTests();
