// CxImage operations: transparency from the blue byte, the overlay's blending
// and thresholds, deep copies, PNG output judged by independent readers, and
// loading of good and hostile files.
#include "image/ximage.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <climits>

#include "tests/image/image_test_util.h"

namespace {

CxImage Filled(int32_t width, int32_t height, CxPixel pixel, bool withAlpha) {
    CxImage image = CreateImage();
    EXPECT_TRUE(AllocateImage(image, width, height));
    if (withAlpha) image.alpha.assign(static_cast<size_t>(width) * height, 0);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) SetPixel(image, x, y, pixel);
    }
    return image;
}

// A picture whose every pixel differs, so a flipped or shifted row shows.
CxImage Patterned(int32_t width, int32_t height, bool withAlpha) {
    CxImage image = Filled(width, height, {0, 0, 0, 0}, withAlpha);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            SetPixel(image, x, y,
                     {static_cast<uint8_t>(x * 31 + y), static_cast<uint8_t>(y * 17 + 3),
                      static_cast<uint8_t>(x * y + 9), static_cast<uint8_t>(x * 40 + y * 7 + 1)});
        }
    }
    return image;
}

void ExpectPixel(const CxImage& image, int32_t x, int32_t y, CxPixel want) {
    const CxPixel got = GetPixel(image, x, y);
    EXPECT_EQ(got.blue, want.blue) << "at " << x << "," << y;
    EXPECT_EQ(got.green, want.green) << "at " << x << "," << y;
    EXPECT_EQ(got.red, want.red) << "at " << x << "," << y;
    EXPECT_EQ(got.alpha, want.alpha) << "at " << x << "," << y;
}

void ExpectSamePixels(const CxImage& a, const CxImage& b) {
    ASSERT_EQ(a.width, b.width);
    ASSERT_EQ(a.height, b.height);
    ASSERT_EQ(a.HasAlpha(), b.HasAlpha());
    for (int32_t y = 0; y < a.height; ++y) {
        for (int32_t x = 0; x < a.width; ++x) ExpectPixel(b, x, y, GetPixel(a, x, y));
    }
}

// Leaves a known text in ImageLastError, to see whether an operation set it.
void MarkLastError() {
    CxImage empty;
    CxImage copy;
    CopyImage(copy, empty);
    ASSERT_EQ(ImageLastError(), "CxImage::Create : width and height must be greater than zero");
}

