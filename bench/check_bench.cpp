// The check of an intact stream, as the program hands it over in pieces of
// 1 MiB: the clean path, block by block in one pass, with what surrounds it.
#include "stream_check.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr size_t stream_size = 64 << 20;
constexpr size_t piece_size = 1 << 20;

StreamCheck check; // too large for the stack

void check_intact_stream(benchmark::State& run) {
    std::vector<unsigned char> stream(stream_size);
    GeneratorState state{{1, 2, 3, 4}, 0};
    for (size_t offset = 0; offset < stream_size; offset += block_bytes) {
        fill_block(&state, stream.data() + offset);
    }
    for (auto _ : run) {
        check_start(&check);
        for (size_t offset = 0; offset < stream_size; offset += piece_size) {
            check_bytes(&check, stream.data() + offset, piece_size);
        }
        check_finish(&check, check_end_of_input, 0);
        benchmark::DoNotOptimize(&check);
    }
    run.SetBytesProcessed(static_cast<int64_t>(run.iterations()) * int64_t{stream_size});
}

BENCHMARK(check_intact_stream)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
