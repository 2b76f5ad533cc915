// The reader's 8-bit BMP and the red-ink BMP. Every size taken from a file is
// checked against the file's length before anything is allocated or read, so
// a damaged or foreign file is refused instead of read past its end.
#include "finger/TavoSign.h"

#include <climits>
#include <cstdio>
#include <new>

#include "platform/platform.h"

namespace {

constexpr std::array<uint8_t, 1024> MakeRedInkPalette() {
    std::array<uint8_t, 1024> table{};
    for (int i = 0; i < 256; ++i) {
        const bool ink = i < 150;
        table[4 * i + 0] = static_cast<uint8_t>(ink ? i : 255);
        table[4 * i + 1] = static_cast<uint8_t>(ink ? i : 255);
        table[4 * i + 2] = static_cast<uint8_t>(ink ? 240 + i % 15 : 255);
        table[4 * i + 3] = 0;
    }
    return table;
}

constexpr long kHeadersSize = 54;
constexpr long kPaletteSize = 1024;
// No reader image comes near this; it keeps a hostile header from asking for
// an allocation the machine cannot give.
constexpr uint64_t kMaxPixels = uint64_t(1) << 28;

uint32_t Read32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t Read16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// The source file's name and a fixed number tell the two opens apart.
void TraceOpenFailed(int line) {
    std::printf("fopen failed : %s, %d\n", "TavoSign", line);
    std::fflush(stdout);
}

struct File {
    FILE* f;
    ~File() {
        if (f != nullptr) std::fclose(f);
    }
};

}  // namespace

const std::array<uint8_t, 1024> RedInkPalette = MakeRedInkPalette();

std::optional<Bmp8Pixels> ReadBmp8(const char* path) {
    File file{platform::OpenFile(path, "rb")};
    if (file.f == nullptr) {
        TraceOpenFailed(983);
        return std::nullopt;
    }
    uint8_t head[kHeadersSize];
    if (std::fread(head, 1, sizeof head, file.f) != sizeof head) return std::nullopt;
    if (head[0] != 'B' || head[1] != 'M') return std::nullopt;
    if (Read32(head + 14) != 40) return std::nullopt;  // the palette follows a 40-byte header
    const int32_t width = static_cast<int32_t>(Read32(head + 18));
    const int32_t heightField = static_cast<int32_t>(Read32(head + 22));
    const uint16_t bitCount = Read16(head + 28);
    if (bitCount != 8 || Read32(head + 30) != 0) return std::nullopt;  // 8-bit, uncompressed
    if (width <= 0 || heightField == 0 || heightField == INT32_MIN) return std::nullopt;
    const bool bottomUp = heightField > 0;
    const uint32_t height = static_cast<uint32_t>(bottomUp ? heightField : -heightField);
    const uint64_t pixelCount = uint64_t(uint32_t(width)) * height;
    if (pixelCount > kMaxPixels) return std::nullopt;

    const uint32_t padding = (4 - uint32_t(width) % 4) % 4;
    const uint64_t needed =
        uint64_t(kHeadersSize + kPaletteSize) + (uint64_t(width) + padding) * height;
    if (std::fseek(file.f, 0, SEEK_END) != 0) return std::nullopt;
    const long length = std::ftell(file.f);
    if (length < 0 || uint64_t(length) < needed) return std::nullopt;
    // The palette is dropped: the red-ink palette replaces it.
    if (std::fseek(file.f, kHeadersSize + kPaletteSize, SEEK_SET) != 0) return std::nullopt;

    Bmp8Pixels image;
    try {
        image.pixels.resize(static_cast<size_t>(pixelCount));
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    image.bitCount = static_cast<uint8_t>(bitCount);
    image.width = static_cast<uint32_t>(width);
    image.height = height;
    for (uint32_t i = 0; i < height; ++i) {
        const uint32_t row = bottomUp ? height - 1 - i : i;
        uint8_t* target = image.pixels.data() + size_t(row) * uint32_t(width);
        if (std::fread(target, 1, uint32_t(width), file.f) != uint32_t(width)) return std::nullopt;
        if (padding != 0 && std::fseek(file.f, padding, SEEK_CUR) != 0) return std::nullopt;
    }
    return image;
}

int WriteRedBmp(const uint8_t* pixels, uint8_t bitCount, uint32_t width, uint32_t height,
                const char* path) {
    const uint64_t rowBytes = (uint64_t(width) * bitCount + 31) / 32 * 4;
    const uint64_t sizeField = uint64_t(kHeadersSize) + rowBytes * height;
    const uint32_t padding = (4 - width % 4) % 4;
    const uint64_t written =
        uint64_t(kHeadersSize + kPaletteSize) + (uint64_t(width) + padding) * height;
    if (sizeField > UINT32_MAX || written > UINT32_MAX || width > INT32_MAX || height > INT32_MAX)
        return 0;
    if (pixels == nullptr && uint64_t(width) * height != 0) return 0;

    File file{platform::OpenFile(path, "wb")};
    if (file.f == nullptr) {
        TraceOpenFailed(1042);
        return 0;
    }
    uint8_t head[kHeadersSize] = {};
    head[0] = 'B';
    head[1] = 'M';
    Put32(head + 2, static_cast<uint32_t>(sizeField));
    // The offset leaves the palette out. Image codecs therefore read the
    // palette as four extra bottom rows and miss the top four; the scaling
    // step that follows cuts those four rows off again.
    Put32(head + 10, kHeadersSize);
    Put32(head + 14, 40);
    Put32(head + 18, width);
    Put32(head + 22, height);
    Put16(head + 26, 1);
    Put16(head + 28, bitCount);
    bool ok =
        std::fwrite(head, 1, sizeof head, file.f) == sizeof head &&
        std::fwrite(RedInkPalette.data(), 1, RedInkPalette.size(), file.f) == RedInkPalette.size();
    static const uint8_t zeros[4] = {};
    for (uint32_t i = 0; ok && i < height; ++i) {
        const uint8_t* row = pixels + size_t(height - 1 - i) * width;
        ok = std::fwrite(row, 1, width, file.f) == width &&
             std::fwrite(zeros, 1, padding, file.f) == padding;
    }
    FILE* f = file.f;
    file.f = nullptr;
    return (std::fclose(f) == 0 && ok) ? 1 : 0;
}
