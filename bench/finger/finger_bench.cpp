// How fast a fingerprint reaches the page and how light a waiting capture is.
//
// ImageToLastByte and ImageToLastByteComposite: from the moment the virtual
// reader hands out its first image with a finger (ZAZUpImage) to the last byte
// of the TavoFingerBase64 / TavoSignFBase64 frame at a socket-level client on
// loopback; median and 99th percentile in milliseconds.
// WaitingCpu: the process CPU time per second of wall time while a capture
// waits for a finger, with the reader at a real reader's pace (40 ms an
// image) and with a reader that answers at once (pace 0).
// CloseSignDuringCapture: from "TavoCloseSign" leaving a page to the pad's
// release (the virtual pad closing), while a capture waits for a finger:
// with a reader at a real reader's pace (arg 0), with the capture inside a
// ZAZGetImage call that hangs for 12 s (arg 12000) or until released (-1);
// median and 99th percentile in milliseconds.
// Step*: the picture steps on their own.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/page.h"
#include "bench/sampling.h"
#include "commands/params.h"
#include "devices/virtual_pad/virtual_pad.h"
#include "devices/virtual_reader/virtual_reader.h"
#include "finger/TavoSign.h"
#include "finger/capture.h"
#include "image/canvas.h"
#include "image/delivery.h"
#include "image/ximage.h"
#include "link/listener.h"
#include "pad/session.h"
#include "platform/platform.h"
#include "tests/support/harness.h"
#include "tests/support/raw_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::ReportSamples;
using bench::Sampled;

// The current directory of the whole run: a scratch folder holding a link to
// the virtual reader, as the service's folder would hold the maker's library.
void EnterReaderFolder() {
    static bool entered = [] {
        char pattern[] = "/tmp/penmora-finger-bench-XXXXXX";
        const char* folder = mkdtemp(pattern);
        if (folder == nullptr || chdir(folder) != 0) std::abort();
        const std::string name = std::filesystem::path(platform::kFingerLibraryPath).filename();
        if (symlink(PENMORA_VIRTUAL_READER, name.c_str()) != 0) std::abort();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(std::filesystem::current_path(), ignored);
        });
        return true;
    }();
    (void)entered;
}

using bench::ActivePage;

