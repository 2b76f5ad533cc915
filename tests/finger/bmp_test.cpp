// The reader's 8-bit BMP read into memory and written back as the red-ink BMP,
// with files the reader would never write.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "finger/TavoSign.h"
#include "tests/finger/finger_test_util.h"

namespace {

// An 8-bit BMP as the reader writes it, with every field open to change.
struct Bmp8Spec {
    int32_t width = 256;
    int32_t height = 288;
    uint16_t bitCount = 8;
    uint32_t headerSize = 40;
    uint32_t compression = 0;
};

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

// `rows` holds |height| rows of width bytes in file order.
std::vector<uint8_t> MakeBmp8(const Bmp8Spec& spec, const std::vector<uint8_t>& rows) {
    const uint32_t width = uint32_t(spec.width);
    const uint32_t height = spec.height < 0 ? 0u - uint32_t(spec.height) : uint32_t(spec.height);
    const uint32_t padding = (4 - width % 4) % 4;
    std::vector<uint8_t> file(1078, 0);
    file[0] = 'B';
    file[1] = 'M';
    Put32(file, 10, 1078);
    Put32(file, 14, spec.headerSize);
    Put32(file, 18, uint32_t(spec.width));
    Put32(file, 22, uint32_t(spec.height));
    file[26] = 1;
    file[28] = uint8_t(spec.bitCount);
    file[29] = uint8_t(spec.bitCount >> 8);
    Put32(file, 30, spec.compression);
    for (int i = 0; i < 256; ++i)
        file[54 + 4 * i] = file[55 + 4 * i] = file[56 + 4 * i] = uint8_t(i);
    const size_t given = width == 0 ? 0 : rows.size() / width;
    for (uint32_t r = 0; r < height && r < given; ++r) {
        file.insert(file.end(), rows.begin() + r * width, rows.begin() + (r + 1) * width);
        file.insert(file.end(), padding, 0xEE);  // not zero: padding must be skipped, not read
    }
    return file;
}

std::vector<uint8_t> Pattern(uint32_t width, uint32_t height) {
    std::vector<uint8_t> pixels(size_t(width) * height);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t((i * 7 + i / width * 3) % 256);
    return pixels;
}

std::vector<uint8_t> Reversed(const std::vector<uint8_t>& topFirst, uint32_t width,
                              uint32_t height) {
    std::vector<uint8_t> out;
    for (uint32_t r = height; r-- > 0;)
        out.insert(out.end(), topFirst.begin() + r * width, topFirst.begin() + (r + 1) * width);
    return out;
}

class BmpFiles : public ::testing::Test {
  protected:
    ReaderDir dir_{""};
};

TEST_F(BmpFiles, RedInkBmpOfReaderImageHasTheExpectedLayout) {
    const auto pixels = Pattern(256, 288);
    ASSERT_EQ(WriteRedBmp(pixels.data(), 8, 256, 288, "red.bmp"), 1);
    const auto file = ReadBytes("red.bmp");
    ASSERT_EQ(file.size(), 74806u);
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_EQ(Le32At(file, 2), 73782u);
    EXPECT_EQ(Le32At(file, 6), 0u);
    EXPECT_EQ(Le32At(file, 10), 54u);
    EXPECT_EQ(Le32At(file, 14), 40u);
    EXPECT_EQ(Le32At(file, 18), 256u);
    EXPECT_EQ(Le32At(file, 22), 288u);
    EXPECT_EQ(file[26] | file[27] << 8, 1);
    EXPECT_EQ(file[28] | file[29] << 8, 8);
    for (size_t at = 30; at < 54; ++at) EXPECT_EQ(file[at], 0) << "header byte " << at;
    // Palette entries: blue, green, red, 0.
    struct Entry {
        int index, red, green, blue;
    };
    for (Entry e :
         {Entry{0, 240, 0, 0}, Entry{14, 254, 14, 14}, Entry{15, 240, 15, 15},
          Entry{149, 254, 149, 149}, Entry{150, 255, 255, 255}, Entry{255, 255, 255, 255}}) {
        const size_t at = 54 + 4 * size_t(e.index);
        EXPECT_EQ(file[at], e.blue) << "entry " << e.index;
        EXPECT_EQ(file[at + 1], e.green) << "entry " << e.index;
        EXPECT_EQ(file[at + 2], e.red) << "entry " << e.index;
        EXPECT_EQ(file[at + 3], 0) << "entry " << e.index;
    }
    // Bottom row first.
    EXPECT_TRUE(std::memcmp(&file[1078], &pixels[287 * 256], 256) == 0);
    EXPECT_TRUE(std::memcmp(&file[1078 + 287 * 256], &pixels[0], 256) == 0);
}

TEST_F(BmpFiles, RowsOfOddWidthArePaddedWithZeros) {
    const auto pixels = Pattern(255, 3);
    ASSERT_EQ(WriteRedBmp(pixels.data(), 8, 255, 3, "odd.bmp"), 1);
    const auto file = ReadBytes("odd.bmp");
    ASSERT_EQ(file.size(), 1078u + 256u * 3u);
    EXPECT_EQ(Le32At(file, 2), 54u + 256u * 3u);
    for (int r = 0; r < 3; ++r) {
        EXPECT_TRUE(std::memcmp(&file[1078 + r * 256], &pixels[(2 - r) * 255], 255) == 0)
            << "row " << r;
        EXPECT_EQ(file[1078 + r * 256 + 255], 0) << "padding of row " << r;
    }
}

TEST_F(BmpFiles, ReadBmp8GivesTopRowFirstAndRoundTrips) {
    for (int32_t width : {256, 255, 1, 6}) {
        const uint32_t height = 5;
        const auto pixels = Pattern(uint32_t(width), height);
        Bmp8Spec spec;
        spec.width = width;
        spec.height = int32_t(height);
        WriteBytes("in.bmp", MakeBmp8(spec, Reversed(pixels, uint32_t(width), height)));
        auto image = ReadBmp8("in.bmp");
        ASSERT_TRUE(image.has_value()) << "width " << width;
        EXPECT_EQ(image->width, uint32_t(width));
        EXPECT_EQ(image->height, height);
        EXPECT_EQ(image->bitCount, 8);
        EXPECT_EQ(image->pixels, pixels) << "width " << width;

        // Written red and read again: the same pixels.
        ASSERT_EQ(WriteRedBmp(image->pixels.data(), image->bitCount, image->width, image->height,
                              "in.bmp"),
                  1);
        auto again = ReadBmp8("in.bmp");
        ASSERT_TRUE(again.has_value());
        EXPECT_EQ(again->pixels, pixels);
    }
}

TEST_F(BmpFiles, NegativeHeightIsReadTopRowFirst) {
    const auto pixels = Pattern(8, 4);
    Bmp8Spec spec;
    spec.width = 8;
    spec.height = -4;
    WriteBytes("down.bmp", MakeBmp8(spec, pixels));
    auto image = ReadBmp8("down.bmp");
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->height, 4u);
    EXPECT_EQ(image->pixels, pixels);
}

