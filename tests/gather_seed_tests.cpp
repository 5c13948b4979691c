// Seeding from the identifiers and clocks, against the scripted platform.
#include "fake_platform.h"
#include "gather_seed.h"
#include "generator.h"
#include "generator_vectors.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct SeedVector {
    const char* name;
    uint32_t thread_id;
    uint32_t process_id;
    std::vector<ClockSample> samples;
    GeneratorState expected;
    uint64_t samples_taken;
};

const SeedVector seed_vectors[] = {
    {"plain values", 2, 3, {{5, 1, 1000, 0, 7}}, {{131201, 7, 65604, 1000}, 0}, 1},
    {"products wrap",
     2,
     3,
     {{0x5A5A5A5A, 0x01D66F3E, 0x00000001, 0x00010000, 9}},
     {{131201, 9, 0x3D5DBA9C, 0x003F0001}, 0},
     1},
    {"identity word zero, clocks sampled until one is set",
     0,
     0,
     {{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 42}},
     {{0, 42, 0, 0}, 0},
     3},
    {"identity word zero, performance counter alone",
     0x10000,
     0xFFC10000,
     {{0, 0, 0, 0, 0}, {0, 0, 0x7, 0, 0}},
     {{0, 0, 0, 7}, 0},
     2},
};

TEST(Generator, GatherSeed) {
    for (const SeedVector& v : seed_vectors) {
        SCOPED_TRACE(v.name);
        reset_fake_platform();
        fake.thread_id = v.thread_id;
        fake.process_id = v.process_id;
        fake.clock_samples = v.samples;
        GeneratorState state{{9, 9, 9, 9}, 9};
        gather_seed(&state);
        expect_same_state(v.expected, state);
        EXPECT_EQ(fake.clock_samples_taken, v.samples_taken);
    }
}

TEST(Generator, GatherSeedAsksIdentityOnceThenTheClocksInOrder) {
    reset_fake_platform();
    fake.thread_id = 0;
    fake.process_id = 0;
    fake.clock_samples = {{0, 0, 0, 0, 0}, {0, 0, 0, 0, 1}};
    GeneratorState state{};
    gather_seed(&state);
    const std::vector<std::string> expected = {
        "GetCurrentThreadId",      "GetCurrentProcessId", "GetSystemTimeAsFileTime",
        "QueryPerformanceCounter", "GetTickCount",        "GetSystemTimeAsFileTime",
        "QueryPerformanceCounter", "GetTickCount"};
    EXPECT_EQ(fake.calls, expected);
}

TEST(Generator, FirstOutputAfterSeedingAddsTheIncrement) {
    reset_fake_platform();
    GeneratorState state{};
    gather_seed(&state);
    GeneratorState register_only = state;
    uint32_t first = next_word(&state);
    EXPECT_EQ(first, state.word[0] + weyl_increment);
    EXPECT_NE(first, state.word[0]);
    EXPECT_EQ(register_only.word[0], state.word[1]);
}

} // namespace
