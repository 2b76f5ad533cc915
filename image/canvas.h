// The 600 x 355 Canvas the signature is drawn on, and the drawing operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr int kCanvasWidth = 600;
constexpr int kCanvasHeight = 355;
constexpr int kCanvasRowBytes = kCanvasWidth * 3;

// Raw pad values of one pen sample (the fourth word is always 0).
struct PenSample {
    int32_t x, y, pressure, reserved;
};

// A copy of the Canvas bitmap as delivery reads it: 24 bits per pixel, bytes
// blue, green, red, rows of rowBytes, bottom row first.
struct CanvasBitmap {
    int32_t width = 0, height = 0, rowBytes = 0;
    uint16_t planes = 0, bitsPerPixel = 0;
    std::vector<uint8_t> pixels;
};

// Makes the Canvas once; later calls keep the one that exists.
void CreateCanvas();
void ClearCanvas();
void DrawPenPoint(const PenSample& sample);
// Empties the current stroke (pen lifted, or in the button strip).
void EmptyStrokePoints();
// Copies the Canvas bitmap; false when the Canvas does not exist.
bool ReadCanvasBitmap(CanvasBitmap* out);

// Points in the current stroke (each pen sample drawn since the stroke began).
size_t StrokePointCount();
// The pen width in pixels that DrawPenPoint strokes with for a pen width
// factor and a pressure: (factor x pressure) / 1024, limited to what the
// Canvas can show; 0 and below come out as a hairline about a pixel wide.
double StrokeWidthFor(int32_t penWidth, int32_t pressure);
// Back to the start-up state (tests): no Canvas, no stroke.
void ResetCanvasForTests();
