// The virtual fingerprint reader: a shared library with the reader's entry
// points and calling contract, making synthetic 256 x 288 grey images at a
// real reader's pace. With a finger placed the images carry a whorl of ridges
// about 8 pixels apart, which the capture's texture test scores at its
// maximum; lifted, they are a blank light grey that scores 0.
#include "devices/virtual_reader/virtual_reader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

// The entry points' calling convention, as the service calls them.
#include "finger/library.h"

namespace {

constexpr int kWidth = 256;
constexpr int kHeight = 288;
constexpr int kImageBytes = kWidth * kHeight;
constexpr int kDefaultPaceMs = 40;
constexpr uint32_t kHandle = 0x5a41;
constexpr double kPi = 3.14159265358979323846;

// Results of the entry points.
constexpr int kOk = 0;
constexpr int kNotOpen = 1;
constexpr int kNoFinger = 2;
constexpr int kBadArgument = 3;
constexpr int kWriteFailed = 4;
constexpr int kConversionFailed = 5;

std::mutex Lock;  // guards everything below but the atomics
bool FingerPlaced = false;
bool OpenFails = false;
bool BmpFails = false;
bool IsOpen = false;
void (*Observer)(int, void*) = nullptr;
void* ObserverContext = nullptr;
uint32_t Frame = 0;
std::vector<uint8_t> Latest(kImageBytes, 0);
bool LatestHasFinger = false;
long long FingerImageNs = 0;
int ImagesTaken = 0;
int OpenCalls = 0;

std::atomic<int> PaceMs{kDefaultPaceMs};
std::atomic<int> Inside{0};
std::atomic<int> Overlaps{0};

// Counts calls that find another call already inside the reader.
struct Visit {
    Visit() {
        if (Inside.fetch_add(1) != 0) Overlaps.fetch_add(1);
    }
    ~Visit() { Inside.fetch_sub(1); }
    Visit(const Visit&) = delete;
    Visit& operator=(const Visit&) = delete;
};

long long NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void MakeImage(bool finger, uint32_t frame, uint8_t* out) {
    if (!finger) {
        for (int i = 0; i < kImageBytes; ++i) out[i] = 236;
        return;
    }
    // The ridges drift a little from image to image, like a finger settling.
    const double phase = 0.7 * frame;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const double dx = x - 128.0, dy = (y - 150.0) * 0.8;
            const double r = std::hypot(dx, dy) + 3.0 * std::sin(x * 0.05 + y * 0.03);
            const double v = 128.0 + 110.0 * std::sin(2.0 * kPi * r / 8.0 + phase);
            const int noise =
                int((uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u ^ frame * 83492791u) & 7u) -
                4;
            int level = int(v) + noise;
            out[y * kWidth + x] = static_cast<uint8_t>(level < 0 ? 0 : level > 255 ? 255 : level);
        }
    }
}

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// An uncompressed 8-bit BMP: 14 + 40 byte headers, a grey palette, then the
// rows bottom row first, each padded with zeros to a multiple of 4 bytes.
bool WriteGreyBmp(const unsigned char* image, const char* path) {
    const uint32_t rowBytes = (kWidth + 3) / 4 * 4;
    const uint32_t offset = 14 + 40 + 1024;
    uint8_t head[offset] = {};
    head[0] = 'B';
    head[1] = 'M';
    Put32(head + 2, offset + rowBytes * kHeight);
    Put32(head + 10, offset);
    Put32(head + 14, 40);
    Put32(head + 18, kWidth);
    Put32(head + 22, kHeight);
    head[26] = 1;
    head[28] = 8;
    Put32(head + 34, rowBytes * kHeight);
    Put32(head + 46, 256);
    for (int i = 0; i < 256; ++i) {
        uint8_t* entry = head + 54 + 4 * i;
        entry[0] = entry[1] = entry[2] = static_cast<uint8_t>(i);
    }
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(head, 1, sizeof head, file) == sizeof head;
    std::vector<uint8_t> row(rowBytes, 0);
    for (int y = kHeight - 1; ok && y >= 0; --y) {
        std::copy(image + y * kWidth, image + (y + 1) * kWidth, row.begin());
        ok = std::fwrite(row.data(), 1, row.size(), file) == row.size();
    }
    return std::fclose(file) == 0 && ok;
}

void SetOpen(bool open) {
    void (*observer)(int, void*) = nullptr;
    void* context = nullptr;
    {
        std::lock_guard<std::mutex> hold(Lock);
        if (IsOpen == open) return;
        IsOpen = open;
        observer = Observer;
        context = ObserverContext;
    }
    if (observer != nullptr) observer(open ? 1 : 0, context);
}

}  // namespace

