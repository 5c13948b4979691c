// Block fill and block match speed of every path that this machine supports.
#include "fill_paths.h"
#include "generator.h"

#include <benchmark/benchmark.h>

namespace {

alignas(64) unsigned char block[block_bytes];

void fill_path(benchmark::State& run, FillPathId path) {
    if (!select_fill_path(path)) {
        run.SkipWithError("not supported on this machine");
        return;
    }
    GeneratorState state{{1, 2, 3, 4}, 0};
    for (auto _ : run) {
        fill_block(&state, block);
        benchmark::DoNotOptimize(block);
        benchmark::ClobberMemory();
    }
    run.SetBytesProcessed(static_cast<int64_t>(run.iterations()) * block_bytes);
}

// match_block over the block that fill_block gave: the clean path of a check.
void match_path(benchmark::State& run, FillPathId path) {
    if (!select_fill_path(path)) {
        run.SkipWithError("not supported on this machine");
        return;
    }
    const GeneratorState start{{1, 2, 3, 4}, 0};
    GeneratorState state = start;
    fill_block(&state, block);
    for (auto _ : run) {
        state = start;
        benchmark::DoNotOptimize(match_block(&state, block));
        benchmark::ClobberMemory();
    }
    run.SetBytesProcessed(static_cast<int64_t>(run.iterations()) * block_bytes);
}

BENCHMARK_CAPTURE(fill_path, scalar, fill_path_scalar);
BENCHMARK_CAPTURE(fill_path, sse2, fill_path_sse2);
BENCHMARK_CAPTURE(fill_path, avx2, fill_path_avx2);
BENCHMARK_CAPTURE(fill_path, avx512, fill_path_avx512);
BENCHMARK_CAPTURE(match_path, scalar, fill_path_scalar);
BENCHMARK_CAPTURE(match_path, sse2, fill_path_sse2);
BENCHMARK_CAPTURE(match_path, avx2, fill_path_avx2);
BENCHMARK_CAPTURE(match_path, avx512, fill_path_avx512);

} // namespace

BENCHMARK_MAIN();
