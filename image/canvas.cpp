// The Canvas: one 600 x 355 off-screen picture that the pen strokes are drawn
// on, sample by sample, as anti-aliased cubic Bezier curves. Drawing goes
// through cairo on a 32-bit surface; ReadCanvasBitmap hands out the 24-bit
// bottom-up copy that the delivery code writes out. One mutex guards the
// surface and the stroke, since a session's clear and the OK delivery can run
// on other threads than the pen input.
#include "image/canvas.h"

#include <cairo.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "pad/session.h"

namespace {

struct StrokePoint {
    int32_t x, y;
};

std::mutex CanvasMutex;
cairo_surface_t* Surface = nullptr;  // RGB24, top row first
cairo_t* Painter = nullptr;          // drawing context kept for the Canvas's life
std::vector<StrokePoint> StrokePoints;
size_t StrokeLength = 0;  // points in the current stroke, trimmed ones included

// The curve only ever uses the last four points; older ones are dropped in
// batches so that a pen resting on the pad for hours does not grow the list.
constexpr size_t kStrokeKeep = 4;
constexpr size_t kStrokeTrimAt = 4096;

// Widest pen the Canvas can show (its diagonal is about 697 pixels); keeps
// absurd factors from pushing cairo past its fixed-point range.
constexpr double kMaxStrokeWidth = 1024.0;
// A pen of width 0 is still drawn, about one pixel wide, so light strokes
// are not lost.
constexpr double kHairlineWidth = 1.0;

}  // namespace

void CreateCanvas() {
    std::lock_guard<std::mutex> lock(CanvasMutex);
    if (Surface) return;
    cairo_surface_t* surface =
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, kCanvasWidth, kCanvasHeight);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return;
    }
    cairo_t* painter = cairo_create(surface);
    if (cairo_status(painter) != CAIRO_STATUS_SUCCESS) {
        cairo_destroy(painter);
        cairo_surface_destroy(surface);
        return;
    }
    cairo_set_antialias(painter, CAIRO_ANTIALIAS_GRAY);
    cairo_set_line_cap(painter, CAIRO_LINE_CAP_BUTT);
    cairo_set_line_join(painter, CAIRO_LINE_JOIN_MITER);
    cairo_set_source_rgb(painter, 0, 0, 0);
    Surface = surface;
    Painter = painter;
}

void ClearCanvas() {
    std::lock_guard<std::mutex> lock(CanvasMutex);
    if (!Surface) return;
    cairo_surface_flush(Surface);
    unsigned char* data = cairo_image_surface_get_data(Surface);
    int stride = cairo_image_surface_get_stride(Surface);
    memset(data, 0xFF, static_cast<size_t>(stride) * kCanvasHeight);
    cairo_surface_mark_dirty(Surface);
}

double StrokeWidthFor(int32_t penWidth, int32_t pressure) {
    // 64-bit product: a page can send any 32-bit factor.
    int64_t width = static_cast<int64_t>(penWidth) * pressure / 1024;
    if (width <= 0) return kHairlineWidth;
    return std::min(static_cast<double>(width), kMaxStrokeWidth);
}

void DrawPenPoint(const PenSample& sample) {
    std::lock_guard<std::mutex> lock(CanvasMutex);
    if (sample.pressure == 0) {
        StrokePoints.clear();
        StrokeLength = 0;
        return;
    }
    // Single precision, multiply first, truncate toward zero.
    int32_t cx = static_cast<int32_t>(static_cast<float>(sample.x) * 600.0f / 10206.0f);
    int32_t cy = static_cast<int32_t>(static_cast<float>(sample.y) * 400.0f / 7422.0f);
    if (StrokePoints.size() >= kStrokeTrimAt) {
        StrokePoints.erase(StrokePoints.begin(), StrokePoints.end() - kStrokeKeep);
    }
    StrokePoints.push_back({cx, cy});
    StrokeLength++;
    if (StrokePoints.size() < 4) return;

    ClearLatch = 0;
    ConfirmLatch = 0;
    CancelLatch = 0;
    GdiplusStarted = 1;
    HasStrokes = 1;
    if (!Painter) return;

    // Integer point (x, y) is the centre of pixel (x, y).
    const StrokePoint* p = &StrokePoints[StrokePoints.size() - 4];
    cairo_new_path(Painter);
    cairo_move_to(Painter, p[0].x + 0.5, p[0].y + 0.5);
    cairo_curve_to(Painter, p[1].x + 0.5, p[1].y + 0.5, p[2].x + 0.5, p[2].y + 0.5, p[3].x + 0.5,
                   p[3].y + 0.5);
    cairo_set_line_width(Painter, StrokeWidthFor(PenWidth.load(), sample.pressure));
    cairo_stroke(Painter);
}

void EmptyStrokePoints() {
    std::lock_guard<std::mutex> lock(CanvasMutex);
    StrokePoints.clear();
    StrokeLength = 0;
}

size_t StrokePointCount() {
    std::lock_guard<std::mutex> lock(CanvasMutex);
    return StrokeLength;
}

bool ReadCanvasBitmap(CanvasBitmap* out) {
    if (!out) return false;
    std::lock_guard<std::mutex> lock(CanvasMutex);
    if (!Surface) return false;
    cairo_surface_flush(Surface);
    const unsigned char* data = cairo_image_surface_get_data(Surface);
    int stride = cairo_image_surface_get_stride(Surface);
    out->width = kCanvasWidth;
    out->height = kCanvasHeight;
    out->rowBytes = kCanvasRowBytes;
    out->planes = 1;
    out->bitsPerPixel = 24;
    out->pixels.resize(static_cast<size_t>(kCanvasRowBytes) * kCanvasHeight);
    for (int row = 0; row < kCanvasHeight; ++row) {
        // Bottom-up: the first row out is the picture's last.
        const unsigned char* src = data + static_cast<size_t>(kCanvasHeight - 1 - row) * stride;
        uint8_t* dst = out->pixels.data() + static_cast<size_t>(row) * kCanvasRowBytes;
        for (int x = 0; x < kCanvasWidth; ++x) {
            // RGB24 keeps each pixel as a native-endian 32-bit 0x00RRGGBB.
            uint32_t pixel;
            memcpy(&pixel, src + 4 * x, 4);
            dst[3 * x] = static_cast<uint8_t>(pixel);
            dst[3 * x + 1] = static_cast<uint8_t>(pixel >> 8);
            dst[3 * x + 2] = static_cast<uint8_t>(pixel >> 16);
        }
    }
    return true;
}

void ResetCanvasForTests() {
    std::lock_guard<std::mutex> lock(CanvasMutex);
    StrokePoints.clear();
    StrokeLength = 0;
    if (Painter) cairo_destroy(Painter);
    if (Surface) cairo_surface_destroy(Surface);
    Painter = nullptr;
    Surface = nullptr;
}
