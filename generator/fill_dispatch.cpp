// fill_block and the choice of its path: once per run, on the first call,
// the fastest path that the processor and the operating system support.
#include "fill_paths.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

typedef void (*FillFunction)(GeneratorState*, unsigned char*);

void fill_block_first(GeneratorState* state, unsigned char* block);

// A plain pointer set once, so that the block loop pays one indirect call
// per block and no test of its own. It starts at the chooser.
FillFunction fill_function = fill_block_first;
FillPathId fill_path = fill_path_count;

const FillFunction path_functions[fill_path_count] = {fill_block_scalar, fill_block_sse2,
                                                      fill_block_avx2, fill_block_avx512};

const char* const path_names[fill_path_count] = {"scalar", "sse2", "avx2", "avx512"};

// The CPUID bits that the paths need: leaf 1 EDX: SSE2; leaf 1 ECX: XSAVE
// enabled by the operating system (OSXSAVE), AVX; leaf 7 EBX: AVX2, AVX512F.
constexpr uint32_t leaf1_edx_sse2 = 1u << 26;
constexpr uint32_t leaf1_ecx_osxsave = 1u << 27;
constexpr uint32_t leaf1_ecx_avx = 1u << 28;
constexpr uint32_t leaf7_ebx_avx2 = 1u << 5;
constexpr uint32_t leaf7_ebx_avx512f = 1u << 16;

// XCR0: the SSE (bit 1) and AVX (bit 2) state, and the AVX-512 state: the
// opmask registers (bit 5), the upper halves of zmm0-15 (bit 6) and
// zmm16-31 (bit 7).
constexpr uint32_t xcr0_ymm = 0x06u;
constexpr uint32_t xcr0_zmm = 0xE6u;

#if defined(__i386__) || defined(__x86_64__)

// The register state that the operating system saves on a task switch.
uint32_t read_xcr0() {
    uint32_t low = 0;
    uint32_t high = 0;
    __asm__ __volatile__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return low;
}

#endif

CpuReport report_cpu() {
    CpuReport report{0, 0, false, 0, 0};
#if defined(__i386__) || defined(__x86_64__)
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    // __get_cpuid fails where CPUID or its leaf is missing (old 32-bit
    // processors).
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        return report;
    }
    report.leaf1_ecx = ecx;
    report.leaf1_edx = edx;
    // XGETBV exists only where the operating system has enabled XSAVE.
    report.xcr0 = (ecx & leaf1_ecx_osxsave) != 0 ? read_xcr0() : 0;
    report.has_leaf7 = __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0;
    report.leaf7_ebx = report.has_leaf7 ? ebx : 0;
#endif
    return report;
}

} // namespace

bool fill_path_runs_on(FillPathId path, const CpuReport& report) {
    // The upper halves of the ymm registers survive a task switch only where
    // the operating system saves the SSE and AVX state; the AVX-512
    // registers need the opmask and all of the zmm state besides.
    const bool os_saves_ymm =
        (report.leaf1_ecx & leaf1_ecx_osxsave) != 0 && (report.xcr0 & xcr0_ymm) == xcr0_ymm;
    const bool os_saves_zmm = os_saves_ymm && (report.xcr0 & xcr0_zmm) == xcr0_zmm;
    const bool avx = (report.leaf1_ecx & leaf1_ecx_avx) != 0 && report.has_leaf7;
    switch (path) {
    case fill_path_scalar:
        return true;
    case fill_path_sse2:
        return (report.leaf1_edx & leaf1_edx_sse2) != 0;
    case fill_path_avx2:
        return avx && os_saves_ymm && (report.leaf7_ebx & leaf7_ebx_avx2) != 0;
    case fill_path_avx512:
        return avx && os_saves_zmm && (report.leaf7_ebx & leaf7_ebx_avx512f) != 0;
    default:
        return false;
    }
}

bool fill_path_supported(FillPathId path) {
    return fill_path_runs_on(path, report_cpu());
}

namespace {

void fill_block_first(GeneratorState* state, unsigned char* block) {
    select_fill_path(best_fill_path());
    fill_function(state, block);
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
    fill_function = path_functions[path];
    fill_path = path;
    return true;
}

void reset_fill_path() {
    fill_function = fill_block_first;
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
