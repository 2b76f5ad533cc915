// The fingerprint capture: the thread that waits for a good image on the
// reader and turns it into the red-ink picture, alone or laid over the
// signature, plus the quality test, the scaling and the composite it uses.
//
// One capture at a time drives the reader. The capture that owns the reader
// makes each call into the library under ReaderLibraryLock and only while it
// still owns it; ending a capture (the page closed the pad session, a new
// capture began, or no good image came in time) takes the ownership away,
// closes the reader and releases the library under the same lock. So the
// library is never released while a call is inside it, and an ended capture
// never touches the reader again.
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

// Guarded by ReaderLibraryLock: the capture that drives the reader (0: none)
// and the last id handed out.
uint64_t ReaderOwner = 0;
uint64_t LastCaptureId = 0;

// Held by a capture from the moment it writes finger.png until it has sent
// its picture, so that two captures never work on the same files at once.
std::mutex PictureLock;

std::atomic<int> TimeoutMs{kDefaultTimeoutMs};

std::mutex ThreadsLock;
std::condition_variable ThreadsEnded;
int LiveThreads = 0;  // guarded by ThreadsLock

// Closes the reader and releases the library when capture `id` still owns
// them; `why` goes to the log. The caller holds ReaderLibraryLock.
bool EndOwnershipLocked(uint64_t id, const char* why) {
    if (id == 0 || ReaderOwner != id) return false;
    if (ReaderLibrary.ZAZCloseDeviceEx != nullptr) ReaderLibrary.ZAZCloseDeviceEx(0);
    FreeFingerLibrary();
    ReaderOwner = 0;
    if (why != nullptr) WriteLog("error", why);
    return true;
}

// Runs `call` with the library while capture `id` owns the reader; false
// (and nothing called) when it no longer does.
template <typename Call>
bool WithReader(uint64_t id, Call call) {
    std::lock_guard<std::mutex> hold(ReaderLibraryLock);
    if (ReaderOwner != id) return false;
    call(ReaderLibrary);
    return true;
}

bool StillOwner(uint64_t id) {
    std::lock_guard<std::mutex> hold(ReaderLibraryLock);
    return ReaderOwner == id;
}

void EndOwnership(uint64_t id, const char* why) {
    std::lock_guard<std::mutex> hold(ReaderLibraryLock);
    EndOwnershipLocked(id, why);
}

// Turns the reader's BMP at FingerImagePath into the final fingerprint PNG.
void MakeFingerPicture() {
    if (auto image = ReadBmp8(FingerImagePath)) {
        WriteRedBmp(image->pixels.data(), image->bitCount, image->width, image->height,
                    FingerImagePath);
    }
    ScaleImageFile(FingerImagePath, FingerImagePath, 2.0);
    CxImage picture = CreateImage();
    if (LoadImageFile(picture, FingerImagePath)) {
        CopyImage(picture, MakeWhiteTransparent(picture));
        SavePngFile(picture, FingerImagePath);
    }
}

