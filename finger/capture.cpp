// The fingerprint capture: the thread that waits for a good image on the
// reader and turns it into the red-ink picture, alone or laid over the
// signature, plus the quality test, the scaling and the composite it uses.
//
// The reader's library may take seconds over a call, or never return. So no
// lock is held across a call into it, and nothing that serves a command waits
// for one. One capture at a time owns the reader; ending a capture (the page
// closed the pad session, a new capture began) only takes the ownership away
// and returns at once. The capture's own thread finds out at its next step,
// or when the call it is in returns: from then on it touches neither the pad,
// nor the files, nor the page; it only closes the reader when no newer capture
// has used it since. Calls never overlap: a capture waits on its own thread
// until no call of another is inside the library, and stops waiting when it
// is ended. Each capture holds a reference to the library it loaded, so the
// library stays loaded while any call is inside it.
#include "finger/capture.h"

#include <png.h>
#include <stb_image_resize.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands/messages.h"
#include "commands/params.h"
#include "finger/TavoSign.h"
#include "finger/library.h"
#include "image/delivery.h"
#include "image/ximage.h"
#include "pad/device.h"
#include "pad/session.h"
#include "platform/platform.h"
#include "shell/log.h"

const char* const FingerImagePath = "./finger.png";
const char* const CompositeImagePath = "./SignFP.png";

