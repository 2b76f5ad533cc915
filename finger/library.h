// The binding to the fingerprint reader's library: its entry points as the
// capture calls them, the slots they are resolved into, and the lock under
// which every call into the library is made, so that the library is never
// released while a thread is inside it.
#pragma once

#include <cstdint>
#include <mutex>

#if defined(_WIN32)
#define ZAZ_CALL __stdcall
#else
#define ZAZ_CALL
#endif

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

struct FingerLibrary {
    void* module = nullptr;
    ZAZOpenDeviceExFn ZAZOpenDeviceEx = nullptr;
    ZAZCloseDeviceExFn ZAZCloseDeviceEx = nullptr;
    ZAZUpImageFn ZAZUpImage = nullptr;
    ZAZGetImageFn ZAZGetImage = nullptr;
    ZAZImgData2BMPFn ZAZImgData2BMP = nullptr;
    ZAZErr2StrFn ZAZErr2Str = nullptr;
    ZAZShowFingerDataFn ZAZShowFingerData = nullptr;
};

// The loaded library and its entry points. Read and written only while
// ReaderLibraryLock is held, which is also held across every call through
// the slots.
extern FingerLibrary ReaderLibrary;
extern std::mutex ReaderLibraryLock;

// Loads platform::kFingerLibraryPath from the current directory and resolves
// the seven entry points. 0 when all are there, else -1 with the slots empty
// (a missing entry point is logged). The caller holds ReaderLibraryLock.
int LoadFingerLibrary();
// Releases the library and empties the slots. The caller holds the lock.
void FreeFingerLibrary();
