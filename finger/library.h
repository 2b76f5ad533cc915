// The binding to the fingerprint reader's library: its entry points as the
// capture calls them and the slots they are resolved into, held so that the
// library is never released while a thread is inside it.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/platform.h"

#define ZAZ_CALL PLATFORM_LIBRARY_CALL

extern "C" {
// 0 when the reader opened; the handle is written through `handle`.
typedef int(ZAZ_CALL* ZAZOpenDeviceExFn)(uint32_t* handle, int kind, int a, int b, int c, int d);
// Closes the reader; the capture passes 0, not the handle.
typedef int(ZAZ_CALL* ZAZCloseDeviceExFn)(uint32_t handle);
// Takes an image on the reader.
typedef int(ZAZ_CALL* ZAZGetImageFn)(uint32_t handle, uint32_t address);
// Copies the latest image (288 rows of 256 grey bytes) into `image`.
typedef int(ZAZ_CALL* ZAZUpImageFn)(uint32_t handle, uint32_t address, unsigned char* image,
                                    int* length);
// Writes `image` as an 8-bit BMP at `path`; 0 on success.
typedef int(ZAZ_CALL* ZAZImgData2BMPFn)(const unsigned char* image, const char* path);
// The text for a non-zero result of the calls above.
typedef const char*(ZAZ_CALL* ZAZErr2StrFn)(int code);
// Must be present for the library to count as complete; never called.
typedef void(ZAZ_CALL* ZAZShowFingerDataFn)(void);
}

// The reader's address argument of ZAZGetImage and ZAZUpImage.
constexpr uint32_t kReaderAddress = 0xFFFFFFFF;
// One reader image: 288 rows of 256 one-byte grey levels, top row first.
constexpr int kReaderWidth = 256;
constexpr int kReaderHeight = 288;
constexpr int kReaderImageBytes = kReaderWidth * kReaderHeight;

// One load of the library: the module and its seven entry points. The module
// is released when the last reference goes, so whoever calls through the
// slots holds a reference for the length of the call: a library released
// meanwhile stays loaded until that call has returned.
struct FingerLibrary {
    void* module = nullptr;
    ZAZOpenDeviceExFn ZAZOpenDeviceEx = nullptr;
    ZAZCloseDeviceExFn ZAZCloseDeviceEx = nullptr;
    ZAZUpImageFn ZAZUpImage = nullptr;
    ZAZGetImageFn ZAZGetImage = nullptr;
    ZAZImgData2BMPFn ZAZImgData2BMP = nullptr;
    ZAZErr2StrFn ZAZErr2Str = nullptr;
    ZAZShowFingerDataFn ZAZShowFingerData = nullptr;

    FingerLibrary() = default;
    ~FingerLibrary();
    FingerLibrary(const FingerLibrary&) = delete;
    FingerLibrary& operator=(const FingerLibrary&) = delete;
};
using FingerLibraryRef = std::shared_ptr<const FingerLibrary>;

// Loads platform::kFingerLibraryPath from the current directory, resolves the
// seven entry points and keeps the result in the process-wide slot. 0 when
// all are there (and, when `loaded` is given, a reference to it there), else
// -1 with the slot empty (a missing entry point is logged). Any thread.
int LoadFingerLibrary(FingerLibraryRef* loaded = nullptr);
// The library in the slot, or none.
FingerLibraryRef CurrentFingerLibrary();
// Empties the slot; the module goes once no reference to it is left.
void FreeFingerLibrary();
// Empties the slot only when it holds `library`.
void FreeFingerLibraryIfCurrent(const FingerLibraryRef& library);
// Loads of the library still held, in the slot or by a call (tests).
int FingerLibrariesHeld();