namespace {

constexpr int kDefaultTimeoutMs = 60000;
// A reader that answers at once without a finger would otherwise have the
// loop spin a whole core; a real reader takes longer than this per image.
constexpr auto kMinimumPass = std::chrono::milliseconds(10);

// One capture, as its thread knows it.
struct Capture {
    uint64_t id = 0;
    uint64_t padSession = 0;  // the pad session it was started in (0: none)
    FingerLibraryRef library;
};

// Held only to read or change the values below, never across a call into
// the library, a file or a send.
std::mutex GateLock;
std::condition_variable GateChanged;
uint64_t LastCaptureId = 0;
// The capture that owns the reader (0: none), its pad session and library.
uint64_t Owner = 0;
uint64_t OwnerPadSession = 0;
FingerLibraryRef OwnerLibrary;
// The capture that has passed its last check and sends its picture: ending
// it cuts nothing off.
uint64_t Delivering = 0;
// Calls inside the library now, and the capture that made the last one (0
// once it closed the reader again).
int CallsInside = 0;
uint64_t ReaderUser = 0;
// The capture working on finger.png and SignFP.png (0: none), so that two
// captures never work on the same files at once.
uint64_t FilesUser = 0;

std::atomic<int> TimeoutMs{kDefaultTimeoutMs};

std::mutex ThreadsLock;
std::condition_variable ThreadsEnded;
int LiveThreads = 0;  // guarded by ThreadsLock

// What is left to do, after GateLock, once a capture has been ended: let go
// of its library and log why it ended.
struct Ended {
    FingerLibraryRef library;
    std::string why;
};

// Takes the ownership from the capture that holds it (when `padSession` is
// set: only from one started in that session). `why` is logged when the
// capture is cut off before it delivered. The caller holds GateLock.
Ended EndOwnershipLocked(uint64_t padSession, const char* why) {
    Ended ended;
    if (Owner == 0 || (padSession != 0 && OwnerPadSession != padSession)) return ended;
    if (why != nullptr && Delivering != Owner) ended.why = why;
    ended.library.swap(OwnerLibrary);
    Owner = 0;
    OwnerPadSession = 0;
    GateChanged.notify_all();
    return ended;
}

void AfterEnded(const Ended& ended) {
    if (ended.library) FreeFingerLibraryIfCurrent(ended.library);
    if (!ended.why.empty()) WriteLog("error", ended.why);
}

void EndCurrentCapture(uint64_t padSession, const char* why) {
    Ended ended;
    {
        std::lock_guard<std::mutex> hold(GateLock);
        ended = EndOwnershipLocked(padSession, why);
    }
    AfterEnded(ended);
}

// Ends capture `c` itself, when it still owns the reader.
void EndOwnCapture(const Capture& c, const char* why) {
    Ended ended;
    {
        std::lock_guard<std::mutex> hold(GateLock);
        if (Owner == c.id) ended = EndOwnershipLocked(0, why);
    }
    AfterEnded(ended);
}

bool StillOwner(const Capture& c) {
    std::lock_guard<std::mutex> hold(GateLock);
    return Owner == c.id;
}

// Makes `call` into the library for capture `c`, once no other call is
// inside it. False, and nothing called, when the capture was ended before;
// false after the call when it was ended during it.
template <typename Call>
bool CallReader(const Capture& c, Call call) {
    std::unique_lock<std::mutex> lock(GateLock);
    GateChanged.wait(lock, [&] { return Owner != c.id || CallsInside == 0; });
    if (Owner != c.id) return false;
    ++CallsInside;
    ReaderUser = c.id;
    lock.unlock();
    call(*c.library);
    lock.lock();
    --CallsInside;
    GateChanged.notify_all();
    return Owner == c.id;
}

// Closes the reader when `c` made the last call into it: a newer capture
// that has called since opens and closes the reader itself.
void CloseReaderOf(const Capture& c) {
    std::unique_lock<std::mutex> lock(GateLock);
    GateChanged.wait(lock, [&] { return ReaderUser != c.id || CallsInside == 0; });
    if (ReaderUser != c.id) return;
    ReaderUser = 0;
    ++CallsInside;
    lock.unlock();
    c.library->ZAZCloseDeviceEx(0);
    lock.lock();
    --CallsInside;
    GateChanged.notify_all();
}

// Waits until no other capture works on the picture files and takes them for
// `c`; false when `c` was ended meanwhile.
bool TakeFiles(const Capture& c) {
    std::unique_lock<std::mutex> lock(GateLock);
    GateChanged.wait(lock, [&] { return Owner != c.id || FilesUser == 0; });
    if (Owner != c.id) return false;
    FilesUser = c.id;
    return true;
}

// The last check before the picture goes to the page.
bool BeginDelivery(const Capture& c) {
    std::lock_guard<std::mutex> hold(GateLock);
    if (Owner != c.id) return false;
    Delivering = c.id;
    return true;
}

// The end of capture `c` on its thread, whatever way it ends: it lets go of
// the files and of the reader (closing it unless a newer capture uses it).
int Finish(const Capture& c, const char* why, int result) {
    EndOwnCapture(c, why);
    {
        std::lock_guard<std::mutex> hold(GateLock);
        if (FilesUser == c.id) {
            FilesUser = 0;
            GateChanged.notify_all();
        }
    }
    CloseReaderOf(c);
    return result;
}

// Turns the reader's BMP at FingerImagePath into the final fingerprint PNG;
// false when the capture was ended on the way.
bool MakeFingerPicture(const Capture& c) {
    if (auto image = ReadBmp8(FingerImagePath)) {
        WriteRedBmp(image->pixels.data(), image->bitCount, image->width, image->height,
                    FingerImagePath);
    }
    if (!StillOwner(c)) return false;
    ScaleImageFile(FingerImagePath, FingerImagePath, 2.0);
    if (!StillOwner(c)) return false;
    CxImage picture = CreateImage();
    if (LoadImageFile(picture, FingerImagePath)) {
        CopyImage(picture, MakeWhiteTransparent(picture));
        SavePngFile(picture, FingerImagePath);
    }
    return true;
}

int FingerCaptureThread(const Capture& c) {
    MakeDirectories(FingerImagePath);

    uint32_t handle = 0;
    int opened = -1;
    // The first call waits here while an earlier capture is still inside the
    // library, however long that takes.
    bool owner = CallReader(c, [&](const FingerLibrary& reader) {
        reader.ZAZCloseDeviceEx(0);
        opened = reader.ZAZOpenDeviceEx(&handle, 2, 0, 0, 2, 0);
        if (opened != 0) opened = reader.ZAZOpenDeviceEx(&handle, 0, 0, 0, 2, 0);
    });
    if (!owner) return Finish(c, nullptr, -1);
    if (opened != 0) {
        Finish(c, nullptr, -1);
        platform::ShowMessageBox(msg::kBoxReaderOpenFailed);
        return -1;
    }

    SendCommandToPadSession(c.padSession, FingerCommand);

    std::vector<unsigned char> buffer(kReaderImageBytes);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs.load());
    for (;;) {
        const auto passStart = std::chrono::steady_clock::now();
        int length = 0;
        owner = CallReader(c, [&](const FingerLibrary& reader) {
            reader.ZAZGetImage(handle, kReaderAddress);
            reader.ZAZUpImage(handle, kReaderAddress, buffer.data(), &length);
        });
        if (!owner) return Finish(c, nullptr, -1);
        if (CountTexturedBlocks(buffer.data()) > FingerQuality.load()) break;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            const int ms = TimeoutMs.load();
            const std::string why =
                "fingerprint capture ended: no image of the required quality within " +
                (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms");
            return Finish(c, why.c_str(), -1);
        }
        if (now - passStart < kMinimumPass)
            std::this_thread::sleep_for(kMinimumPass - (now - passStart));
    }