void PutLe(std::vector<uint8_t>& bytes, size_t at, uint32_t value, int count) {
    for (int i = 0; i < count; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// ---- White to transparent --------------------------------------------------

TEST(MakeWhiteTransparent, AlphaIsTheInverseOfTheBlueByteOnly) {
    CxImage image = Filled(5, 1, {255, 255, 255, 0}, false);
    SetPixel(image, 1, 0, {0, 0, 0, 0});
    SetPixel(image, 2, 0, {128, 128, 128, 0});
    SetPixel(image, 3, 0, {0, 0, 255, 0});  // red: opaque, blue alone counts
    SetPixel(image, 4, 0, {255, 0, 0, 0});  // blue: transparent
    const CxImage result = MakeWhiteTransparent(image);
    ASSERT_TRUE(result.HasAlpha());
    ExpectPixel(result, 0, 0, {255, 255, 255, 0});
    ExpectPixel(result, 1, 0, {0, 0, 0, 255});
    ExpectPixel(result, 2, 0, {128, 128, 128, 127});
    ExpectPixel(result, 3, 0, {0, 0, 255, 255});
    ExpectPixel(result, 4, 0, {255, 0, 0, 0});
    EXPECT_FALSE(image.HasAlpha()) << "the caller's image is not changed";
}

TEST(MakeWhiteTransparent, ReplacesAnOldAlphaPlaneAndResetsTheResolution) {
    CxImage image = Patterned(6, 4, true);
    image.dpiX = 300;
    image.ppmX = 11811;
    const CxImage result = MakeWhiteTransparent(image);
    for (int32_t y = 0; y < 4; ++y) {
        for (int32_t x = 0; x < 6; ++x) {
            const CxPixel in = GetPixel(image, x, y);
            ExpectPixel(result, x, y,
                        {in.blue, in.green, in.red, static_cast<uint8_t>(255 - in.blue)});
        }
    }
    EXPECT_EQ(result.dpiX, 96);
    EXPECT_EQ(result.ppmX, 3780);
    EXPECT_EQ(result.ppmY, 3780);
}

TEST(MakeWhiteTransparent, EmptyGivesEmpty) {
    EXPECT_TRUE(MakeWhiteTransparent(CreateImage()).IsEmpty());
}

// ---- Overlay ---------------------------------------------------------------

TEST(OverlayImage, TransparentSourceKeepsColourAndClearsAlpha) {
    CxImage d = Filled(2, 2, {10, 20, 30, 255}, true);
    const CxImage s = Filled(2, 2, {200, 100, 50, 0}, true);
    OverlayImage(d, s, 0, 0);
    ExpectPixel(d, 1, 1, {10, 20, 30, 0});
}

TEST(OverlayImage, BlendsWithIntegerWeights) {
    CxImage d = Filled(1, 1, {10, 20, 30, 100}, true);
    const CxImage s = Filled(1, 1, {200, 100, 50, 128}, true);
    OverlayImage(d, s, 0, 0);
    // a_d = (127 x 100) >> 8 = 49, a = 177; each colour (s x 128 + d x 49) / 177.
    ExpectPixel(d, 0, 0, {147, 77, 44, 177});
}

TEST(OverlayImage, ThresholdsFiveAndTwoHundredFifty) {
    const CxPixel dc{10, 20, 30, 0}, sc{200, 100, 50, 0};
    auto overlay = [&](uint8_t dAlpha, uint8_t sAlpha) {
        CxImage d = Filled(1, 1, {dc.blue, dc.green, dc.red, dAlpha}, true);
        const CxImage s = Filled(1, 1, {sc.blue, sc.green, sc.red, sAlpha}, true);
        OverlayImage(d, s, 0, 0);
        return GetPixel(d, 0, 0);
    };
    // Destination alpha 4 takes the source whole; 5 blends.
    CxPixel p = overlay(4, 100);
    EXPECT_EQ(p.blue, 200);
    EXPECT_EQ(p.alpha, 100);
    p = overlay(5, 100);
    EXPECT_EQ(p.alpha, 100 + ((155 * 5) >> 8));
    EXPECT_EQ(p.blue, (200 * 100 + 10 * 3) / 103);
    // Source alpha 250 blends; 251 replaces.
    p = overlay(200, 250);
    EXPECT_EQ(p.alpha, 250 + ((5 * 200) >> 8));
    EXPECT_EQ(p.red, (50 * 250 + 30 * 3) / 253);
    p = overlay(200, 251);
    EXPECT_EQ(p.alpha, 251);
    EXPECT_EQ(p.red, 50);
}

TEST(OverlayImage, SourceWithoutAlphaChangesNothing) {
    CxImage d = Patterned(4, 3, true);
    const CxImage before = d;
    OverlayImage(d, Filled(4, 3, {1, 2, 3, 0}, false), 0, 0);
    ExpectSamePixels(before, d);
}

TEST(OverlayImage, DestinationWithoutAlphaGetsAnOpaquePlane) {
    CxImage d = Patterned(4, 3, false);
    const CxImage before = d;
    OverlayImage(d, Filled(2, 2, {1, 2, 3, 255}, true), 100, 100);
    ASSERT_TRUE(d.HasAlpha());
    for (int32_t y = 0; y < 3; ++y) {
        for (int32_t x = 0; x < 4; ++x) {
            const CxPixel b = GetPixel(before, x, y);
            ExpectPixel(d, x, y, {b.blue, b.green, b.red, 255});
        }
    }
}

TEST(OverlayImage, SourceWhollyOutsideChangesNothing) {
    const CxImage s = Filled(3, 3, {1, 2, 3, 255}, true);
    const int32_t offsets[][2] = {{3, 0},
                                  {0, 3},
                                  {-5, 0},
                                  {0, -5},
                                  {INT32_MAX, 0},
                                  {INT32_MIN, INT32_MIN},
                                  {INT32_MAX, INT32_MAX}};
    for (const auto& offset : offsets) {
        CxImage d = Patterned(5, 5, true);
        const CxImage before = d;
        OverlayImage(d, s, offset[0], offset[1]);
        ExpectSamePixels(before, d);
    }
}

TEST(OverlayImage, PartlyOutsideTouchesOnlyTheOverlap) {
    const CxImage s = Filled(4, 4, {1, 2, 3, 255}, true);
    CxImage d = Filled(6, 6, {200, 200, 200, 255}, true);
    // D's pixel (x, y) takes S's (x + 2, y + 1): x from 0 to 1, y from 0 to 2.
    OverlayImage(d, s, 2, 1);
    for (int32_t y = 0; y < 6; ++y) {
        for (int32_t x = 0; x < 6; ++x) {
            const bool inside = x < 2 && y < 3;
            ExpectPixel(d, x, y, inside ? CxPixel{1, 2, 3, 255} : CxPixel{200, 200, 200, 255});
        }
    }
}

TEST(OverlayImage, SourceLargerThanDestination) {
    const CxImage s = Filled(10, 10, {7, 8, 9, 255}, true);
    CxImage d = Filled(3, 2, {0, 0, 0, 255}, true);
    OverlayImage(d, s, 4, 5);
    for (int32_t y = 0; y < 2; ++y) {
        for (int32_t x = 0; x < 3; ++x) ExpectPixel(d, x, y, {7, 8, 9, 255});
    }
}

TEST(OverlayImage, FingerprintLandsWhereTheCompositeExpectsIt) {
    // The composite's offsets for a 600 x 355 signature and a 128 x 144 print.
    CxImage d = Filled(600, 355, {255, 255, 255, 0}, true);
    const CxImage s = Filled(128, 144, {0, 0, 240, 255}, true);
    OverlayImage(d, s, 2 * 128 - 600, -static_cast<int32_t>(static_cast<uint32_t>(355 - 144) >> 1));
    auto inked = [&](int32_t column, int32_t rowFromTop) {
        return GetPixel(d, column, 354 - rowFromTop).red == 240;
    };
    EXPECT_TRUE(inked(344, 106));
    EXPECT_TRUE(inked(471, 249));
    EXPECT_FALSE(inked(343, 106));
    EXPECT_FALSE(inked(472, 106));
    EXPECT_FALSE(inked(344, 105));
    EXPECT_FALSE(inked(344, 250));
}

// ---- Copy and size limits --------------------------------------------------

TEST(CopyImage, IsDeepAndTakesAlphaAndResolution) {
    CxImage source = Patterned(5, 3, true);
    source.dpiX = 200;
    CxImage destination = Filled(1, 1, {9, 9, 9, 9}, false);
    CopyImage(destination, source);
    ExpectSamePixels(source, destination);
    EXPECT_EQ(destination.dpiX, 200);
    SetPixel(source, 0, 0, {1, 1, 1, 1});
    EXPECT_NE(GetPixel(destination, 0, 0).blue, 1);

    CxImage withAlpha = Patterned(2, 2, true);
    CopyImage(withAlpha, Patterned(2, 2, false));
    EXPECT_FALSE(withAlpha.HasAlpha()) << "a source without alpha plane leaves none";
}

TEST(CopyImage, EmptySourceGivesEmptyAndSaysWhy) {
    CxImage destination = Patterned(2, 2, true);
    CopyImage(destination, CreateImage());
    EXPECT_TRUE(destination.IsEmpty());
    EXPECT_FALSE(destination.HasAlpha());
    EXPECT_EQ(ImageLastError(), "CxImage::Create : width and height must be greater than zero");
}

TEST(AllocateImage, RefusesBadSizesAndKeepsTheImage) {
    CxImage image = Patterned(2, 2, false);
    const int32_t sizes[][2] = {{0, 5}, {5, 0}, {-1, 5}, {5, INT32_MIN}};
    for (const auto& size : sizes) {
        EXPECT_FALSE(AllocateImage(image, size[0], size[1]));
        EXPECT_EQ(ImageLastError(), "CxImage::Create : width and height must be greater than zero");
    }
    const int32_t huge[][2] = {
        {20000, 20000}, {65536, 65536}, {INT32_MAX, INT32_MAX}, {INT32_MAX, 1}};
    for (const auto& size : huge) {
        EXPECT_FALSE(AllocateImage(image, size[0], size[1]));
        EXPECT_EQ(ImageLastError(), "CXIMAGE_MAX_MEMORY exceeded");
    }
    EXPECT_EQ(image.width, 2);
    EXPECT_EQ(image.rows.size(), 2u * 8);
}

// ---- PNG output ------------------------------------------------------------

// Lists the PNG's chunks with their data in hex, the way a PNG reader of
// its own sees them, and what PIL makes of the picture.
const char* const kDescribePng = R"(
import struct, sys, zlib
from PIL import Image
data = open(sys.argv[1], 'rb').read()
assert data[:8] == b'\x89PNG\r\n\x1a\n'
pos = 8
while pos < len(data):
    length, kind = struct.unpack('>I4s', data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + length]
    crc, = struct.unpack('>I', data[pos + 8 + length:pos + 12 + length])
    assert crc == zlib.crc32(kind + body), kind
    print(kind.decode(), body.hex() if kind != b'IDAT' else '')
    pos += 12 + length
image = Image.open(sys.argv[1])
image.load()
print('PIL', image.mode, image.size[0], image.size[1])
x, y = int(sys.argv[2]), int(sys.argv[3])
print('PIXEL', *image.getpixel((x, y)))
)";

TEST(SavePngFile, RgbaCarriesExactlyTheChunksItShould) {
    ScratchDir dir;
    const CxImage image = MakeWhiteTransparent(Patterned(7, 5, false));
    ASSERT_TRUE(SavePngFile(image, dir.Path("a.png")));

    // Pixel (2, 1) from the top is ours at y = 5 - 1 - 1.
    const CommandResult described = RunPython(kDescribePng, {dir.Path("a.png"), "2", "1"});
    ASSERT_EQ(described.status, 0) << described.output;
    const CxPixel p = GetPixel(image, 2, 3);
    char pixelLine[64];
    std::snprintf(pixelLine, sizeof pixelLine, "PIXEL %d %d %d %d\n", p.red, p.green, p.blue,
                  p.alpha);
    // IHDR: 7 x 5, depth 8, colour type 6, compression, filter, interlace 0.
    const std::string expected =
        "IHDR 00000007000000050806000000\n"
        "bKGD 00ff00ff00ff\n"
        "pHYs 00000ec400000ec401\n";
    std::string chunks;
    for (size_t start = 0; start < described.output.size();) {
        const size_t end = described.output.find('\n', start);
        const std::string line = described.output.substr(start, end - start + 1);
        if (line.rfind("IDAT", 0) != 0) chunks += line;
        start = end + 1;
    }
    EXPECT_EQ(chunks, expected + "IEND \nPIL RGBA 7 5\n" + pixelLine);

    const CommandResult checked = RunPngcheck(dir.Path("a.png"));
    EXPECT_EQ(checked.status, 0) << checked.output;
    EXPECT_NE(checked.output.find("3780x3780 pixels/meter"), std::string::npos) << checked.output;
    EXPECT_NE(checked.output.find("red = 0x00ff, green = 0x00ff, blue = 0x00ff"), std::string::npos)
        << checked.output;
    EXPECT_NE(checked.output.find("default compression"), std::string::npos) << checked.output;
    for (const char* absent : {"gAMA", "sRGB", "tEXt", "tIME", "tRNS", "iCCP", "cHRM"}) {
        EXPECT_EQ(checked.output.find(absent), std::string::npos) << absent;
    }
}

TEST(SavePngFile, WithoutAlphaIsRgb) {
    ScratchDir dir;
    ASSERT_TRUE(SavePngFile(Patterned(3, 2, false), dir.Path("b.png")));
    const CommandResult described = RunPython(kDescribePng, {dir.Path("b.png"), "0", "0"});
    ASSERT_EQ(described.status, 0) << described.output;
    EXPECT_NE(described.output.find("IHDR 00000003000000020802000000\n"), std::string::npos)
        << described.output;
    EXPECT_NE(described.output.find("PIL RGB 3 2\n"), std::string::npos);
}

TEST(SavePngFile, RoundTripKeepsEveryValue) {
    ScratchDir dir;
    for (bool withAlpha : {true, false}) {
        const CxImage image = Patterned(13, 9, withAlpha);  // rows of 39 bytes, padded to 40
        ASSERT_TRUE(SavePngFile(image, dir.Path("c.png")));
        CxImage loaded = CreateImage();
        ASSERT_TRUE(LoadImageFile(loaded, dir.Path("c.png")));
        ExpectSamePixels(image, loaded);
        EXPECT_EQ(loaded.dpiX, 96);
        EXPECT_EQ(loaded.ppmY, 3780);
    }
}

TEST(SavePngFile, EmptyImageLeavesAnEmptyFile) {
    ScratchDir dir;
    EXPECT_FALSE(SavePngFile(CreateImage(), dir.Path("d.png")));
    EXPECT_EQ(ImageLastError(), "null image!!!");
    ASSERT_TRUE(FileExists(dir.Path("d.png")));
    EXPECT_TRUE(ReadFileBytes(dir.Path("d.png")).empty());
}

TEST(SavePngFile, UncreatableFileFailsQuietly) {
    ScratchDir dir;
    MarkLastError();
    EXPECT_FALSE(SavePngFile(Patterned(2, 2, true), dir.Path("missing/e.png")));
    EXPECT_EQ(ImageLastError(), "CxImage::Create : width and height must be greater than zero");
}

TEST(SavePngFile, FullDiskIsAFailure) {
    if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    EXPECT_FALSE(SavePngFile(Patterned(64, 64, true), "/dev/full"));
    EXPECT_EQ(ImageLastError(), "Error saving PNG file");
}

// ---- Loading ---------------------------------------------------------------

TEST(LoadImageFile, BmpRowsBottomUpWhateverItsSizeField) {
    ScratchDir dir;
    // 2 x 2: rows of 6 bytes padded to 8; the bottom row comes first.
    const std::vector<uint8_t> pixels = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};
    std::vector<uint8_t> file = MakeBmp24(2, 2, pixels, 11811, 0);
    PutLe(file, 2, 0xFFFFFFFF, 4);
    WriteFileBytes(dir.Path("a.bmp"), file);
    CxImage image = CreateImage();
    ASSERT_TRUE(LoadImageFile(image, dir.Path("a.bmp")));
    EXPECT_FALSE(image.HasAlpha());
    ExpectPixel(image, 0, 0, {1, 2, 3, 0});
    ExpectPixel(image, 1, 0, {4, 5, 6, 0});
    ExpectPixel(image, 0, 1, {7, 8, 9, 0});
    EXPECT_EQ(image.dpiX, 300);
    EXPECT_EQ(image.ppmX, 11811);
    EXPECT_EQ(image.dpiY, 96) << "0 pixels per metre reads as 96";
}

