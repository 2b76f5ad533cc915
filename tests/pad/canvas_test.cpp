// The Canvas: clearing, the ink of strokes drawn sample by sample, the pen
// width, and the 24-bit bottom-up bitmap that delivery reads.
#include "image/canvas.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <thread>

#include "pad/session.h"

namespace {

struct Rgb {
    int b, g, r;
};

// Raw pad values whose scaled position is the middle of Canvas pixel (x, y).
int32_t RawX(int x) {
    return static_cast<int32_t>(std::lround((x + 0.5) * 10206.0 / 600.0));
}
int32_t RawY(int y) {
    return static_cast<int32_t>(std::lround((y + 0.5) * 7422.0 / 400.0));
}

class CanvasTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetCanvasForTests();
        CreateCanvas();
        ClearCanvas();
        PenWidth = 5;
        HasStrokes = 0;
    }
    void TearDown() override { ResetCanvasForTests(); }

    void Draw(int x, int y, int pressure = 1024) {
        DrawPenPoint(PenSample{RawX(x), RawY(y), pressure, 0});
    }
    // Pen down at each point, in order, then up.
    void Stroke(const std::vector<std::pair<int, int>>& points, int pressure = 1024) {
        for (auto& p : points) Draw(p.first, p.second, pressure);
        DrawPenPoint(PenSample{RawX(0), RawY(0), 0, 0});
    }
    void Read() { ASSERT_TRUE(ReadCanvasBitmap(&bitmap_)); }
    // Pixel (x, y) of the picture, y counted from the top.
    Rgb At(int x, int y) const {
        const uint8_t* p =
            &bitmap_.pixels[static_cast<size_t>(kCanvasHeight - 1 - y) * kCanvasRowBytes + 3 * x];
        return {p[0], p[1], p[2]};
    }
    bool White(int x, int y) const {
        Rgb c = At(x, y);
        return c.b == 255 && c.g == 255 && c.r == 255;
    }
    bool Black(int x, int y) const {
        Rgb c = At(x, y);
        return c.b == 0 && c.g == 0 && c.r == 0;
    }
    int InkedPixels() const {
        int count = 0;
        for (int y = 0; y < kCanvasHeight; ++y)
            for (int x = 0; x < kCanvasWidth; ++x) count += !White(x, y);
        return count;
    }

    CanvasBitmap bitmap_;
};

TEST_F(CanvasTest, BitmapIsTwentyFourBitBottomUpAndClearsWhite) {
    Stroke({{0, 0}, {300, 100}, {500, 300}, {599, 354}, {10, 350}});
    ClearCanvas();
    Read();
    EXPECT_EQ(bitmap_.width, 600);
    EXPECT_EQ(bitmap_.height, 355);
    EXPECT_EQ(bitmap_.rowBytes, 1800);
    EXPECT_EQ(bitmap_.planes, 1);
    EXPECT_EQ(bitmap_.bitsPerPixel, 24);
    ASSERT_EQ(bitmap_.pixels.size(), 1800u * 355u);
    for (uint8_t byte : bitmap_.pixels) ASSERT_EQ(byte, 255);
}

TEST_F(CanvasTest, NoCanvasMeansNothingToRead) {
    ResetCanvasForTests();
    EXPECT_FALSE(ReadCanvasBitmap(&bitmap_));
    // Drawing without a Canvas still keeps the stroke and the flags.
    for (int i = 0; i < 4; ++i) Draw(100 + 10 * i, 100);
    EXPECT_EQ(StrokePointCount(), 4u);
    EXPECT_EQ(HasStrokes.load(), 1);
}