    if (!TakeFiles(c)) return Finish(c, nullptr, -1);
    int converted = -1;
    owner = CallReader(c, [&](const FingerLibrary& reader) {
        converted = reader.ZAZImgData2BMP(buffer.data(), FingerImagePath);
        if (converted != 0) reader.ZAZErr2Str(converted);
    });
    if (!owner) return Finish(c, nullptr, -1);
    if (converted != 0) {
        Finish(c, nullptr, -1);
        platform::ShowMessageBox(msg::kBoxImageToBmpFailed);
        return -1;
    }

    // A capture ended while it made its picture sends nothing: the page
    // closed the session or asked for a new fingerprint.
    if (!MakeFingerPicture(c) || !BeginDelivery(c)) return Finish(c, nullptr, -1);
    if (CaptureMode.load() != 0) {
        if (ComposeSignFinger() == 0) SendImageFile(CompositeImagePath, kSignFingerForm);
    } else {
        SendImageFile(FingerImagePath, kFingerForm);
    }
    Finish(c, nullptr, 0);
    // Only the session this capture belongs to: the page may have started
    // the next one already.
    ClosePadSession(c.padSession);
    return 0;
}

// A decoded picture, whatever its file held, as 8-bit RGB.
struct Rgb {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;  // top row first, 3 bytes a pixel: red, green, blue
};

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

constexpr uint64_t kMaxDecodedPixels = uint64_t(1) << 26;

// Decodes an uncompressed BMP the way the platform codec does: the palette is
// read after the information header, the pixel rows from the offset that the
// file header gives, whatever lies there.
bool DecodeBmp(const std::vector<uint8_t>& file, Rgb& out) {
    if (file.size() < 54 || file[0] != 'B' || file[1] != 'M') return false;
    const uint32_t offset = Le32(&file[10]);
    const uint32_t headerSize = Le32(&file[14]);
    const int32_t width = static_cast<int32_t>(Le32(&file[18]));
    const int32_t heightField = static_cast<int32_t>(Le32(&file[22]));
    const uint32_t bitCount = uint32_t(file[28]) | uint32_t(file[29]) << 8;
    const uint32_t compression = Le32(&file[30]);
    uint32_t coloursUsed = Le32(&file[46]);
    if (headerSize < 40 || compression != 0 || width <= 0 || heightField == 0 ||
        heightField == INT32_MIN)
        return false;
    if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24 && bitCount != 32)
        return false;
    const int height = heightField > 0 ? heightField : -heightField;
    if (uint64_t(width) * uint64_t(height) > kMaxDecodedPixels) return false;
    const uint64_t rowBytes = (uint64_t(width) * bitCount + 31) / 32 * 4;
    if (uint64_t(offset) + rowBytes * uint64_t(height) > file.size()) return false;

    std::vector<uint8_t> palette;  // 3 bytes an entry: red, green, blue
    if (bitCount <= 8) {
        const uint32_t maxColours = 1u << bitCount;
        if (coloursUsed == 0 || coloursUsed > maxColours) coloursUsed = maxColours;
        const uint64_t start = 14 + uint64_t(headerSize);
        if (start + uint64_t(coloursUsed) * 4 > file.size()) return false;
        palette.resize(size_t(maxColours) * 3, 0);
        for (uint32_t i = 0; i < coloursUsed; ++i) {
            const uint8_t* entry = &file[start + 4 * i];
            palette[3 * i] = entry[2];
            palette[3 * i + 1] = entry[1];
            palette[3 * i + 2] = entry[0];
        }
    }

    out.width = width;
    out.height = height;
    out.pixels.assign(size_t(width) * height * 3, 0);
    for (int row = 0; row < height; ++row) {
        // File rows run bottom row first unless the height is negative.
        const int fileRow = heightField > 0 ? height - 1 - row : row;
        const uint8_t* source = &file[offset + rowBytes * uint64_t(fileRow)];
        uint8_t* target = &out.pixels[size_t(row) * width * 3];
        for (int x = 0; x < width; ++x, target += 3) {
            if (bitCount <= 8) {
                const uint32_t bitPos = uint32_t(x) * bitCount;
                const uint32_t shift = 8 - bitCount - bitPos % 8;
                const uint32_t index = (source[bitPos / 8] >> shift) & ((1u << bitCount) - 1);
                target[0] = palette[3 * index];
                target[1] = palette[3 * index + 1];
                target[2] = palette[3 * index + 2];
            } else {
                const uint8_t* p = source + size_t(x) * (bitCount / 8);
                target[0] = p[2];
                target[1] = p[1];
                target[2] = p[0];
            }
        }
    }
    return true;
}

