#include "gather_seed.h"

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