TEST_F(CanvasTest, ScalesRawPadValuesToPixelCentres) {
    PenWidth = 1;  // one pixel wide at full pressure 1024
    // Vertical line at raw x 5103: column 300. Horizontal at raw y 3711: row 200.
    for (int y : {20, 60, 100, 140, 180}) DrawPenPoint(PenSample{5103, RawY(y), 1024, 0});
    DrawPenPoint(PenSample{5103, RawY(0), 0, 0});
    for (int x : {350, 400, 450, 500, 550}) DrawPenPoint(PenSample{RawX(x), 3711, 1024, 0});
    DrawPenPoint(PenSample{5103, RawY(0), 0, 0});
    // Raw x 17 is column 0; raw y 6570 is row 354, the picture's bottom row.
    for (int y : {250, 270, 290, 310}) DrawPenPoint(PenSample{17, RawY(y), 1024, 0});
    DrawPenPoint(PenSample{5103, RawY(0), 0, 0});
    for (int x : {20, 60, 100, 140}) DrawPenPoint(PenSample{RawX(x), 6570, 1024, 0});
    Read();
    EXPECT_TRUE(Black(300, 100));
    EXPECT_TRUE(White(299, 100));
    EXPECT_TRUE(White(301, 100));
    EXPECT_TRUE(Black(450, 200));
    EXPECT_TRUE(White(450, 199));
    EXPECT_TRUE(White(450, 201));
    EXPECT_TRUE(Black(0, 280));
    EXPECT_TRUE(White(1, 280));
    EXPECT_TRUE(Black(80, 354));
    EXPECT_TRUE(White(80, 353));
    // Bottom-up: the picture's bottom row is the first row in memory.
    EXPECT_EQ(bitmap_.pixels[3 * 80], 0);
}

TEST_F(CanvasTest, StrokeLeavesBlackInkWithGreyAntialiasedEdges) {
    std::vector<std::pair<int, int>> points;
    for (int i = 0; i <= 10; ++i) points.push_back({100 + 20 * i, 100 + 10 * i});
    Stroke(points);
    Read();
    // Along the stroke (its ends have flat caps, so look inside).
    for (int i = 1; i < 10; ++i) EXPECT_TRUE(Black(100 + 20 * i, 100 + 10 * i)) << i;
    // A slanted 5-pixel line has partly covered pixels on both sides.
    int grey = 0;
    for (int x = 110; x < 290; ++x) {
        for (int y = 80; y < 220; ++y) {
            Rgb c = At(x, y);
            EXPECT_TRUE(c.b == c.g && c.g == c.r) << x << "," << y;  // black on white only
            if (c.g > 0 && c.g < 255) ++grey;
        }
    }
    EXPECT_GT(grey, 100);
    // Far from it, nothing.
    EXPECT_TRUE(White(100, 200));
    EXPECT_TRUE(White(300, 100));
    EXPECT_EQ(HasStrokes.load(), 1);
}

TEST_F(CanvasTest, ThreeSamplesLeaveNoInkAndTheFourthDraws) {
    ClearLatch = 1;
    ConfirmLatch = 1;
    CancelLatch = 1;
    Draw(100, 100);
    Draw(150, 120);
    Draw(200, 140);
    Read();
    EXPECT_EQ(InkedPixels(), 0);
    EXPECT_EQ(HasStrokes.load(), 0);
    EXPECT_EQ(ClearLatch.load(), 1);
    EXPECT_EQ(ConfirmLatch.load(), 1);
    EXPECT_EQ(CancelLatch.load(), 1);
    EXPECT_EQ(GdiplusStarted.load(), 0);

    Draw(250, 160);
    Read();
    EXPECT_GT(InkedPixels(), 0);
    EXPECT_TRUE(Black(175, 130));
    EXPECT_EQ(HasStrokes.load(), 1);
    EXPECT_EQ(ClearLatch.load(), 0);
    EXPECT_EQ(ConfirmLatch.load(), 0);
    EXPECT_EQ(CancelLatch.load(), 0);
    EXPECT_EQ(GdiplusStarted.load(), 1);
}

TEST_F(CanvasTest, PenUpStartsANewStrokeWithNoJoiningLine) {
    Stroke({{100, 50}, {150, 50}, {200, 50}, {250, 50}});
    EXPECT_EQ(StrokePointCount(), 0u);
    // A second stroke far below; a joining line would cross the middle.
    Draw(100, 300);
    Draw(150, 300);
    Draw(200, 300);
    EXPECT_EQ(StrokePointCount(), 3u);
    Read();
    for (int y = 60; y < kCanvasHeight; ++y)
        for (int x = 0; x < kCanvasWidth; ++x) ASSERT_TRUE(White(x, y)) << x << "," << y;
    Draw(250, 300);
    Read();
    EXPECT_TRUE(Black(175, 300));
    for (int y = 60; y < 290; ++y)
        for (int x = 0; x < kCanvasWidth; ++x) ASSERT_TRUE(White(x, y)) << x << "," << y;
}