TEST_F(BmpFiles, FilesOfAnotherKindAreRefused) {
    const auto pixels = Pattern(16, 4);
    auto refused = [&](Bmp8Spec spec, const char* what) {
        WriteBytes("x.bmp", MakeBmp8(spec, Reversed(pixels, 16, 4)));
        EXPECT_FALSE(ReadBmp8("x.bmp").has_value()) << what;
    };
    Bmp8Spec base;
    base.width = 16;
    base.height = 4;
    Bmp8Spec s = base;
    s.bitCount = 24;
    refused(s, "24-bit");
    s = base;
    s.bitCount = 0x0108;  // low byte 8, but not an 8-bit file
    refused(s, "bit count 264");
    s = base;
    s.compression = 1;
    refused(s, "RLE8");
    s = base;
    s.headerSize = 124;
    refused(s, "larger header: the palette is elsewhere");
    s = base;
    s.width = 0;
    refused(s, "width 0");
    s = base;
    s.width = -16;
    refused(s, "negative width");
    s = base;
    s.height = 0;
    refused(s, "height 0");
    s = base;
    s.height = INT32_MIN;
    refused(s, "height INT32_MIN");

    auto file = MakeBmp8(base, Reversed(pixels, 16, 4));
    file[0] = 'P';
    WriteBytes("x.bmp", file);
    EXPECT_FALSE(ReadBmp8("x.bmp").has_value()) << "not BM";
}

TEST_F(BmpFiles, SizesThatDoNotFitTheFileAreRefused) {
    Bmp8Spec huge;
    // 65536 x 65536 overflows 32 bits; 0x7FFFFFFF x 2 fits 64 but no file.
    for (auto [w, h] : {std::pair{65536, 65536}, std::pair{0x7FFFFFFF, 2},
                        std::pair{256, 0x7FFFFFFF}, std::pair{256, -0x7FFFFFFF}}) {
        huge.width = w;
        huge.height = h;
        WriteBytes("huge.bmp", MakeBmp8(huge, {}));
        EXPECT_FALSE(ReadBmp8("huge.bmp").has_value()) << w << " x " << h;
    }
    // A reader image cut short anywhere: in the headers, the palette or the rows.
    const auto pixels = Pattern(256, 288);
    const auto whole = MakeBmp8(Bmp8Spec{}, Reversed(pixels, 256, 288));
    for (size_t length : {size_t(0), size_t(10), size_t(53), size_t(54), size_t(1000), size_t(1078),
                          whole.size() - 1}) {
        WriteBytes("short.bmp", std::vector<uint8_t>(whole.begin(), whole.begin() + long(length)));
        EXPECT_FALSE(ReadBmp8("short.bmp").has_value()) << "length " << length;
    }
    WriteBytes("whole.bmp", whole);
    EXPECT_TRUE(ReadBmp8("whole.bmp").has_value());
}

TEST_F(BmpFiles, FailedOpensLeaveTheirTraceLine) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ReadBmp8("missing.bmp").has_value());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "fopen failed : TavoSign, 983\n");

    const uint8_t pixel = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(WriteRedBmp(&pixel, 8, 1, 1, "no-such-folder/red.bmp"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "fopen failed : TavoSign, 1042\n");
}

TEST_F(BmpFiles, WriteRedBmpRefusesSizesABmpCannotHold) {
    const uint8_t pixel = 0;
    EXPECT_EQ(WriteRedBmp(&pixel, 8, 0x10000, 0x10000, "big.bmp"), 0);
    EXPECT_EQ(WriteRedBmp(nullptr, 8, 4, 4, "null.bmp"), 0);
    EXPECT_FALSE(Exists("big.bmp"));
    EXPECT_FALSE(Exists("null.bmp"));
}

}  // namespace
