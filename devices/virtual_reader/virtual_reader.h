// Control of the virtual fingerprint reader. The reader is a shared library
// loaded by the service like the maker's; tests and the demo reach these
// functions through the same library (dlsym on its handle, or by linking it).
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// 1: a finger lies on the reader (images with ridges, high quality);
// 0: lifted (blank images, quality 0).
void VirtualReaderSetFinger(int placed);
// 1: opening the reader fails; 0: it works.
void VirtualReaderSetOpenFails(int fails);
// 1: ZAZImgData2BMP fails; 0: it works.
void VirtualReaderSetBmpFails(int fails);
// Milliseconds each image takes (default: a real reader's pace).
void VirtualReaderSetPaceMs(int milliseconds);
// Called with 1 when the reader opens and 0 when it closes, on the thread that
// called into the reader, from inside that call: the observer must not call
// into the reader or the service's fingerprint functions.
void VirtualReaderSetObserver(void (*onOpenChanged)(int open, void* context), void* context);
// Makes the next call of `entryPoint` ("ZAZGetImage" or "ZAZOpenDeviceEx")
// hang like a reader that stopped answering: for `milliseconds`, or, when
// that is negative, until VirtualReaderReleaseHang (or for ever). Returns 0,
// or -1 for an entry point that cannot hang.
int VirtualReaderHangNext(const char* entryPoint, int milliseconds);
// Lets every call that hangs now return, and disarms a hang not yet begun.
void VirtualReaderReleaseHang(void);
// Calls hanging now.
int VirtualReaderHanging(void);
// Calls inside the reader now, hanging or not.
int VirtualReaderCallsInside(void);
// 1 while the reader is open.
int VirtualReaderIsOpen(void);
// How many times two calls were inside the reader at the same time since the
// last reset (a sound service never lets that happen).
int VirtualReaderOverlaps(void);
// ZAZOpenDeviceEx calls since the last reset, whether they opened or not.
int VirtualReaderOpenCalls(void);
// Images taken (ZAZGetImage calls that succeeded) since the last reset.
int VirtualReaderImagesTaken(void);
// When the first image with a finger went out through ZAZUpImage since the
// finger was last placed: nanoseconds of the monotonic clock
// (std::chrono::steady_clock), or 0 when none has.
long long VirtualReaderFingerImageNs(void);
// Back to the start-up state: finger lifted, nothing failing, nothing hanging
// (a hanging call is released), closed, no observer.
void VirtualReaderReset(void);

#ifdef __cplusplus
}
#endif
