// fill_block, match_block and the choice of their path: once per run, on the
// first call of either, the fastest path that the processor and the
// operating system support.
#include "fill_paths.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

typedef void (*FillFunction)(GeneratorState*, unsigned char*);
typedef bool (*MatchFunction)(GeneratorState*, const unsigned char*);

void fill_block_first(GeneratorState* state, unsigned char* block);
bool match_block_first(GeneratorState* state, const unsigned char* input);

// Plain pointers set once, so that a block pays one indirect call and no
// test of its own. They start at the chooser.
FillFunction fill_function = fill_block_first;
MatchFunction match_function = match_block_first;
FillPathId fill_path = fill_path_count;

// The lane paths exist on x86 processors only; elsewhere they are never
// supported, and the scalar path stands in for them here.
#if defined(__i386__) || defined(__x86_64__)
const FillFunction path_fills[fill_path_count] = {fill_block_scalar, fill_block_sse2,
                                                  fill_block_avx2, fill_block_avx512};
const MatchFunction path_matches[fill_path_count] = {match_block_scalar, match_block_sse2,
                                                     match_block_avx2, match_block_avx512};
#else
const FillFunction path_fills[fill_path_count] = {fill_block_scalar, fill_block_scalar,
                                                  fill_block_scalar, fill_block_scalar};
const MatchFunction path_matches[fill_path_count] = {match_block_scalar, match_block_scalar,
                                                     match_block_scalar, match_block_scalar};
#endif

const char* const path_names[fill_path_count] = {"scalar", "sse2", "avx2", "avx512"};

#if defined(__i386__) || defined(__x86_64__)

struct CpuFeatures {
    bool sse2;
    bool avx2;
    bool avx512;
};

// XCR0: the SSE (bit 1) and AVX (bit 2) state, and the AVX-512 state: the
// opmask registers (bit 5), the upper halves of zmm0-15 (bit 6) and
// zmm16-31 (bit 7).
constexpr uint32_t xcr0_ymm = 0x06u;
constexpr uint32_t xcr0_zmm = 0xE6u;

// The register state that the operating system saves on a task switch.
uint32_t read_xcr0() {
    uint32_t low = 0;
    uint32_t high = 0;
    __asm__ __volatile__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return low;
}

CpuFeatures detect_cpu_features() {
    CpuFeatures features{false, false, false};
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    // __get_cpuid fails where CPUID or its leaf is missing (old 32-bit
    // processors).
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        return features;
    }
    features.sse2 = (edx & bit_SSE2) != 0;
    const bool avx = (ecx & bit_AVX) != 0;
    // XGETBV exists only where the operating system has enabled XSAVE; the
    // upper halves of the ymm registers survive a task switch only where it
    // saves the SSE (bit 1) and AVX (bit 2) state.
    // The AVX-512 registers likewise need the operating system to save the
    // opmask and all of the zmm state besides.
    const uint32_t xcr0 = (ecx & bit_OSXSAVE) != 0 ? read_xcr0() : 0;
    const bool os_saves_ymm = (xcr0 & xcr0_ymm) == xcr0_ymm;
    const bool os_saves_zmm = (xcr0 & xcr0_zmm) == xcr0_zmm;
    if (avx && os_saves_ymm && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        features.avx2 = (ebx & bit_AVX2) != 0;
        features.avx512 = os_saves_zmm && (ebx & bit_AVX512F) != 0;
    }
    return features;
}

#endif

} // namespace

bool fill_path_supported(FillPathId path) {
    if (path == fill_path_scalar) {
        return true;
    }
#if defined(__i386__) || defined(__x86_64__)
    const CpuFeatures features = detect_cpu_features();
    if (path == fill_path_sse2) {
        return features.sse2;
    }
    if (path == fill_path_avx2) {
        return features.avx2;
    }
    if (path == fill_path_avx512) {
        return features.avx512;
    }
#endif
    return false;
}

namespace {

void fill_block_first(GeneratorState* state, unsigned char* block) {
    select_fill_path(best_fill_path());
    fill_function(state, block);
}

bool match_block_first(GeneratorState* state, const unsigned char* input) {
    select_fill_path(best_fill_path());
    return match_function(state, input);
}

} // namespace

FillPathId best_fill_path() {
    if (fill_path_supported(fill_path_avx512)) {
        return fill_path_avx512;
    }
    if (fill_path_supported(fill_path_avx2)) {
        return fill_path_avx2;
    }
    if (fill_path_supported(fill_path_sse2)) {
        return fill_path_sse2;
    }
    return fill_path_scalar;
}

bool select_fill_path(FillPathId path) {
    if (path < fill_path_scalar || path >= fill_path_count || !fill_path_supported(path)) {
        return false;
    }
    fill_function = path_fills[path];
    match_function = path_matches[path];
    fill_path = path;
    return true;
}

void reset_fill_path() {
    fill_function = fill_block_first;
    match_function = match_block_first;
    fill_path = fill_path_count;
}

FillPathId selected_fill_path() {
    return fill_path;
}

const char* fill_path_name(FillPathId path) {
    if (path < fill_path_scalar || path >= fill_path_count) {
        return "none";
    }
    return path_names[path];
}

void fill_block(GeneratorState* state, unsigned char* block) {
    fill_function(state, block);
}

bool match_block(GeneratorState* state, const unsigned char* input) {
    return match_function(state, input);
}