int FingerCaptureThread(uint64_t id) {
    MakeDirectories(FingerImagePath);

    uint32_t handle = 0;
    int opened = -1;
    bool owner = WithReader(id, [&](const FingerLibrary& reader) {
        reader.ZAZCloseDeviceEx(0);
        opened = reader.ZAZOpenDeviceEx(&handle, 2, 0, 0, 2, 0);
        if (opened != 0) opened = reader.ZAZOpenDeviceEx(&handle, 0, 0, 0, 2, 0);
    });
    if (!owner) return -1;
    if (opened != 0) {
        EndOwnership(id, nullptr);
        platform::ShowMessageBox(msg::kBoxReaderOpenFailed);
        return -1;
    }

    SendCommandToOpenPad(FingerCommand);

    std::vector<unsigned char> buffer(kReaderImageBytes);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs.load());
    for (;;) {
        const auto passStart = std::chrono::steady_clock::now();
        int length = 0;
        owner = WithReader(id, [&](const FingerLibrary& reader) {
            reader.ZAZGetImage(handle, kReaderAddress);
            reader.ZAZUpImage(handle, kReaderAddress, buffer.data(), &length);
        });
        if (!owner) return -1;
        if (CountTexturedBlocks(buffer.data()) > FingerQuality.load()) break;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            const int ms = TimeoutMs.load();
            const std::string why =
                "fingerprint capture ended: no image of the required quality within " +
                (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms");
            EndOwnership(id, why.c_str());
            return -1;
        }
        if (now - passStart < kMinimumPass)
            std::this_thread::sleep_for(kMinimumPass - (now - passStart));
    }

    std::unique_lock<std::mutex> pictures(PictureLock);
    int converted = -1;
    owner = WithReader(id, [&](const FingerLibrary& reader) {
        converted = reader.ZAZImgData2BMP(buffer.data(), FingerImagePath);
        if (converted != 0) reader.ZAZErr2Str(converted);
    });
    if (!owner) return -1;
    if (converted != 0) {
        pictures.unlock();
        EndOwnership(id, nullptr);
        platform::ShowMessageBox(msg::kBoxImageToBmpFailed);
        return -1;
    }

    MakeFingerPicture();

    // A capture ended while it was converting sends nothing: the page closed
    // the session or asked for a new fingerprint.
    if (!StillOwner(id)) return -1;
    if (CaptureMode.load() != 0) {
        if (ComposeSignFinger() == 0) SendImageFile(CompositeImagePath, kSignFingerForm);
    } else {
        SendImageFile(FingerImagePath, kFingerForm);
    }
    pictures.unlock();

    bool completed = false;
    {
        std::lock_guard<std::mutex> hold(ReaderLibraryLock);
        completed = EndOwnershipLocked(id, nullptr);
    }
    // Another capture that took the reader meanwhile keeps its pad session.
    if (completed) ClosePad();
    return completed ? 0 : -1;
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
    FILE* f = std::fopen(path.c_str(), "rb");
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
    if (EndsWithPng(destination))
        png_image_write_to_file(&image, destination.c_str(), 0, scaled.data(), 0, nullptr);
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
    std::lock_guard<std::mutex> hold(ReaderLibraryLock);
    // Two captures never drive one reader: the newer request wins.
    EndOwnershipLocked(ReaderOwner, "fingerprint capture ended: a new capture was started");
    if (LoadFingerLibrary() != 0) {
        // Otherwise a missing library would leave no trace at all.
        WriteLog("error",
                 std::string("fingerprint capture not started: no usable reader library ") +
                     platform::kFingerLibraryPath);
        return 0;
    }
    const uint64_t id = ++LastCaptureId;
    ReaderOwner = id;
    {
        std::lock_guard<std::mutex> threads(ThreadsLock);
        ++LiveThreads;
    }
    const bool started = platform::StartDetachedThread([id] {
        FingerCaptureThread(id);
        std::lock_guard<std::mutex> threads(ThreadsLock);
        --LiveThreads;
        ThreadsEnded.notify_all();
    });
    if (!started) {
        EndOwnershipLocked(id, "fingerprint capture not started: no thread");
        std::lock_guard<std::mutex> threads(ThreadsLock);
        --LiveThreads;
    }
    return 0;
}

void CancelFingerCapture() {
    std::lock_guard<std::mutex> hold(ReaderLibraryLock);
    EndOwnershipLocked(ReaderOwner, "fingerprint capture ended: the pad session was closed");
}

void SetFingerCaptureTimeoutMs(int milliseconds) {
    TimeoutMs.store(milliseconds);
}

bool FingerCaptureRunning() {
    std::lock_guard<std::mutex> hold(ReaderLibraryLock);
    return ReaderOwner != 0;
}

bool WaitForFingerCaptureThreads(int timeoutMs) {
    std::unique_lock<std::mutex> threads(ThreadsLock);
    return ThreadsEnded.wait_for(threads, std::chrono::milliseconds(timeoutMs),
                                 [] { return LiveThreads == 0; });
}

void ResetFingerCaptureForTests() {
    {
        std::lock_guard<std::mutex> hold(ReaderLibraryLock);
        EndOwnershipLocked(ReaderOwner, nullptr);
        FreeFingerLibrary();
    }
    WaitForFingerCaptureThreads(10000);
    TimeoutMs.store(kDefaultTimeoutMs);
}