TEST(LoadImageFile, PngFromAnotherEncoder) {
    ScratchDir dir;
    const CommandResult made = RunPython(R"(
import sys
from PIL import Image
rgb = Image.new('RGB', (3, 2))
rgb.putdata([(10, 20, 30), (40, 50, 60), (70, 80, 90), (1, 2, 3), (4, 5, 6), (7, 8, 9)])
rgb.save(sys.argv[1], dpi=(300, 300))
rgba = Image.new('RGBA', (2, 1))
rgba.putdata([(255, 0, 0, 10), (0, 0, 255, 200)])
rgba.save(sys.argv[2])
)",
                                         {dir.Path("rgb.png"), dir.Path("rgba.png")});
    ASSERT_EQ(made.status, 0) << made.output;
    CxImage rgb = CreateImage();
    ASSERT_TRUE(LoadImageFile(rgb, dir.Path("rgb.png")));
    EXPECT_FALSE(rgb.HasAlpha());
    ExpectPixel(rgb, 0, 1, {30, 20, 10, 0});  // PIL's top row is our row 1
    ExpectPixel(rgb, 2, 0, {9, 8, 7, 0});
    EXPECT_EQ(rgb.dpiX, 300);
    CxImage rgba = CreateImage();
    ASSERT_TRUE(LoadImageFile(rgba, dir.Path("rgba.png")));
    ExpectPixel(rgba, 0, 0, {0, 0, 255, 10});
    ExpectPixel(rgba, 1, 0, {255, 0, 0, 200});
    EXPECT_EQ(rgba.dpiX, 96) << "no pHYs reads as 96";
}