bool DecodePng(const std::vector<uint8_t>& file, Rgb& out) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return false;
    if (uint64_t(image.width) * image.height > kMaxDecodedPixels || image.width == 0 ||
        image.height == 0) {
        png_image_free(&image);
        return false;
    }
    image.format = PNG_FORMAT_RGB;
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    out.pixels.assign(PNG_IMAGE_SIZE(image), 0);
    // Transparent parts fall on black, as on a new 24-bit bitmap.
    png_color black{0, 0, 0};
    if (!png_image_finish_read(&image, &black, out.pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
    FILE* f = platform::OpenFile(path, "rb");
    if (f == nullptr) return false;
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    const long size = ok ? std::ftell(f) : -1;
    ok = ok && size >= 0 && size <= (long(1) << 28) && std::fseek(f, 0, SEEK_SET) == 0;
    if (ok) {
        bytes.resize(size_t(size));
        ok = std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size();
    }
    std::fclose(f);
    return ok;
}

bool EndsWithPng(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".png";
}

}  // namespace

int32_t CountTexturedBlocks(const uint8_t* image) {
    auto at = [image](int row, int column) { return int(image[row * kReaderWidth + column]); };
    int32_t count = 0;
    for (int r = 15; r <= 255; r += 40) {
        for (int c = 20; c <= 230; c += 5) {
            const int centre = at(r + 2, c + 2);
            const int score = std::abs(centre - at(r, c)) + std::abs(centre - at(r, c + 4)) +
                              std::abs(centre - at(r + 4, c)) + std::abs(centre - at(r + 4, c + 4));
            if (score >= 100) ++count;
        }
    }
    return count;
}

bool ScaleImageFile(const std::string& source, const std::string& destination, double divisor) {
    std::vector<uint8_t> file;
    if (!ReadWholeFile(source, file)) return false;
    Rgb decoded;
    if (!DecodeBmp(file, decoded) && !DecodePng(file, decoded)) return false;
    file.clear();
    file.shrink_to_fit();

    const double newWidth = std::trunc(decoded.width / divisor);
    const double newHeight = std::trunc(decoded.height / divisor);
    if (!(newWidth >= 1 && newHeight >= 1) || newWidth * newHeight > double(kMaxDecodedPixels))
        return false;
    // The bottom four rows are left out.
    const int sourceHeight = decoded.height - 4;
    if (sourceHeight < 1) return false;

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(newWidth);
    image.height = static_cast<png_uint_32>(newHeight);
    image.format = PNG_FORMAT_RGB;
    // Only the next step reads this file, and it writes the final picture
    // over it: speed counts more than size.
    image.flags = PNG_IMAGE_FLAG_FAST;
    std::vector<uint8_t> scaled(PNG_IMAGE_SIZE(image));
    // A box filter averages over each destination pixel's area, as the
    // platform's halftone stretch does.
    if (!stbir_resize_uint8_generic(
            decoded.pixels.data(), decoded.width, sourceHeight, decoded.width * 3, scaled.data(),
            int(image.width), int(image.height), int(image.width) * 3, 3, STBIR_ALPHA_CHANNEL_NONE,
            0, STBIR_EDGE_CLAMP, STBIR_FILTER_BOX, STBIR_COLORSPACE_LINEAR, nullptr))
        return false;
    // Only PNG is ever asked for; another extension leaves the file alone.
    if (EndsWithPng(destination)) {
        if (FILE* out = platform::OpenFile(destination, "wb")) {
            const bool written =
                png_image_write_to_stdio(&image, out, 0, scaled.data(), 0, nullptr) != 0;
            // A half-written file is removed, as libpng's own file writer does.
            if (std::fclose(out) != 0 || !written) platform::RemoveFile(destination);
        }
    }
    return true;
}