// Polls `condition` every 200 microseconds; false after `seconds`.
template <typename Condition>
bool WaitUntil(Condition condition, int seconds = 10) {
    for (int i = 0; i < seconds * 5000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

// A signature delivered for a fingerprint, so that the composite has one.
void DeliverSignatureForFingerprint() {
    CreateCanvas();
    ClearCanvas();
    EmptyStrokePoints();
    PenWidth = 3;
    for (int i = 0; i <= 300; ++i) {
        const double t = i / 300.0;
        const double x = 60 + 420 * t + 18 * std::sin(t * 40.0);
        const double y = 175 + 70 * std::sin(t * 12.0);
        DrawPenPoint(PenSample{int32_t(x * 10206.0 / 600.0), int32_t(y * 7422.0 / 400.0), 700, 0});
    }
    CaptureMode = 1;
    DeliverSignature();
}

void ImageToPage(benchmark::State& state, bool composite) {
    EnterReaderFolder();
    RawWsClient* page = ActivePage();
    vpad::Reset();
    VirtualReaderReset();
    if (composite) DeliverSignatureForFingerprint();
    const char* head =
        composite ? "{\"typeName\":\"TavoSignFBase64\"" : "{\"typeName\":\"TavoFingerBase64\"";
    std::vector<double> samples;
    size_t bytes = 0;
    for (auto _ : state) {
        VirtualReaderSetFinger(0);
        if (OpenPad() != 0) {
            state.SkipWithError("the virtual pad did not open");
            break;
        }
        CaptureMode = composite ? 1 : 0;
        FingerQuality = 100;
        const int taken = VirtualReaderImagesTaken();
        StartFingerCapture();
        // The capture is waiting for a finger when it has taken an image.
        if (!WaitUntil([taken] { return VirtualReaderImagesTaken() > taken; })) {
            state.SkipWithError("the capture took no image");
            break;
        }
        VirtualReaderSetFinger(1);
        const auto frame = page->ReceiveFrame(20000);
        const long long arrived =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
                .count();
        if (!frame || frame->payload.rfind(head, 0) != 0) {
            state.SkipWithError("no image message");
            break;
        }
        const double took = double(arrived - VirtualReaderFingerImageNs()) / 1e9;
        state.SetIterationTime(took);
        samples.push_back(took * 1000.0);
        bytes = frame->payload.size();
        WaitForFingerCaptureThreads(20000);
    }
    ReportSamples(state, samples);
    state.counters["message_bytes"] = double(bytes);
}

void ImageToLastByte(benchmark::State& state) {
    ImageToPage(state, false);
}
BENCHMARK(ImageToLastByte)->UseManualTime()->Iterations(100)->Unit(benchmark::kMillisecond);

void ImageToLastByteComposite(benchmark::State& state) {
    ImageToPage(state, true);
}
BENCHMARK(ImageToLastByteComposite)
    ->UseManualTime()
    ->Iterations(100)
    ->Unit(benchmark::kMillisecond);

long long NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

void CloseSignDuringCapture(benchmark::State& state) {
    const int hangMs = int(state.range(0));
    EnterReaderFolder();
    RawWsClient* page = ActivePage();
    vpad::Reset();
    VirtualReaderReset();
    static std::atomic<long long> releasedNs{0};
    vpad::Observer observer;
    observer.onOpenChanged = [](bool open) {
        if (!open) releasedNs.store(NowNs());
    };
    vpad::SetObserver(observer);
    const std::string start =
        ClientFrame(1, "{\"typeName\":\"TavoStartFinger\",\"message\":{\"quality\":\"100\"}}");
    const std::string close = ClientFrame(1, "{\"typeName\":\"TavoCloseSign\"}");
    std::mt19937 random(7);
    std::vector<double> samples;
    for (auto _ : state) {
        VirtualReaderSetFinger(0);
        if (hangMs != 0) VirtualReaderHangNext("ZAZGetImage", hangMs);
        const int taken = VirtualReaderImagesTaken();
        page->SendBytes(start);
        const bool capturing = WaitUntil([&] {
            return vpad::IsOpen() &&
                   (hangMs != 0 ? VirtualReaderHanging() > 0 : VirtualReaderImagesTaken() > taken);
        });
        if (!capturing) {
            state.SkipWithError("the capture did not begin");
            break;
        }
        // At any moment of the reader's 40 ms pace.
        if (hangMs == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
        releasedNs.store(0);
        const long long sent = NowNs();
        page->SendBytes(close);
        if (!WaitUntil([] { return releasedNs.load() != 0; }, 60)) {
            state.SkipWithError("the pad was not released");
            break;
        }
        const double took = double(releasedNs.load() - sent) / 1e9;
        state.SetIterationTime(took);
        samples.push_back(took * 1000.0);
        VirtualReaderReleaseHang();
        WaitForFingerCaptureThreads(20000);
    }
    vpad::SetObserver({});
    ReportSamples(state, samples);
    if (!samples.empty()) state.counters["max_ms"] = samples.back();
}
BENCHMARK(CloseSignDuringCapture)
    ->Arg(0)
    ->Iterations(200)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(CloseSignDuringCapture)
    ->Arg(12000)
    ->Iterations(10)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(CloseSignDuringCapture)
    ->Arg(-1)
    ->Iterations(100)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void WaitingCpu(benchmark::State& state) {
    EnterReaderFolder();
    ActivePage();
    vpad::Reset();
    VirtualReaderReset();
    VirtualReaderSetPaceMs(int(state.range(0)));
    VirtualReaderSetFinger(0);
    if (OpenPad() != 0) {
        state.SkipWithError("the virtual pad did not open");
        return;
    }
    CaptureMode = 0;
    FingerQuality = 100;
    StartFingerCapture();
    WaitUntil([] { return VirtualReaderImagesTaken() > 0; });
    double cpuPerSecond = 0;
    int images = 0;
    for (auto _ : state) {
        const int taken = VirtualReaderImagesTaken();
        const double cpu = ProcessCpuSeconds();
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const std::chrono::duration<double> wall = Clock::now() - start;
        cpuPerSecond = (ProcessCpuSeconds() - cpu) / wall.count();
        images = VirtualReaderImagesTaken() - taken;
        state.SetIterationTime(wall.count());
    }
    ClosePad();
    WaitForFingerCaptureThreads(20000);
    state.counters["cpu_percent_of_a_core"] = cpuPerSecond * 100.0;
    state.counters["images_per_second"] = images / 2.0;
}
BENCHMARK(WaitingCpu)
    ->Arg(40)
    ->Arg(0)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

std::vector<uint8_t> RidgeImage() {
    std::vector<uint8_t> image(256 * 288);
    for (int r = 0; r < 288; ++r)
        for (int c = 0; c < 256; ++c)
            image[r * 256 + c] =
                uint8_t(128 + 110 * std::sin(std::hypot(c - 128.0, r - 150.0) * 0.785));
    return image;
}

void StepCountTexturedBlocks(benchmark::State& state) {
    const auto image = RidgeImage();
    for (auto _ : state) benchmark::DoNotOptimize(CountTexturedBlocks(image.data()));
}
BENCHMARK(StepCountTexturedBlocks);

void StepRedInk(benchmark::State& state) {
    EnterReaderFolder();
    const auto image = RidgeImage();
    WriteRedBmp(image.data(), 8, 256, 288, "grey.bmp");
    Sampled(state, [] {
        auto pixels = ReadBmp8("grey.bmp");
        if (pixels) WriteRedBmp(pixels->pixels.data(), 8, 256, 288, "red.bmp");
    });
}
BENCHMARK(StepRedInk)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);

void StepScale(benchmark::State& state) {
    EnterReaderFolder();
    const auto image = RidgeImage();
    WriteRedBmp(image.data(), 8, 256, 288, "red.bmp");
    Sampled(state, [] { ScaleImageFile("red.bmp", "scaled.png", 2.0); });
}
BENCHMARK(StepScale)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);

void StepTransparentPng(benchmark::State& state) {
    EnterReaderFolder();
    const auto image = RidgeImage();
    WriteRedBmp(image.data(), 8, 256, 288, "red.bmp");
    ScaleImageFile("red.bmp", "scaled.png", 2.0);
    Sampled(state, [] {
        CxImage picture = CreateImage();
        if (LoadImageFile(picture, "scaled.png")) {
            CopyImage(picture, MakeWhiteTransparent(picture));
            SavePngFile(picture, "final.png");
        }
    });
}
BENCHMARK(StepTransparentPng)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