struct HostileBmp {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* error;
};

std::vector<HostileBmp> HostileBmps() {
    const std::vector<uint8_t> good = MakeBmp24(4, 3, std::vector<uint8_t>(12 * 3, 0x55));
    auto with = [&](size_t at, uint32_t value, int count) {
        std::vector<uint8_t> bytes = good;
        PutLe(bytes, at, value, count);
        return bytes;
    };
    const char* const sizeError = "CxImage::Create : width and height must be greater than zero";
    std::vector<HostileBmp> cases = {
        {"header cut short", std::vector<uint8_t>(good.begin(), good.begin() + 40),
         "Decode: BMP header truncated"},
        {"pixels cut short", std::vector<uint8_t>(good.begin(), good.end() - 1),
         "Decode: BMP pixel data truncated"},
        {"offset past the end", with(10, 0xFFFFFFF0u, 4), "Decode: BMP pixel data truncated"},
        {"offset near the end", with(10, static_cast<uint32_t>(good.size() - 4), 4),
         "Decode: BMP pixel data truncated"},
        {"width 0", with(18, 0, 4), sizeError},
        {"height 0", with(22, 0, 4), sizeError},
        {"negative width", with(18, static_cast<uint32_t>(-4), 4), sizeError},
        {"negative height", with(22, 0x80000000u, 4), sizeError},
        {"huge", with(18, 100000, 4), "Decode: BMP pixel data truncated"},
        {"product beyond the limit", with(22, 0x7FFFFFFFu, 4), "CXIMAGE_MAX_MEMORY exceeded"},
        {"8 bits", with(28, 8, 2), "Decode: BMP bit count not supported"},
        {"32 bits", with(28, 32, 2), "Decode: BMP bit count not supported"},
        {"run-length compression", with(30, 1, 4), "unknown compression"},
        {"bit fields", with(30, 3, 4), "unknown compression"},
        {"core header", with(14, 12, 4), "Decode: BMP header not supported"},
    };
    cases.push_back({"both sizes huge", with(18, 0x10000, 4), ""});
    PutLe(cases.back().bytes, 22, 0x10000, 4);
    cases.back().error = "CXIMAGE_MAX_MEMORY exceeded";
    return cases;
}

