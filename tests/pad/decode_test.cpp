// Decoding of the pad's input reports: the scaling to the Canvas, which
// samples are drawn, where a stroke breaks, and the trace line.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "image/canvas.h"
#include "pad/device.h"
#include "pad/session.h"

namespace {

struct Report {
    uint8_t bytes[kPadInputSize] = {};
};

Report Pen(uint16_t x, uint16_t y, uint16_t pressure) {
    Report r;
    r.bytes[0] = 2;
    r.bytes[2] = x & 0xFF;
    r.bytes[3] = x >> 8;
    r.bytes[4] = y & 0xFF;
    r.bytes[5] = y >> 8;
    r.bytes[6] = pressure & 0xFF;
    r.bytes[7] = pressure >> 8;
    return r;
}

Report Button(const char* code) {
    Report r;
    r.bytes[0] = 2;
    r.bytes[1] = 0x80;
    memcpy(r.bytes + 2, code, strlen(code));
    return r;
}

class DecodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetCanvasForTests();
        CreateCanvas();
        ClearCanvas();
        PenWidth = 3;
    }
    void TearDown() override { ResetCanvasForTests(); }

    // True when decoding `r` adds a point to the stroke.
    bool Drawn(const Report& r) {
        size_t before = StrokePointCount();
        DecodePenReport(r.bytes);
        return StrokePointCount() == before + 1;
    }
    // Decodes `r` and returns what it wrote to standard output.
    std::string Trace(const Report& r) {
        testing::internal::CaptureStdout();
        DecodePenReport(r.bytes);
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(DecodeTest, ScalingThresholds) {
    EXPECT_EQ(ScalePadX(10206), 600);
    EXPECT_EQ(ScalePadX(10205), 599);
    EXPECT_EQ(ScalePadX(17), 0);
    EXPECT_EQ(ScalePadX(18), 1);
    EXPECT_EQ(ScalePadX(5103), 300);
    EXPECT_EQ(ScalePadX(65535), 3852);
    EXPECT_EQ(ScalePadY(18), 0);
    EXPECT_EQ(ScalePadY(19), 1);
    EXPECT_EQ(ScalePadY(6587), 354);
    EXPECT_EQ(ScalePadY(6588), 355);
    EXPECT_EQ(ScalePadY(7143), 384);
    EXPECT_EQ(ScalePadY(7144), 385);
    EXPECT_EQ(ScalePadY(3711), 200);
}

TEST_F(DecodeTest, OnlySamplesInsideTheCanvasAreDrawn) {
    EXPECT_FALSE(Drawn(Pen(10206, 3000, 500)));
    EXPECT_TRUE(Drawn(Pen(10205, 3000, 500)));
    for (uint16_t x = 1; x <= 17; ++x) EXPECT_TRUE(Drawn(Pen(x, 3000, 500))) << x;
    EXPECT_FALSE(Drawn(Pen(0, 3000, 500)));
    EXPECT_FALSE(Drawn(Pen(3000, 0, 500)));
    EXPECT_FALSE(Drawn(Pen(3000, 18, 500)));
    EXPECT_TRUE(Drawn(Pen(3000, 19, 500)));
    EXPECT_TRUE(Drawn(Pen(3000, 6587, 500)));
    EXPECT_FALSE(Drawn(Pen(65535, 3000, 500)));
}

TEST_F(DecodeTest, GapBelowTheCanvasKeepsTheStrokeAndTheButtonStripBreaksIt) {
    for (int i = 0; i < 3; ++i) DecodePenReport(Pen(1000 + 100 * i, 3000, 500).bytes);
    ASSERT_EQ(StrokePointCount(), 3u);
    EXPECT_FALSE(Drawn(Pen(3000, 6588, 500)));
    EXPECT_FALSE(Drawn(Pen(3000, 7143, 500)));
    EXPECT_EQ(StrokePointCount(), 3u);
    DecodePenReport(Pen(3000, 7144, 500).bytes);
    EXPECT_EQ(StrokePointCount(), 0u);
    DecodePenReport(Pen(3000, 65535, 0).bytes);
    EXPECT_EQ(StrokePointCount(), 0u);
}

TEST_F(DecodeTest, PressureZeroLiftsThePen) {
    for (int i = 0; i < 5; ++i) DecodePenReport(Pen(1000 + 100 * i, 3000, 500).bytes);
    EXPECT_EQ(StrokePointCount(), 5u);
    DecodePenReport(Pen(2000, 3000, 0).bytes);
    EXPECT_EQ(StrokePointCount(), 0u);
    EXPECT_TRUE(Drawn(Pen(2000, 3000, 65535)));
}

TEST_F(DecodeTest, TraceLineHoldsScaledPositionAndPressure) {
    EXPECT_EQ(Trace(Pen(5103, 3711, 1024)), "  300   200  1024\n");
    EXPECT_EQ(Trace(Pen(65535, 65535, 65535)), " 3852  3531 65535\n");
    Report other = Pen(5103, 3711, 1024);
    other.bytes[0] = 1;
    EXPECT_EQ(Trace(other), "");
}

TEST_F(DecodeTest, ButtonReportsAreTracedButNeverDrawn) {
    for (int i = 0; i < 3; ++i) DecodePenReport(Pen(1000 + 100 * i, 3000, 500).bytes);
    // "CL" as x is 19523, beyond the width; "OK" likewise.
    std::string clear = Trace(Button("CL"));
    EXPECT_EQ(clear.substr(0, 6), " 1147 ");
    EXPECT_EQ(StrokePointCount(), 3u);
    EXPECT_FALSE(Drawn(Button("OK")));
    // In the Cancel report y is "CL": in the button strip, so the stroke breaks.
    DecodePenReport(Button("CNCL").bytes);
    EXPECT_EQ(StrokePointCount(), 0u);
}

TEST_F(DecodeTest, ReportsOtherThanIdTwoAreIgnored) {
    for (int id : {0, 1, 3, 6, 0x80, 0xFF}) {
        Report r = Pen(3000, 3000, 500);
        r.bytes[0] = static_cast<uint8_t>(id);
        EXPECT_FALSE(Drawn(r)) << id;
    }
}

TEST_F(DecodeTest, ArbitraryReportsOfEveryLengthAreHandled) {
    std::mt19937 random(7);
    testing::internal::CaptureStdout();
    for (int length = 0; length <= kPadInputSize; ++length) {
        for (int round = 0; round < 20; ++round) {
            Report r;
            for (int i = 0; i < length; ++i) r.bytes[i] = static_cast<uint8_t>(random());
            if (round % 2) r.bytes[0] = 2;
            DecodePenReport(r.bytes);
        }
    }
    testing::internal::GetCapturedStdout();
    CanvasBitmap bitmap;
    EXPECT_TRUE(ReadCanvasBitmap(&bitmap));
}

}  // namespace