extern "C" {

int ZAZ_CALL ZAZOpenDeviceEx(uint32_t* handle, int kind, int, int, int, int) {
    Visit visit;
    {
        std::lock_guard<std::mutex> hold(Lock);
        ++OpenCalls;
        if (handle == nullptr || (kind != 0 && kind != 2)) return kBadArgument;
        if (OpenFails) return kNotOpen;
    }
    *handle = kHandle;
    SetOpen(true);
    return kOk;
}

// Closes whatever is open; the handle is not looked at (callers pass 0).
int ZAZ_CALL ZAZCloseDeviceEx(uint32_t) {
    Visit visit;
    SetOpen(false);
    return kOk;
}

int ZAZ_CALL ZAZGetImage(uint32_t, uint32_t) {
    Visit visit;
    {
        std::lock_guard<std::mutex> hold(Lock);
        if (!IsOpen) return kNotOpen;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(PaceMs.load()));
    std::lock_guard<std::mutex> hold(Lock);
    if (!IsOpen) return kNotOpen;
    MakeImage(FingerPlaced, Frame++, Latest.data());
    LatestHasFinger = FingerPlaced;
    ++ImagesTaken;
    return FingerPlaced ? kOk : kNoFinger;
}

int ZAZ_CALL ZAZUpImage(uint32_t, uint32_t, unsigned char* image, int* length) {
    Visit visit;
    if (image == nullptr) return kBadArgument;
    std::lock_guard<std::mutex> hold(Lock);
    if (!IsOpen) return kNotOpen;
    std::copy(Latest.begin(), Latest.end(), image);
    if (length != nullptr) *length = kImageBytes;
    if (LatestHasFinger && FingerImageNs == 0) FingerImageNs = NowNs();
    return kOk;
}

int ZAZ_CALL ZAZImgData2BMP(const unsigned char* image, const char* path) {
    Visit visit;
    if (image == nullptr || path == nullptr) return kBadArgument;
    {
        std::lock_guard<std::mutex> hold(Lock);
        if (BmpFails) return kConversionFailed;
    }
    return WriteGreyBmp(image, path) ? kOk : kWriteFailed;
}

const char* ZAZ_CALL ZAZErr2Str(int code) {
    switch (code) {
        case kOk:
            return "success";
        case kNotOpen:
            return "reader not open";
        case kNoFinger:
            return "no finger on the reader";
        case kBadArgument:
            return "bad argument";
        case kWriteFailed:
            return "cannot write the file";
        case kConversionFailed:
            return "conversion failed";
        default:
            return "unknown error";
    }
}

// Present like the maker's; the service never calls it.
void ZAZ_CALL ZAZShowFingerData(void) {}

void VirtualReaderSetFinger(int placed) {
    std::lock_guard<std::mutex> hold(Lock);
    if (placed != 0 && !FingerPlaced) FingerImageNs = 0;
    FingerPlaced = placed != 0;
}

void VirtualReaderSetOpenFails(int fails) {
    std::lock_guard<std::mutex> hold(Lock);
    OpenFails = fails != 0;
}

void VirtualReaderSetBmpFails(int fails) {
    std::lock_guard<std::mutex> hold(Lock);
    BmpFails = fails != 0;
}

void VirtualReaderSetPaceMs(int milliseconds) {
    PaceMs.store(milliseconds < 0 ? 0 : milliseconds);
}

void VirtualReaderSetObserver(void (*onOpenChanged)(int open, void* context), void* context) {
    std::lock_guard<std::mutex> hold(Lock);
    Observer = onOpenChanged;
    ObserverContext = context;
}

int VirtualReaderIsOpen(void) {
    std::lock_guard<std::mutex> hold(Lock);
    return IsOpen ? 1 : 0;
}

int VirtualReaderOverlaps(void) {
    return Overlaps.load();
}

int VirtualReaderOpenCalls(void) {
    std::lock_guard<std::mutex> hold(Lock);
    return OpenCalls;
}

int VirtualReaderImagesTaken(void) {
    std::lock_guard<std::mutex> hold(Lock);
    return ImagesTaken;
}

long long VirtualReaderFingerImageNs(void) {
    std::lock_guard<std::mutex> hold(Lock);
    return FingerImageNs;
}

void VirtualReaderReset(void) {
    std::lock_guard<std::mutex> hold(Lock);
    FingerPlaced = false;
    OpenFails = false;
    BmpFails = false;
    IsOpen = false;
    Observer = nullptr;
    ObserverContext = nullptr;
    Frame = 0;
    std::fill(Latest.begin(), Latest.end(), 0);
    LatestHasFinger = false;
    FingerImageNs = 0;
    ImagesTaken = 0;
    OpenCalls = 0;
    PaceMs.store(kDefaultPaceMs);
    Overlaps.store(0);
}

}  // extern "C"