TEST(LoadImageFile, HostileBmpsAreRefusedSafely) {
    ScratchDir dir;
    for (const HostileBmp& bmp : HostileBmps()) {
        WriteFileBytes(dir.Path("h.bmp"), bmp.bytes);
        CxImage image = Patterned(2, 2, true);
        const CxImage before = image;
        EXPECT_FALSE(LoadImageFile(image, dir.Path("h.bmp"))) << bmp.name;
        EXPECT_EQ(ImageLastError(), bmp.error) << bmp.name;
        ExpectSamePixels(before, image);
    }
}

TEST(LoadImageFile, UnknownContentAndMissingFiles) {
    ScratchDir dir;
    for (const std::string content : {"", "B", "GIF89a and more", "\x89PNG"}) {
        WriteFileBytes(dir.Path("u"), std::vector<uint8_t>(content.begin(), content.end()));
        CxImage image = CreateImage();
        EXPECT_FALSE(LoadImageFile(image, dir.Path("u")));
        EXPECT_EQ(ImageLastError(), "Decode: Unknown or wrong format") << content;
        EXPECT_TRUE(image.IsEmpty());
    }
    MarkLastError();
    CxImage image = CreateImage();
    EXPECT_FALSE(LoadImageFile(image, dir.Path("not-there.png")));
    EXPECT_EQ(ImageLastError(), "CxImage::Create : width and height must be greater than zero");
}

