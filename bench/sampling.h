// Timing helpers shared by the benchmarks: each iteration timed by hand, and
// the median and 99th percentile of the samples reported as counters.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace bench {

// Adds median_ms and p99_ms counters for samples in milliseconds.
inline void ReportSamples(benchmark::State& state, std::vector<double>& milliseconds) {
    if (milliseconds.empty()) return;
    std::sort(milliseconds.begin(), milliseconds.end());
    state.counters["median_ms"] = milliseconds[milliseconds.size() / 2];
    state.counters["p99_ms"] =
        milliseconds[std::min(milliseconds.size() - 1, milliseconds.size() * 99 / 100)];
}

// Times `body` once per iteration as the benchmark's manual time.
template <typename Body>
void Sampled(benchmark::State& state, Body body) {
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        body();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        samples.push_back(took.count() * 1000.0);
    }
    ReportSamples(state, samples);
}

}  // namespace bench
