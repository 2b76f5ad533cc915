// CxImage's core operations: creation, copies, pixel access, white to
// transparent, overlay, and the dispatch of a file to the decoders. Every
// operation runs on its caller's thread; failures leave a text in that
// thread's ImageLastError.
#include "image/ximage.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "image/ximage_codec.h"
#include "platform/platform.h"

namespace ximage {

const char* const kCreateSizeError = "CxImage::Create : width and height must be greater than zero";
const char* const kMaxMemoryError = "CXIMAGE_MAX_MEMORY exceeded";
const char* const kAllocationError = "CxImage::Create can't allocate memory";

namespace {

thread_local std::string lastError;

constexpr size_t kMaxErrorLength = 255;
// No file the service reads comes near this: a BMP at the memory limit plus
// its headers. Anything larger is refused before it is read into memory.
constexpr long long kMaxFileBytes = 2LL * 268435456;

int32_t ClampToInt32(double value) {
    if (!(value > -2147483648.0)) return INT32_MIN;
    if (value > 2147483647.0) return INT32_MAX;
    return static_cast<int32_t>(value);
}

int32_t PpmFromDpi(int32_t dpi) {
    return ClampToInt32(std::floor(dpi * 10000.0 / 254.0 + 0.5));
}

// Reads the whole file; false when it cannot be opened (ImageLastError is left
// as it was) or read (ImageLastError set).
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
    FILE* file = platform::OpenFile(path, "rb");
    if (file == nullptr) return false;
    bool ok = true;
    try {
        // One buffer of the file's size when it can be told; a file that
        // grows meanwhile is read on in chunks, a shrinking one ends early.
        long length = -1;
        if (std::fseek(file, 0, SEEK_END) == 0) length = std::ftell(file);
        if (std::fseek(file, 0, SEEK_SET) != 0) length = -1;
        if (length > kMaxFileBytes) {
            SetImageError("Decode: file too large");
            std::fclose(file);
            return false;
        }
        size_t used = 0;
        bytes.resize(length > 0 ? static_cast<size_t>(length) : 65536);
        for (;;) {
            if (used == bytes.size()) {
                if (static_cast<long long>(bytes.size()) >= kMaxFileBytes) {
                    SetImageError("Decode: file too large");
                    ok = false;
                    break;
                }
                bytes.resize(
                    std::min<size_t>(bytes.size() * 2, static_cast<size_t>(kMaxFileBytes)));
            }
            const size_t got = std::fread(bytes.data() + used, 1, bytes.size() - used, file);
            used += got;
            if (got == 0) break;
        }
        bytes.resize(used);
        if (ok && std::ferror(file)) {
            SetImageError("Decode: read error");
            ok = false;
        }
    } catch (const std::bad_alloc&) {
        SetImageError(kAllocationError);
        ok = false;
    }
    std::fclose(file);
    return ok;
}

}  // namespace

void SetImageError(const std::string& text) {
    lastError = text.substr(0, kMaxErrorLength);
}

bool CheckImageSize(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) {
        SetImageError(kCreateSizeError);
        return false;
    }
    const float bytes = static_cast<float>(width) * static_cast<float>(height) * 24.0f / 8.0f;
    if (bytes > static_cast<float>(kImageMaxMemory)) {
        SetImageError(kMaxMemoryError);
        return false;
    }
    return true;
}

void SetResolution(CxImage& image, int64_t dpiX, int64_t dpiY) {
    image.dpiX = dpiX < 1 ? 96 : ClampToInt32(static_cast<double>(dpiX));
    image.dpiY = dpiY < 1 ? 96 : ClampToInt32(static_cast<double>(dpiY));
    image.ppmX = PpmFromDpi(image.dpiX);
    image.ppmY = PpmFromDpi(image.dpiY);
}

int64_t DpiFromPpm(int64_t pixelsPerMetre) {
    if (pixelsPerMetre <= 0) return 96;
    return static_cast<int64_t>(
        std::floor(static_cast<double>(pixelsPerMetre) * 254.0 / 10000.0 + 0.5));
}

bool HoldsPixels(const CxImage& image) {
    if (image.IsEmpty()) return false;
    const size_t count = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
    if (image.rows.size() < static_cast<size_t>(image.RowBytes()) * image.height) return false;
    return image.alpha.empty() || image.alpha.size() >= count;
}

}  // namespace ximage

using namespace ximage;

const std::string& ImageLastError() {
    return lastError;
}

CxImage CreateImage() {
    return CxImage{};
}

bool AllocateImage(CxImage& image, int32_t width, int32_t height) {
    if (!CheckImageSize(width, height)) return false;
    try {
        CxImage made;
        made.width = width;
        made.height = height;
        made.rows.assign(static_cast<size_t>(made.RowBytes()) * static_cast<size_t>(height), 0);
        made.dpiX = image.dpiX;
        made.dpiY = image.dpiY;
        made.ppmX = image.ppmX;
        made.ppmY = image.ppmY;
        image = std::move(made);
    } catch (const std::bad_alloc&) {
        SetImageError(kAllocationError);
        return false;
    }
    return true;
}

bool LoadImageMemory(CxImage& image, const uint8_t* data, size_t size) {
    static Decode (*const decoders[])(const uint8_t*, size_t, CxImage&) = {DecodeBmp, DecodePng};
    for (auto decoder : decoders) {
        CxImage loaded;
        Decode result = Decode::kRejected;
        try {
            result = decoder(data, size, loaded);
        } catch (const std::bad_alloc&) {
            SetImageError(kAllocationError);
            return false;
        }
        if (result == Decode::kDone) {
            image = std::move(loaded);
            return true;
        }
        if (result == Decode::kRejected) return false;
    }
    SetImageError("Decode: Unknown or wrong format");
    return false;
}

