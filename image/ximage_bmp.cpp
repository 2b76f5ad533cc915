// The BMP decoder of CxImage: uncompressed 24-bit Windows bitmaps with a
// positive height (rows bottom-up), as the signature delivery writes them.
// Every field is checked against the file's length before it is used.
#include <cstring>

#include "image/ximage_codec.h"

namespace ximage {

namespace {

constexpr size_t kFileHeaderBytes = 14;
constexpr size_t kInfoHeaderBytes = 40;

uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
int32_t I32(const uint8_t* p) {
    return static_cast<int32_t>(U32(p));
}
uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

}  // namespace

Decode DecodeBmp(const uint8_t* data, size_t size, CxImage& image) {
    if (size < 2 || data[0] != 'B' || data[1] != 'M') return Decode::kNotMine;
    if (size < kFileHeaderBytes + kInfoHeaderBytes) {
        SetImageError("Decode: BMP header truncated");
        return Decode::kRejected;
    }
    // The file-size field at offset 2 is not used: writers disagree about it.
    const uint32_t pixelOffset = U32(data + 10);
    const uint32_t headerBytes = U32(data + 14);
    const int32_t width = I32(data + 18);
    const int32_t height = I32(data + 22);
    const uint16_t bitCount = U16(data + 28);
    const uint32_t compression = U32(data + 30);
    const int32_t ppmX = I32(data + 38);
    const int32_t ppmY = I32(data + 42);

    if (headerBytes < kInfoHeaderBytes) {
        SetImageError("Decode: BMP header not supported");
        return Decode::kRejected;
    }
    if (compression != 0) {
        SetImageError("unknown compression");
        return Decode::kRejected;
    }
    if (bitCount != 24) {
        SetImageError("Decode: BMP bit count not supported");
        return Decode::kRejected;
    }
    if (!CheckImageSize(width, height)) return Decode::kRejected;

    CxImage made;
    made.width = width;
    made.height = height;
    const uint64_t pixelBytes =
        static_cast<uint64_t>(made.RowBytes()) * static_cast<uint64_t>(height);
    if (pixelOffset > size || pixelBytes > size - pixelOffset) {
        SetImageError("Decode: BMP pixel data truncated");
        return Decode::kRejected;
    }
    made.rows.assign(data + pixelOffset, data + pixelOffset + pixelBytes);
    SetResolution(made, DpiFromPpm(ppmX), DpiFromPpm(ppmY));
    image = std::move(made);
    return Decode::kDone;
}

}  // namespace ximage
