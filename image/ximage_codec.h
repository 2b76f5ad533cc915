// What the CxImage file decoders and encoder share with the core operations;
// used only inside image/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "image/ximage.h"

namespace ximage {

// What a decoder made of a file's bytes.
enum class Decode {
    kNotMine,   // not this decoder's format: the next one is tried
    kDone,      // the image holds the file's pixels
    kRejected,  // this decoder's format, but unreadable; ImageLastError says why
};

Decode DecodeBmp(const uint8_t* data, size_t size, CxImage& image);
Decode DecodePng(const uint8_t* data, size_t size, CxImage& image);

// Sets the calling thread's ImageLastError (cut to 255 characters).
void SetImageError(const std::string& text);
// Checks a size as the image constructor does, setting ImageLastError when it
// is refused: sizes not above 0, or pixel memory above kImageMaxMemory.
bool CheckImageSize(int32_t width, int32_t height);
// Resolution in dots per inch; below 1 becomes 96. Pixels per metre follow.
void SetResolution(CxImage& image, int64_t dpiX, int64_t dpiY);
// Dots per inch from a file's pixels per metre (0 or less gives 96).
int64_t DpiFromPpm(int64_t pixelsPerMetre);
// True when the buffers hold every pixel the size promises.
bool HoldsPixels(const CxImage& image);

extern const char* const kCreateSizeError;
extern const char* const kMaxMemoryError;
extern const char* const kAllocationError;

}  // namespace ximage
