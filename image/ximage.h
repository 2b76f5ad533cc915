// CxImage: the small in-memory image the signature and fingerprint pictures
// pass through on their way to PNG. Rows are addressed bottom-up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CxImage {
    int32_t width = 0, height = 0;
    std::vector<uint8_t> rows;   // 24-bit BGR, rows padded to 4 bytes, row 0 at the bottom
    std::vector<uint8_t> alpha;  // width x height bytes, bottom-up, or empty (no alpha plane)
    int32_t dpiX = 96, dpiY = 96;
    int32_t ppmX = 3780, ppmY = 3780;  // pixels per metre

    bool IsEmpty() const { return width <= 0 || height <= 0 || rows.empty(); }
    bool HasAlpha() const { return !alpha.empty(); }
    // Computed in 64 bits: widths near the memory limit would overflow 24 * width.
    int32_t RowBytes() const {
        return static_cast<int32_t>(((24 * static_cast<int64_t>(width) + 31) / 32) * 4);
    }
};

struct CxPixel {
    uint8_t blue, green, red, alpha;
};

// Pixel memory of one image is capped at this many bytes.
constexpr double kImageMaxMemory = 268435456.0;

CxImage CreateImage();
bool LoadImageFile(CxImage& image, const std::string& path);
void CopyImage(CxImage& destination, const CxImage& source);
bool SavePngFile(const CxImage& image, const std::string& path);
CxImage MakeWhiteTransparent(CxImage image);
void OverlayImage(CxImage& destination, const CxImage& source, int32_t dx, int32_t dy);
// Pixel at (x, y), y counted from the bottom row; alpha 0 without alpha plane.
// Positions outside the image read as all zero.
CxPixel GetPixel(const CxImage& image, int32_t x, int32_t y);
// Writes the pixel at (x, y), y counted from the bottom row; the alpha only
// when the image has an alpha plane. Positions outside the image are ignored.
void SetPixel(CxImage& image, int32_t x, int32_t y, CxPixel pixel);
// Gives `image` width x height black pixels without alpha plane (resolution
// kept). False, with ImageLastError set and the image left as it was, when a
// size is not above 0, the memory limit is exceeded or memory runs out.
bool AllocateImage(CxImage& image, int32_t width, int32_t height);
// Loads an image from bytes in memory, as LoadImageFile does from a file.
bool LoadImageMemory(CxImage& image, const uint8_t* data, size_t size);

// Text of the last failure of the calling thread's image operations.
const std::string& ImageLastError();
