// The ways of filling a block. Every path yields exactly the bytes and the
// final state of block_words calls of next_word; fill_block runs the fastest
// one that the processor and the operating system support, chosen on its
// first call.
#pragma once

#include "generator.h"

#include <cstdint>

// (Not FillPath: windows.h has a function of that name.)
enum FillPathId {
    fill_path_scalar,
    fill_path_sse2,
    fill_path_avx2,
    fill_path_avx512,
    fill_path_count
};

// The reference: next_word block_words times, the state kept in locals.
void fill_block_scalar(GeneratorState* state, unsigned char* block);

// Lane paths: each lane produces one contiguous segment of the block. Only
// to be called where fill_path_supported says so.
void fill_block_sse2(GeneratorState* state, unsigned char* block);
void fill_block_avx2(GeneratorState* state, unsigned char* block);
void fill_block_avx512(GeneratorState* state, unsigned char* block);

// What CPUID and XGETBV report, as far as the choice of a path needs it.
struct CpuReport {
    uint32_t leaf1_ecx;
    uint32_t leaf1_edx;
    bool has_leaf7;
    uint32_t leaf7_ebx; // leaf 7, subleaf 0
    uint32_t xcr0;      // 0 where the operating system has not enabled XGETBV
};

// True when a processor and operating system that report this can run the
// path.
bool fill_path_runs_on(FillPathId path, const CpuReport& report);

// True when this processor and the operating system can run the path.
bool fill_path_supported(FillPathId path);

// The fastest supported path.
FillPathId best_fill_path();

// Makes fill_block use the path from now on, for tests and benchmarks.
// Refuses (returns false, changes nothing) a path that is not supported.
bool select_fill_path(FillPathId path);

// Undoes select_fill_path: the next fill_block chooses again, as the first
// one of a run does. For tests.
void reset_fill_path();

// The path that fill_block uses now; fill_path_count before the first
// fill_block or select_fill_path.
FillPathId selected_fill_path();

// Printable name of a path, for test and benchmark names.
const char* fill_path_name(FillPathId path);
