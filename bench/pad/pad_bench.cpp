// Figures of the signature pad: how many pen samples DrawPenPoint draws per
// second, how long a report takes from the pad to the Canvas, and what an
// idle signing session costs in CPU time. Results go to standard error;
// standard output carries the pen trace and is discarded.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "bench/quiet_main.h"
#include "devices/virtual_pad/virtual_pad.h"
#include "image/canvas.h"
#include "pad/session.h"

namespace {

double ProcessCpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// A signature-like path: waves across the Canvas, a few pixels per sample
// as a pad reports a moving pen.
PenSample SampleAt(int64_t i, int32_t pressure) {
    int64_t step = i % 2000;
    int32_t x = static_cast<int32_t>(500 + (step * 45) % 9000);
    int32_t wave = static_cast<int32_t>(step % 40 < 20 ? step % 40 : 40 - step % 40);
    int32_t y = static_cast<int32_t>(1000 + wave * 60 + (step / 200) * 400);
    return PenSample{x, y, pressure, 0};
}

void BM_DrawPenPoint(benchmark::State& state) {
    CreateCanvas();
    ClearCanvas();
    PenWidth = static_cast<int32_t>(state.range(0));
    int64_t i = 0;
    for (auto _ : state) {
        DrawPenPoint(SampleAt(i, 700));
        if (++i % 2000 == 0) DrawPenPoint(PenSample{0, 0, 0, 0});  // pen up now and then
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DrawPenPoint)->Arg(0)->Arg(3)->Arg(10);

void BM_ReadCanvasBitmap(benchmark::State& state) {
    CreateCanvas();
    CanvasBitmap bitmap;
    for (auto _ : state) {
        ReadCanvasBitmap(&bitmap);
        benchmark::DoNotOptimize(bitmap.pixels.data());
    }
}
BENCHMARK(BM_ReadCanvasBitmap);

// From a pen report queued on the virtual pad to its sample drawn by the
// pen-input thread of a running session.
void BM_ReportToCanvasLatency(benchmark::State& state) {
    CreateCanvas();
    vpad::Reset();
    if (OpenPad() != 0 || StartSigning(3) != 0) {
        state.SkipWithError("no session");
        return;
    }
    std::vector<double> micros;
    int64_t i = 0;
    for (auto _ : state) {
        // Paced like a pad (a few milliseconds apart), so each report finds
        // the thread waiting for input.
        std::this_thread::sleep_for(std::chrono::microseconds(2000));
        size_t before = StrokePointCount();
        PenSample s = SampleAt(i++, 700);
        auto start = std::chrono::steady_clock::now();
        vpad::QueuePen(static_cast<uint16_t>(s.x), static_cast<uint16_t>(s.y), 700);
        while (StrokePointCount() == before) {
        }
        auto end = std::chrono::steady_clock::now();
        double us = std::chrono::duration<double, std::micro>(end - start).count();
        micros.push_back(us);
        state.SetIterationTime(us / 1e6);
    }
    ClosePad();
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}
BENCHMARK(BM_ReportToCanvasLatency)->UseManualTime()->Iterations(2000);

// CPU time of the whole process while a signing session waits for a signer.
void BM_IdleSessionCpu(benchmark::State& state) {
    CreateCanvas();
    vpad::Reset();
    for (auto _ : state) {
        if (OpenPad() != 0 || StartSigning(3) != 0) {
            state.SkipWithError("no session");
            return;
        }
        double before = ProcessCpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
        state.counters["cpu_s"] = ProcessCpuSeconds() - before;
        state.counters["reads"] = static_cast<double>(vpad::GetUsage().reads);
        ClosePad();
    }
}
BENCHMARK(BM_IdleSessionCpu)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond);

// For comparison: a loop that polls without pausing, for one second.
void BM_PollWithoutPauseCpu(benchmark::State& state) {
    vpad::Reset();
    for (auto _ : state) {
        hid_device_info* list = hid_enumerate(0, 0);
        hid_device* dev = hid_open_path(list->next->next->path);
        hid_free_enumeration(list);
        hid_set_nonblocking(dev, 1);
        unsigned char buffer[128];
        double before = ProcessCpuSeconds();
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (std::chrono::steady_clock::now() < end) hid_read(dev, buffer, sizeof buffer);
        state.counters["cpu_s_per_s"] = ProcessCpuSeconds() - before;
        hid_close(dev);
    }
}
BENCHMARK(BM_PollWithoutPauseCpu)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    return bench::RunWithoutTraceLines(argc, argv);
}
