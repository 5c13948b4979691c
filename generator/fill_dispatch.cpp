// fill_block, match_block and the choice of their path: once per run, on the
// first call of either, the fastest row of fill_paths that the processor and
// the operating system support.
#include "fill_paths.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

void fill_block_first(GeneratorState* state, unsigned char* block);
bool match_block_first(GeneratorState* state, const unsigned char* input);

// Plain pointers set once, so that a block pays one indirect call and no
// test of its own. They start at the chooser.
FillFunction fill_function = fill_block_first;
MatchFunction match_function = match_block_first;
FillPathId fill_path = fill_path_count;

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

bool has_bits(uint32_t reported, uint32_t needed) {
    return (reported & needed) == needed;
}

void fill_block_first(GeneratorState* state, unsigned char* block) {
    select_fill_path(best_fill_path());
    fill_function(state, block);
}

bool match_block_first(GeneratorState* state, const unsigned char* input) {
    select_fill_path(best_fill_path());
    return match_function(state, input);
}

} // namespace

bool fill_path_runs_on(FillPathId path, const CpuReport& report) {
    if (path >= fill_path_count) {
        return false;
    }
    const CpuNeeds& needs = fill_paths[path].needs;
    return has_bits(report.leaf1_ecx, needs.leaf1_ecx) &&
           has_bits(report.leaf1_edx, needs.leaf1_edx) &&
           (needs.leaf7_ebx == 0 || report.has_leaf7) &&
           has_bits(report.leaf7_ebx, needs.leaf7_ebx) && has_bits(report.xcr0, needs.xcr0);
}

bool fill_path_supported(FillPathId path) {
    return fill_path_runs_on(path, report_cpu());
}

FillPathId best_fill_path_on(const CpuReport& report) {
    FillPathId path = fill_path_count - 1;
    while (path > fill_path_scalar && !fill_path_runs_on(path, report)) {
        --path;
    }
    return path;
}

FillPathId best_fill_path() {
    return best_fill_path_on(report_cpu());
}

bool select_fill_path(FillPathId path) {
    if (!fill_path_supported(path)) {
        return false;
    }
    fill_function = fill_paths[path].fill;
    match_function = fill_paths[path].match;
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
    if (path >= fill_path_count) {
        return "none";
    }
    return fill_paths[path].name;
}

void fill_block(GeneratorState* state, unsigned char* block) {
    fill_function(state, block);
}

bool match_block(GeneratorState* state, const unsigned char* input) {
    return match_function(state, input);
}
