// How long a signature takes from the signer's OK to the page: the time from
// the OK report queued on the virtual pad to the last byte of the
// TavoSignBase64 frame at a client on loopback, and the delivery's steps
// (bitmap, load, transparency, PNG, Base64, send) one by one. Each benchmark
// reports the median and the 99th percentile of its samples in milliseconds;
// the signature benchmarks also report the PNG's size.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "bench/page.h"
#include "bench/sampling.h"
#include "commands/params.h"
#include "devices/virtual_pad/virtual_pad.h"
#include "image/canvas.h"
#include "image/delivery.h"
#include "image/ximage.h"
#include "link/frame.h"
#include "link/listener.h"
#include "pad/session.h"
#include "shell/log.h"
#include "tests/support/harness.h"
#include "tests/support/raw_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::ReportSamples;
using bench::Sampled;

// A typical handwritten signature: three strokes of loops and waves across
// the Canvas, with the pressure rising and falling along each.
std::vector<PenSample> TypicalSignature() {
    std::vector<PenSample> samples;
    auto add = [&](double x, double y, int pressure) {
        samples.push_back(PenSample{static_cast<int32_t>(std::lround(x * 10206.0 / 600.0)),
                                    static_cast<int32_t>(std::lround(y * 7422.0 / 400.0)), pressure,
                                    0});
    };
    for (int stroke = 0; stroke < 3; ++stroke) {
        const double left = 60 + stroke * 170;
        for (int i = 0; i <= 160; ++i) {
            const double t = i / 160.0;
            const double x = left + 150 * t + 18 * std::sin(t * 25.0);
            const double y = 175 + 70 * std::sin(t * 9.0 + stroke) + 25 * std::cos(t * 25.0);
            add(x, y, static_cast<int>(500 + 450 * std::sin(t * 3.14159)));
        }
        add(left + 150, 175, 0);
    }
    return samples;
}

void DrawTypicalSignature() {
    CreateCanvas();
    ClearCanvas();
    EmptyStrokePoints();
    PenWidth = 3;
    for (const PenSample& sample : TypicalSignature()) DrawPenPoint(sample);
}

using bench::ActivePage;

std::string Scratch(const char* name) {
    return "/tmp/penmora-bench-" + std::to_string(getpid()) + "-" + name;
}

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

bool WaitUntil(bool (*condition)()) {
    for (int i = 0; i < 20000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

void OkToLastByte(benchmark::State& state) {
    RawWsClient* page = ActivePage();
    CaptureMode = 0;
    vpad::Reset();
    CreateCanvas();
    const std::vector<PenSample> signature = TypicalSignature();
    std::vector<double> samples;
    size_t imageMessage = 0;
    for (auto _ : state) {
        if (OpenPad() != 0 || StartSigning(3) != 0) {
            state.SkipWithError("the virtual pad did not start signing");
            break;
        }
        for (const PenSample& s : signature) {
            vpad::QueuePen(static_cast<uint16_t>(s.x), static_cast<uint16_t>(s.y),
                           static_cast<uint16_t>(s.pressure));
        }
        if (!WaitUntil([] { return vpad::PendingReports() == 0; })) {
            state.SkipWithError("the pen-input thread did not read the stroke");
            break;
        }
        const auto start = Clock::now();
        vpad::QueueButton("OK");
        const auto image = page->ReceiveFrame();
        const std::chrono::duration<double> took = Clock::now() - start;
        const auto ok = page->ReceiveFrame();
        if (!image || !ok || image->payload.rfind("{\"typeName\":\"TavoSignBase64\"", 0) != 0) {
            state.SkipWithError("no image message");
            break;
        }
        imageMessage = image->payload.size();
        state.SetIterationTime(took.count());
        samples.push_back(took.count() * 1000.0);
        WaitUntil([] { return !PadIsOpen(); });
    }
    ReportSamples(state, samples);
    state.counters["message_bytes"] = static_cast<double>(imageMessage);
}
BENCHMARK(OkToLastByte)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

void StepBitmap(benchmark::State& state) {
    DrawTypicalSignature();
    const std::string bmp = Scratch("sign.bmp");
    Sampled(state, [&] { WriteCanvasBmp(bmp); });
    std::remove(bmp.c_str());
}
BENCHMARK(StepBitmap)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);

void StepLoad(benchmark::State& state) {
    DrawTypicalSignature();
    const std::string bmp = Scratch("sign.bmp");
    WriteCanvasBmp(bmp);
    Sampled(state, [&] {
        CxImage image = CreateImage();
        benchmark::DoNotOptimize(LoadImageFile(image, bmp));
    });
    std::remove(bmp.c_str());
}
BENCHMARK(StepLoad)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);

void StepTransparency(benchmark::State& state) {
    DrawTypicalSignature();
    const std::string bmp = Scratch("sign.bmp");
    WriteCanvasBmp(bmp);
    CxImage loaded = CreateImage();
    LoadImageFile(loaded, bmp);
    Sampled(state, [&] {
        CxImage image = loaded;
        CopyImage(image, MakeWhiteTransparent(image));
        benchmark::DoNotOptimize(image.alpha.data());
    });
    std::remove(bmp.c_str());
}
BENCHMARK(StepTransparency)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);

void StepPng(benchmark::State& state) {
    DrawTypicalSignature();
    const std::string bmp = Scratch("sign.bmp"), png = Scratch("sign.png");
    WriteCanvasBmp(bmp);
    CxImage image = CreateImage();
    LoadImageFile(image, bmp);
    image = MakeWhiteTransparent(image);
    Sampled(state, [&] { SavePngFile(image, png); });
    state.counters["png_bytes"] = static_cast<double>(FileBytes(png).size());
    std::remove(bmp.c_str());
    std::remove(png.c_str());
}
BENCHMARK(StepPng)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

void StepBase64(benchmark::State& state) {
    DrawTypicalSignature();
    const std::string bmp = Scratch("sign.bmp"), png = Scratch("sign.png");
    WriteCanvasBmp(bmp);
    CxImage image = CreateImage();
    LoadImageFile(image, bmp);
    SavePngFile(MakeWhiteTransparent(image), png);
    const std::vector<uint8_t> bytes = FileBytes(png);
    Sampled(state, [&] {
        benchmark::DoNotOptimize(Base64Encode(bytes.data(), static_cast<int32_t>(bytes.size())));
    });
    state.counters["png_bytes"] = static_cast<double>(bytes.size());
    std::remove(bmp.c_str());
    std::remove(png.c_str());
}
BENCHMARK(StepBase64)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);

// The finished message sent until the client holds the frame's last byte.
void StepSend(benchmark::State& state) {
    RawWsClient* page = ActivePage();
    DrawTypicalSignature();
    const std::string bmp = Scratch("sign.bmp"), png = Scratch("sign.png");
    WriteCanvasBmp(bmp);
    CxImage image = CreateImage();
    LoadImageFile(image, bmp);
    SavePngFile(MakeWhiteTransparent(image), png);
    const std::vector<uint8_t> bytes = FileBytes(png);
    const std::string message = "{\"typeName\":\"TavoSignBase64\",\"message\":\"" +
                                Base64Encode(bytes.data(), static_cast<int32_t>(bytes.size())) +
                                "\"}";
    Sampled(state, [&] {
        SendTextMessage(message);
        benchmark::DoNotOptimize(page->ReceiveFrame());
    });
    std::remove(bmp.c_str());
    std::remove(png.c_str());
}
BENCHMARK(StepSend)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
