// Block fill and block match speed of every path that this machine supports.
#include "fill_paths.h"
#include "generator.h"

#include <benchmark/benchmark.h>

#include <string>

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

} // namespace

// One fill and one match benchmark per row of fill_paths, named after it:
// fill_path/avx2, match_path/avx2.
int main(int argc, char** argv) {
    for (FillPathId path = 0; path < fill_path_count; ++path) {
        const std::string name = fill_path_name(path);
        benchmark::RegisterBenchmark(("fill_path/" + name).c_str(), fill_path, path);
    }
    for (FillPathId path = 0; path < fill_path_count; ++path) {
        const std::string name = fill_path_name(path);
        benchmark::RegisterBenchmark(("match_path/" + name).c_str(), match_path, path);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
