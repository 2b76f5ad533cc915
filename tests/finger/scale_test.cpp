// Shrinking the red-ink BMP to the fingerprint picture, judged by python3-pil.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "finger/TavoSign.h"
#include "finger/capture.h"
#include "tests/finger/finger_test_util.h"

namespace {

class Scale : public ::testing::Test {
  protected:
    // The red-ink BMP of a reader image whose level comes from `level`.
    template <typename Level>
    void WriteRed(const std::string& path, uint32_t width, uint32_t height, Level level) {
        std::vector<uint8_t> pixels(size_t(width) * height);
        for (uint32_t r = 0; r < height; ++r)
            for (uint32_t c = 0; c < width; ++c) pixels[r * width + c] = level(int(r), int(c));
        ASSERT_EQ(WriteRedBmp(pixels.data(), 8, width, height, path.c_str()), 1);
    }

    ReaderDir dir_{""};
};

TEST_F(Scale, ReaderImageBecomesHalfSizeRgbPng) {
    WriteRed("finger.png", 256, 288, [](int r, int c) { return uint8_t((r + c) % 256); });
    ASSERT_TRUE(ScaleImageFile("finger.png", "finger.png", 2.0));
    auto probe = ProbePicture("finger.png");
    EXPECT_EQ(probe["format"], "PNG");
    EXPECT_EQ(probe["mode"], "RGB");
    EXPECT_EQ(probe["width"], "128");
    EXPECT_EQ(probe["height"], "144");
}

TEST_F(Scale, OddWidthIsTruncated) {
    WriteRed("in.bmp", 255, 288, [](int, int) { return uint8_t(200); });
    ASSERT_TRUE(ScaleImageFile("in.bmp", "out.png", 2.0));
    auto probe = ProbePicture("out.png");
    EXPECT_EQ(probe["width"], "127");
    EXPECT_EQ(probe["height"], "144");
}

TEST_F(Scale, ReaderRowsZeroToThreeAreLeftOut) {
    // Ink in the reader's top four rows only: as the codec reads the red-ink
    // BMP, those rows fall beyond its pixel data, and the four rows it reads
    // from the palette are cut off, so the picture is all white.
    WriteRed("top.bmp", 256, 288, [](int r, int) { return uint8_t(r < 4 ? 0 : 200); });
    ASSERT_TRUE(ScaleImageFile("top.bmp", "top.png", 2.0));
    auto probe = ProbePicture("top.png");
    EXPECT_EQ(probe["red"], "0");
    EXPECT_EQ(probe["notredwhite"], "0");
}

TEST_F(Scale, ReaderRowsFourToSevenMakeTheTopRows) {
    // Ink in rows 4 to 7 and in the bottom row: rows 4 to 7 become the top
    // two picture rows in full red ink (level 0: red 240, green and blue 0);
    // the bottom row is drawn too.
    WriteRed("band.bmp", 256, 288,
             [](int r, int) { return uint8_t((r >= 4 && r <= 7) || r == 287 ? 0 : 255); });
    ASSERT_TRUE(ScaleImageFile("band.bmp", "band.png", 2.0));
    auto probe = ProbePicture("band.png", {{0, 0}, {127, 0}, {64, 72}, {64, 143}});
    EXPECT_EQ(probe["px 0 0"], "240 0 0 255");
    EXPECT_EQ(probe["px 127 0"], "240 0 0 255");
    EXPECT_EQ(probe["px 64 72"], "255 255 255 255");
    EXPECT_NE(probe["px 64 143"], "255 255 255 255");
    // Averaging keeps the ink's hue: every pixel is red ink or white.
    EXPECT_EQ(probe["notredwhite"], "0");
}

TEST_F(Scale, AveragesOverAreas) {
    // Columns alternate red (level 0) and white: each picture pixel averages
    // one of each.
    WriteRed("stripes.bmp", 256, 288, [](int, int c) { return uint8_t(c % 2 ? 255 : 0); });
    ASSERT_TRUE(ScaleImageFile("stripes.bmp", "stripes.png", 2.0));
    auto probe = ProbePicture("stripes.png", {{10, 10}, {100, 100}});
    for (const char* key : {"px 10 10", "px 100 100"}) {
        int r = 0, g = 0, b = 0, a = 0;
        ASSERT_EQ(std::sscanf(probe[key].c_str(), "%d %d %d %d", &r, &g, &b, &a), 4) << probe[key];
        EXPECT_NEAR(r, (240 + 255) / 2, 1);
        EXPECT_NEAR(g, 255 / 2, 1);
        EXPECT_EQ(g, b);
    }
}

TEST_F(Scale, PngSourceIsDecodedByContent) {
    WriteRed("first.bmp", 256, 288, [](int r, int) { return uint8_t(r < 150 ? 10 : 255); });
    ASSERT_TRUE(ScaleImageFile("first.bmp", "first.png", 2.0));
    // The PNG, under a name that says BMP, shrinks again.
    std::rename("first.png", "second.bmp");
    ASSERT_TRUE(ScaleImageFile("second.bmp", "second.png", 2.0));
    auto probe = ProbePicture("second.png");
    EXPECT_EQ(probe["width"], "64");
    EXPECT_EQ(probe["height"], "72");
}

TEST_F(Scale, WhatCannotBeScaledGivesFalse) {
    EXPECT_FALSE(ScaleImageFile("missing.bmp", "out.png", 2.0));
    WriteBytes("garbage.bmp", std::vector<uint8_t>(5000, 0x42));
    EXPECT_FALSE(ScaleImageFile("garbage.bmp", "out.png", 2.0));
    WriteRed("small.bmp", 256, 288, [](int, int) { return uint8_t(0); });
    EXPECT_FALSE(ScaleImageFile("small.bmp", "out.png", 0.0));
    EXPECT_FALSE(ScaleImageFile("small.bmp", "out.png", -2.0));
    EXPECT_FALSE(ScaleImageFile("small.bmp", "out.png", 1000.0));  // 0 x 0
    WriteRed("flat.bmp", 256, 4, [](int, int) { return uint8_t(0); });
    EXPECT_FALSE(ScaleImageFile("flat.bmp", "out.png", 1.0));  // nothing left above the cut
    // A BMP whose rows run past the end of the file.
    auto bytes = ReadBytes("small.bmp");
    bytes.resize(bytes.size() - 2000);
    WriteBytes("cut.bmp", bytes);
    EXPECT_FALSE(ScaleImageFile("cut.bmp", "out.png", 2.0));
    EXPECT_FALSE(Exists("out.png"));
}

}  // namespace