void PutBe(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// Rewrites the CRC of the chunk starting at `at` after its data changed.
void FixCrc(std::vector<uint8_t>& png, size_t at) {
    const uint32_t length =
        static_cast<uint32_t>(png[at] << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3]);
    const uLong crc = crc32(0, png.data() + at + 4, length + 4);
    PutBe(png, at + 8 + length, static_cast<uint32_t>(crc));
}

TEST(LoadImageFile, CorruptPngsFailThroughLibpng) {
    ScratchDir dir;
    ASSERT_TRUE(SavePngFile(Patterned(40, 30, true), dir.Path("good.png")));
    const std::vector<uint8_t> good = ReadFileBytes(dir.Path("good.png"));
    ASSERT_GT(good.size(), 100u);

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases;
    cases.push_back(
        {"cut in the data", std::vector<uint8_t>(good.begin(), good.begin() + good.size() / 2)});
    cases.push_back({"cut in the header", std::vector<uint8_t>(good.begin(), good.begin() + 20)});
    std::vector<uint8_t> badCrc = good;
    badCrc[good.size() - 20] ^= 0x5a;  // inside the image data
    cases.push_back({"damaged data", badCrc});
    std::vector<uint8_t> zeroWidth = good;
    PutBe(zeroWidth, 16, 0);
    FixCrc(zeroWidth, 8);
    cases.push_back({"width 0", zeroWidth});
    std::vector<uint8_t> depth = good;
    depth[24] = 7;
    FixCrc(depth, 8);
    cases.push_back({"bit depth 7", depth});

    for (const Case& c : cases) {
        WriteFileBytes(dir.Path("bad.png"), c.bytes);
        MarkLastError();
        CxImage image = CreateImage();
        EXPECT_FALSE(LoadImageFile(image, dir.Path("bad.png"))) << c.name;
        EXPECT_TRUE(image.IsEmpty()) << c.name;
        EXPECT_FALSE(ImageLastError().empty()) << c.name;
        EXPECT_NE(ImageLastError(), "CxImage::Create : width and height must be greater than zero")
            << c.name;
    }

    // A header that promises more than the memory limit is refused before any
    // pixel is decoded.
    std::vector<uint8_t> huge = good;
    PutBe(huge, 16, 30000);
    PutBe(huge, 20, 30000);
    FixCrc(huge, 8);
    WriteFileBytes(dir.Path("huge.png"), huge);
    CxImage image = CreateImage();
    EXPECT_FALSE(LoadImageFile(image, dir.Path("huge.png")));
    EXPECT_EQ(ImageLastError(), "CXIMAGE_MAX_MEMORY exceeded");

    // Below the limit, the promised rows are simply missing.
    PutBe(huge, 16, 9000);
    PutBe(huge, 20, 9000);
    FixCrc(huge, 8);
    WriteFileBytes(dir.Path("huge.png"), huge);
    EXPECT_FALSE(LoadImageFile(image, dir.Path("huge.png")));
    EXPECT_TRUE(image.IsEmpty());
}

}  // namespace
