#include "generator.h"

#include "fill_paths.h"

#include "platform.h"

void gather_seed(GeneratorState* state) {
    uint32_t tid = GetCurrentThreadId();
    uint32_t pid = GetCurrentProcessId();
    state->word[0] = tid * seed_multiplier + pid;
    // An all-zero register would stay zero for ever, so sample the clocks
    // until at least one word is set.
    do {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        LARGE_INTEGER performance;
        QueryPerformanceCounter(&performance);
        uint64_t pc = static_cast<uint64_t>(performance.QuadPart);
        state->word[1] = GetTickCount();
        state->word[2] = now.dwLowDateTime + now.dwHighDateTime * seed_multiplier;
        state->word[3] =
            static_cast<uint32_t>(pc) + static_cast<uint32_t>(pc >> 32) * seed_multiplier;
    } while ((state->word[0] | state->word[1] | state->word[2] | state->word[3]) == 0);
    state->counter = 0;
}

// GCC's reassociation regroups the exclusive-ors of the step so that the
// newest word goes through four operations before the next step can use it,
// where two suffice as written; kept as written, the loop runs about 1.5
// times as fast.
__attribute__((optimize("no-tree-reassoc"))) void fill_block_scalar(GeneratorState* state,
                                                                    unsigned char* block) {
    // Work on a local copy: stores through the byte pointer could alias
    // *state and would force a reload of every word on every step.
    GeneratorState local = *state;
    for (uint32_t i = 0; i < block_words; ++i) {
        uint32_t v = next_word(&local);
        block[4 * i + 0] = static_cast<unsigned char>(v);
        block[4 * i + 1] = static_cast<unsigned char>(v >> 8);
        block[4 * i + 2] = static_cast<unsigned char>(v >> 16);
        block[4 * i + 3] = static_cast<unsigned char>(v >> 24);
    }
    *state = local;
}
