// Seeding from the real KERNEL32 identifiers and clocks.
#include "gather_seed.h"
#include "generator.h"
#include "platform.h"

#include <gtest/gtest.h>

namespace {

TEST(GatherSeed, TakesTheIdentifiersAndTheClocksOfThisProcess) {
    GeneratorState state = {{0xDEAD, 0xBEEF, 0xF00D, 0xCAFE}, 0x1234};
    DWORD ticks_before = GetTickCount();
    gather_seed(&state);
    DWORD ticks_after = GetTickCount();

    EXPECT_EQ(state.word[0], GetCurrentThreadId() * 65599u + GetCurrentProcessId());
    EXPECT_GE(state.word[1], ticks_before);
    EXPECT_LE(state.word[1], ticks_after);
    EXPECT_NE(state.word[0] | state.word[1] | state.word[2] | state.word[3], 0u);
    EXPECT_EQ(state.counter, 0u);
}

} // namespace