int ComposeSignFinger() {
    const std::string signPath = SignPngPath();
    if (signPath.empty()) {
        // The signature of this session never reached a file; an older
        // sign.png must not stand in for it.
        WriteLog("error: ", "no signature picture for the fingerprint");
        return -1;
    }
    MakeDirectories(CompositeImagePath);
    // The signature is decoded once and copied: the copy is what the
    // fingerprint is laid on, the original gives the size.
    CxImage sign = CreateImage();
    if (!LoadImageFile(sign, signPath)) {
        WriteLog("error: ", "no signature picture for the fingerprint");
        return -1;
    }
    CxImage finger = CreateImage();
    LoadImageFile(finger, FingerImagePath);
    CxImage target = CreateImage();
    CopyImage(target, sign);
    const int32_t dx = 2 * finger.width - sign.width;
    const int32_t dy =
        -static_cast<int32_t>(static_cast<uint32_t>(sign.height - finger.height) >> 1);
    OverlayImage(target, finger, dx, dy);
    // The alpha plane is made anew from the colours. Saving the composite and
    // loading it again first would give the same colours (PNG is lossless),
    // so the picture is written once.
    CopyImage(target, MakeWhiteTransparent(target));
    SavePngFile(target, CompositeImagePath);
    return 0;
}

int StartFingerCapture() {
    Capture c;
    c.padSession = CurrentPadSession();
    const bool loaded = LoadFingerLibrary(&c.library) == 0;
    Ended ended;
    {
        std::lock_guard<std::mutex> hold(GateLock);
        // Two captures never drive one reader: the newer request wins.
        ended = EndOwnershipLocked(0, "fingerprint capture ended: a new capture was started");
        if (loaded) {
            c.id = ++LastCaptureId;
            Owner = c.id;
            OwnerPadSession = c.padSession;
            OwnerLibrary = c.library;
        }
    }
    AfterEnded(ended);
    if (!loaded) {
        // Otherwise a missing library would leave no trace at all.
        WriteLog("error",
                 std::string("fingerprint capture not started: no usable reader library ") +
                     platform::kFingerLibraryPath);
        return 0;
    }
    {
        std::lock_guard<std::mutex> threads(ThreadsLock);
        ++LiveThreads;
    }
    const bool started = platform::StartDetachedThread([c] {
        FingerCaptureThread(c);
        std::lock_guard<std::mutex> threads(ThreadsLock);
        --LiveThreads;
        ThreadsEnded.notify_all();
    });
    if (!started) {
        EndOwnCapture(c, "fingerprint capture not started: no thread");
        std::lock_guard<std::mutex> threads(ThreadsLock);
        --LiveThreads;
    }
    return 0;
}

void CancelFingerCapture(uint64_t padSession) {
    EndCurrentCapture(padSession, "fingerprint capture ended: the pad session was closed");
}

void SetFingerCaptureTimeoutMs(int milliseconds) {
    TimeoutMs.store(milliseconds);
}

bool FingerCaptureRunning() {
    std::lock_guard<std::mutex> hold(GateLock);
    return Owner != 0;
}

int FingerCaptureThreads() {
    std::lock_guard<std::mutex> threads(ThreadsLock);
    return LiveThreads;
}

bool WaitForFingerCaptureThreads(int timeoutMs) {
    std::unique_lock<std::mutex> threads(ThreadsLock);
    return ThreadsEnded.wait_for(threads, std::chrono::milliseconds(timeoutMs),
                                 [] { return LiveThreads == 0; });
}

void ResetFingerCaptureForTests() {
    EndCurrentCapture(0, nullptr);
    FreeFingerLibrary();
    WaitForFingerCaptureThreads(10000);
    TimeoutMs.store(kDefaultTimeoutMs);
}
