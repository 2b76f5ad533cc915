// The main of the benchmarks that run the service's own code, which writes a
// trace line to standard output for each message: those lines are dropped and
// the figures go to standard error.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <iostream>

namespace bench {

inline int RunWithoutTraceLines(int argc, char** argv) {
    if (!freopen("/dev/null", "w", stdout)) return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace bench
