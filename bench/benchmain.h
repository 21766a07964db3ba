#pragma once

#include "filters/memorytuning.h"

#include <benchmark/benchmark.h>

// The benchmarks' main: the allocator tuned as in the programs, then
// Google Benchmark's own.
#define NOCTA_BENCHMARK_MAIN()                                      \
    int main(int argc, char **argv)                                 \
    {                                                               \
        nocta::tuneMemoryForFrames();                               \
        benchmark::Initialize(&argc, argv);                         \
        if (benchmark::ReportUnrecognizedArguments(argc, argv))     \
            return 1;                                               \
        benchmark::RunSpecifiedBenchmarks();                        \
        benchmark::Shutdown();                                      \
        return 0;                                                   \
    }
