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
    int32_t RowBytes() const { return ((24 * width + 31) / 32) * 4; }
};

struct CxPixel {
    uint8_t blue, green, red, alpha;
};

CxImage CreateImage();
bool LoadImageFile(CxImage& image, const std::string& path);
void CopyImage(CxImage& destination, const CxImage& source);
bool SavePngFile(const CxImage& image, const std::string& path);
CxImage MakeWhiteTransparent(CxImage image);
void OverlayImage(CxImage& destination, const CxImage& source, int32_t dx, int32_t dy);
// Pixel at (x, y), y counted from the bottom row; alpha 0 without alpha plane.
CxPixel GetPixel(const CxImage& image, int32_t x, int32_t y);

// Text of the last failure of the calling thread's image operations.
const std::string& ImageLastError();
