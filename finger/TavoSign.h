// The reader's 8-bit BMP read into memory, and the same pixels written back as
// the red-ink BMP that the fingerprint picture is made from.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

// 256 entries of blue, green, red, 0: grey levels 0 to 149 print in red ink
// (red 240 + i mod 15, green = blue = i), 150 to 255 in white.
extern const std::array<uint8_t, 1024> RedInkPalette;

struct Bmp8Pixels {
    std::vector<uint8_t> pixels;  // width x height bytes, top row first
    uint8_t bitCount = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};

// Reads an uncompressed 8-bit BMP (14 + 40 byte headers, 1,024-byte palette
// directly after them, rows padded to 4 bytes; bottom row first, or top row
// first for a negative height). Nothing when the file cannot be opened (a
// trace line on standard output), is another kind of file, or is shorter than
// its headers say.
std::optional<Bmp8Pixels> ReadBmp8(const char* path);

// Writes `pixels` (width x height bytes, top row first) as the red-ink BMP:
// headers whose pixel-data offset is 54, RedInkPalette, then the rows bottom
// row first, each padded with zero bytes to a multiple of 4. 1 when written;
// 0 when the file cannot be created (a trace line on standard output), cannot
// be written, or the sizes do not fit a BMP.
int WriteRedBmp(const uint8_t* pixels, uint8_t bitCount, uint32_t width, uint32_t height,
                const char* path);