TEST_F(CanvasTest, EmptiedStrokeNeedsFourNewPoints) {
    Draw(100, 100);
    Draw(150, 100);
    Draw(200, 100);
    EmptyStrokePoints();
    Draw(250, 100);
    Read();
    EXPECT_EQ(InkedPixels(), 0);
}

TEST_F(CanvasTest, PenWidthStepsInWholePixels) {
    EXPECT_EQ(StrokeWidthFor(5, 300), 1.0);
    EXPECT_EQ(StrokeWidthFor(5, 512), 2.0);
    EXPECT_EQ(StrokeWidthFor(3, 342), 1.0);
    EXPECT_EQ(StrokeWidthFor(10, 65535), 639.0);
    // Widths of 0 and below still draw about one pixel wide; absurd ones are
    // limited and do not overflow.
    EXPECT_EQ(StrokeWidthFor(5, 204), 1.0);
    EXPECT_EQ(StrokeWidthFor(0, 1024), 1.0);
    EXPECT_EQ(StrokeWidthFor(-5, 1024), 1.0);
    EXPECT_EQ(StrokeWidthFor(INT32_MIN, 65535), 1.0);
    EXPECT_EQ(StrokeWidthFor(INT32_MAX, 65535), 1024.0);
}

TEST_F(CanvasTest, ZeroWidthPenStillDrawsAThinLine) {
    PenWidth = 3;
    Stroke({{100, 100}, {200, 100}, {300, 100}, {400, 100}}, 341);  // 1023 / 1024 = 0
    Read();
    int dark = 0, inked = 0;
    for (int y = 90; y < 110; ++y) {
        Rgb c = At(250, y);
        if (c.g < 255) ++inked;
        if (c.g < 128) ++dark;
    }
    EXPECT_GE(dark, 1);
    EXPECT_LE(inked, 2);
}

TEST_F(CanvasTest, WideAndNegativePensStayOnTheCanvas) {
    PenWidth = INT32_MAX;
    Stroke({{100, 100}, {200, 100}, {300, 100}, {400, 100}}, 65535);
    Read();
    EXPECT_TRUE(Black(250, 0));
    EXPECT_TRUE(Black(250, 354));
    ClearCanvas();
    PenWidth = -7;
    Stroke({{100, 100}, {200, 100}, {300, 100}, {400, 100}}, 65535);
    Read();
    EXPECT_TRUE(Black(250, 100));
    EXPECT_TRUE(White(250, 103));
    // Points far outside the Canvas are clipped.
    PenWidth = 5;
    for (int32_t v : {0, 65535, 1 << 20, -(1 << 20), INT32_MAX, INT32_MIN})
        DrawPenPoint(PenSample{v, v, 1024, 0});
    Read();
    EXPECT_TRUE(Black(250, 100));
}

TEST_F(CanvasTest, LongStrokeKeepsDrawingAndCountsEveryPoint) {
    PenWidth = 1;
    for (int i = 0; i < 10000; ++i) Draw(100 + (i % 400), 100 + (i / 400) * 2);
    EXPECT_EQ(StrokePointCount(), 10000u);
    Read();
    // The last curves lie on the last row drawn (row 148).
    EXPECT_TRUE(Black(300, 148));
}

TEST_F(CanvasTest, ReadingWhileDrawingIsSafe) {
    std::thread reader([] {
        CanvasBitmap copy;
        for (int i = 0; i < 50; ++i) {
            ASSERT_TRUE(ReadCanvasBitmap(&copy));
            ClearCanvas();
        }
    });
    for (int i = 0; i < 2000; ++i) Draw(100 + (i % 300), 100 + (i % 7) * 20);
    reader.join();
    Read();
    EXPECT_EQ(bitmap_.pixels.size(), 1800u * 355u);
}

}  // namespace
