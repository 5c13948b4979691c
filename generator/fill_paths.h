// The ways of filling a block. Every path yields exactly the bytes and the
// final state of block_words calls of next_word, and has a match_block
// counterpart that compares those bytes instead of storing them; fill_block
// and match_block run the fastest path that the processor and the operating
// system support, chosen on the first call of either.
//
// The paths are the rows of fill_paths below. A new path is one row there
// and the file with its fill and match functions.
#pragma once

#include "generator.h"

#include <cstdint>

typedef void (*FillFunction)(GeneratorState*, unsigned char*);
typedef bool (*MatchFunction)(GeneratorState*, const unsigned char*);

// The reference: next_word block_words times, the state kept in locals.
void fill_block_scalar(GeneratorState* state, unsigned char* block);
bool match_block_scalar(GeneratorState* state, const unsigned char* input);

// Lane paths (lane_kernel.h): each lane produces one contiguous segment of
// the block. Built for x86 processors only, and only to be called where
// fill_path_supported says so.
void fill_block_sse2(GeneratorState* state, unsigned char* block);
void fill_block_avx2(GeneratorState* state, unsigned char* block);
void fill_block_avx512(GeneratorState* state, unsigned char* block);
bool match_block_sse2(GeneratorState* state, const unsigned char* input);
bool match_block_avx2(GeneratorState* state, const unsigned char* input);
bool match_block_avx512(GeneratorState* state, const unsigned char* input);

// What a path needs of the processor and the operating system: bits that
// must all be set in what CPUID and XGETBV report (CpuReport below).
struct CpuNeeds {
    uint32_t leaf1_ecx;
    uint32_t leaf1_edx;
    uint32_t leaf7_ebx; // leaf 7, subleaf 0; any bit here needs leaf 7
    uint32_t xcr0;
};

// The CPUID bits that the paths need: leaf 1 EDX: SSE2; leaf 1 ECX: XSAVE
// enabled by the operating system (OSXSAVE), AVX; leaf 7 EBX: AVX2, AVX512F.
constexpr uint32_t leaf1_edx_sse2 = 1u << 26;
constexpr uint32_t leaf1_ecx_osxsave = 1u << 27;
constexpr uint32_t leaf1_ecx_avx = 1u << 28;
constexpr uint32_t leaf7_ebx_avx2 = 1u << 5;
constexpr uint32_t leaf7_ebx_avx512f = 1u << 16;

// XCR0, the register state that the operating system saves on a task
// switch: the SSE (bit 1) and AVX (bit 2) state, so that the upper halves of
// the ymm registers survive; for AVX-512 also the opmask registers (bit 5),
// the upper halves of zmm0-15 (bit 6) and zmm16-31 (bit 7). Only readable
// where the operating system has enabled XSAVE (OSXSAVE).
constexpr uint32_t xcr0_ymm = 0x06u;
constexpr uint32_t xcr0_zmm = 0xE6u;

// One way of filling a block. (Not FillPath: windows.h has a function of
// that name.)
struct FillPathRow {
    const char* name; // for test and benchmark names
    FillFunction fill;
    MatchFunction match;
    uint32_t lanes; // words computed side by side
    CpuNeeds needs;
};

// The paths, slowest first: the choice is the last row that the machine
// supports. A path's id is its row's index.
inline constexpr FillPathRow fill_paths[] = {
    {"scalar", fill_block_scalar, match_block_scalar, 1, {0, 0, 0, 0}},
#if defined(__i386__) || defined(__x86_64__)
    {"sse2", fill_block_sse2, match_block_sse2, 4, {0, leaf1_edx_sse2, 0, 0}},
    {"avx2",
     fill_block_avx2,
     match_block_avx2,
     8,
     {leaf1_ecx_osxsave | leaf1_ecx_avx, 0, leaf7_ebx_avx2, xcr0_ymm}},
    {"avx512",
     fill_block_avx512,
     match_block_avx512,
     16,
     {leaf1_ecx_osxsave | leaf1_ecx_avx, 0, leaf7_ebx_avx512f, xcr0_zmm}},
#endif
};

typedef uint32_t FillPathId;

constexpr FillPathId fill_path_count = sizeof fill_paths / sizeof fill_paths[0];
// The reference runs everywhere.
constexpr FillPathId fill_path_scalar = 0;

// Whether two names are the same, in a constant expression.
constexpr bool same_name(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// The lane count of the row named name, for the path's own file; 0 when no
// row has it. By name, not by fill function: GCC's UndefinedBehaviorSanitizer
// does not take a comparison of function addresses as a constant.
constexpr uint32_t fill_path_lanes(const char* name) {
    for (const FillPathRow& row : fill_paths) {
        if (same_name(row.name, name)) {
            return row.lanes;
        }
    }
    return 0;
}

// What CPUID and XGETBV report, as far as the choice of a path needs it.
struct CpuReport {
    uint32_t leaf1_ecx;
    uint32_t leaf1_edx;
    bool has_leaf7;
    uint32_t leaf7_ebx; // leaf 7, subleaf 0
    uint32_t xcr0;      // 0 where the operating system has not enabled XGETBV
};

// True when a processor and operating system that report this can run the
// path; false for an id that has no row.
bool fill_path_runs_on(FillPathId path, const CpuReport& report);

// True when this processor and the operating system can run the path.
bool fill_path_supported(FillPathId path);

// The fastest path that a processor and operating system that report this
// can run.
FillPathId best_fill_path_on(const CpuReport& report);

// The fastest supported path.
FillPathId best_fill_path();

// Makes fill_block and match_block use the path from now on, for tests and benchmarks.
// Refuses (returns false, changes nothing) a path that is not supported.
bool select_fill_path(FillPathId path);

// Undoes select_fill_path: the next fill_block or match_block chooses again, as the first
// one of a run does. For tests.
void reset_fill_path();

// The path that fill_block and match_block use now; fill_path_count before
// the first of them or select_fill_path.
FillPathId selected_fill_path();

// Printable name of a path, for test and benchmark names; "none" for an id
// that has no row.
const char* fill_path_name(FillPathId path);