bool LoadImageFile(CxImage& image, const std::string& path) {
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, bytes)) return false;
    return LoadImageMemory(image, bytes.data(), bytes.size());
}

void CopyImage(CxImage& destination, const CxImage& source) {
    if (&destination == &source) return;
    if (!HoldsPixels(source)) {
        CxImage empty;
        empty.dpiX = source.dpiX;
        empty.dpiY = source.dpiY;
        empty.ppmX = source.ppmX;
        empty.ppmY = source.ppmY;
        destination = std::move(empty);
        SetImageError(kCreateSizeError);
        return;
    }
    try {
        destination = source;
    } catch (const std::bad_alloc&) {
        destination = CxImage{};
        SetImageError(kAllocationError);
    }
}

CxImage MakeWhiteTransparent(CxImage image) {
    if (!HoldsPixels(image)) return CxImage{};
    const size_t width = static_cast<size_t>(image.width);
    const size_t rowBytes = static_cast<size_t>(image.RowBytes());
    try {
        // Only the blue byte counts: any old alpha plane is replaced.
        image.alpha.assign(width * static_cast<size_t>(image.height), 0);
    } catch (const std::bad_alloc&) {
        SetImageError(kAllocationError);
        return CxImage{};
    }
    for (size_t y = 0; y < static_cast<size_t>(image.height); ++y) {
        const uint8_t* row = image.rows.data() + y * rowBytes;
        uint8_t* alphaRow = image.alpha.data() + y * width;
        for (size_t x = 0; x < width; ++x) alphaRow[x] = static_cast<uint8_t>(255 - row[3 * x]);
    }
    SetResolution(image, 96, 96);
    return image;
}

CxPixel GetPixel(const CxImage& image, int32_t x, int32_t y) {
    if (!HoldsPixels(image) || x < 0 || y < 0 || x >= image.width || y >= image.height) {
        return CxPixel{0, 0, 0, 0};
    }
    const uint8_t* p =
        image.rows.data() + static_cast<size_t>(y) * image.RowBytes() + 3 * static_cast<size_t>(x);
    const uint8_t a = image.HasAlpha() ? image.alpha[static_cast<size_t>(y) * image.width + x] : 0;
    return CxPixel{p[0], p[1], p[2], a};
}

void SetPixel(CxImage& image, int32_t x, int32_t y, CxPixel pixel) {
    if (!HoldsPixels(image) || x < 0 || y < 0 || x >= image.width || y >= image.height) return;
    uint8_t* p =
        image.rows.data() + static_cast<size_t>(y) * image.RowBytes() + 3 * static_cast<size_t>(x);
    p[0] = pixel.blue;
    p[1] = pixel.green;
    p[2] = pixel.red;
    if (image.HasAlpha()) image.alpha[static_cast<size_t>(y) * image.width + x] = pixel.alpha;
}

void OverlayImage(CxImage& destination, const CxImage& source, int32_t dx, int32_t dy) {
    CxImage& d = destination;
    const CxImage& s = source;
    // A source without alpha plane reads as alpha 0 everywhere, which keeps
    // every colour and writes no alpha: nothing would change.
    if (!HoldsPixels(d) || !HoldsPixels(s) || !s.HasAlpha()) return;
    if (!d.HasAlpha()) {
        try {
            d.alpha.assign(static_cast<size_t>(d.width) * static_cast<size_t>(d.height), 255);
        } catch (const std::bad_alloc&) {
            SetImageError(kAllocationError);
            return;
        }
    }
    // Only the pixels of D whose source position lies inside S; computed in
    // 64 bits so that offsets near the limits of int32 cannot wrap.
    const int64_t x0 = std::max<int64_t>(0, -static_cast<int64_t>(dx));
    const int64_t x1 = std::min<int64_t>(d.width, static_cast<int64_t>(s.width) - dx);
    const int64_t y0 = std::max<int64_t>(0, -static_cast<int64_t>(dy));
    const int64_t y1 = std::min<int64_t>(d.height, static_cast<int64_t>(s.height) - dy);
    const size_t dRow = static_cast<size_t>(d.RowBytes());
    const size_t sRow = static_cast<size_t>(s.RowBytes());
    for (int64_t y = y0; y < y1; ++y) {
        for (int64_t x = x0; x < x1; ++x) {
            const int64_t sx = x + dx, sy = y + dy;
            uint8_t* dc =
                d.rows.data() + static_cast<size_t>(y) * dRow + 3 * static_cast<size_t>(x);
            uint8_t* da =
                d.alpha.data() + static_cast<size_t>(y) * d.width + static_cast<size_t>(x);
            const uint8_t* sc =
                s.rows.data() + static_cast<size_t>(sy) * sRow + 3 * static_cast<size_t>(sx);
            const unsigned sa =
                s.alpha[static_cast<size_t>(sy) * s.width + static_cast<size_t>(sx)];
            if (sa == 0) {
                *da = 0;
            } else if (*da < 5 || sa > 250) {
                dc[0] = sc[0];
                dc[1] = sc[1];
                dc[2] = sc[2];
                *da = static_cast<uint8_t>(sa);
            } else {
                const unsigned ad = ((255 - sa) * *da) >> 8;
                const unsigned a = sa + ad;
                for (int c = 0; c < 3; ++c)
                    dc[c] = static_cast<uint8_t>((sc[c] * sa + dc[c] * ad) / a);
                *da = static_cast<uint8_t>(a);
            }
        }
    }
}
