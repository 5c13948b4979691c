#include "fake_platform.h"
#include "generator.h"
#include "reference_stream.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct StepVector {
    const char* name;
    GeneratorState start;
    std::vector<uint32_t> first_outputs;
    uint32_t last_output_of_block;
    GeneratorState after_block;
};

const StepVector step_vectors[] = {
    {"small register, counter 0",
     {{1, 2, 3, 4}, 0},
     {0x000587E3, 0x000B1185, 0x0010B59C, 0x001819B2, 0x0039FA2E, 0x021C9328, 0x1E73BCAB,
      0xFACC2CAB},
     0x2ADB8EA5,
     {{0xD25F3EA5, 0x32C3CDFD, 0xE7E6B10B, 0xB2F5C899}, 0x587C5000}},
    {"counter wraps",
     {{0x12345678, 0x9ABCDEF0, 0x0FEDCBA9, 0x87654321}, 0xFFFFFFF0},
     {0xDABA8D78, 0x65E9A1B0, 0xFC1421C1, 0x0807058C},
     0x6B367FF9,
     {{0x12BA3009, 0x436BD1C9, 0x51DB5D53, 0x7A61E0F8}, 0x587C4FF0}},
};

void expect_state(const GeneratorState& actual, const GeneratorState& expected) {
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(actual.word[i], expected.word[i]) << "word[" << i << "]";
    }
    EXPECT_EQ(actual.counter, expected.counter);
}

uint32_t word_at(const unsigned char* block, uint32_t index) {
    const unsigned char* p = block + 4 * index;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

TEST(Generator, StepAndBlockVectors) {
    for (const StepVector& v : step_vectors) {
        SCOPED_TRACE(v.name);
        GeneratorState stepped = v.start;
        for (uint32_t expected : v.first_outputs) {
            EXPECT_EQ(next_word(&stepped), expected);
        }

        GeneratorState filled = v.start;
        unsigned char block[block_bytes] = {};
        fill_block(&filled, block);
        for (uint32_t i = 0; i < v.first_outputs.size(); ++i) {
            EXPECT_EQ(word_at(block, i), v.first_outputs[i]) << "output " << i;
        }
        EXPECT_EQ(word_at(block, block_words - 1), v.last_output_of_block);
        expect_state(filled, v.after_block);

        std::vector<unsigned char> expected = reference_bytes(v.start, block_bytes);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), block));
    }
}

TEST(Generator, BlockIsLittleEndian) {
    GeneratorState state{{1, 2, 3, 4}, 0};
    unsigned char block[block_bytes] = {};
    fill_block(&state, block);
    const unsigned char expected[16] = {0xe3, 0x87, 0x05, 0x00, 0x85, 0x11, 0x0b, 0x00,
                                        0x9c, 0xb5, 0x10, 0x00, 0xb2, 0x19, 0x18, 0x00};
    EXPECT_TRUE(std::equal(expected, expected + 16, block));
}

TEST(Generator, ConsecutiveBlocksContinueTheStream) {
    GeneratorState state{{0x12345678, 0x9ABCDEF0, 0x0FEDCBA9, 0x87654321}, 0xFFFFFFF0};
    std::vector<unsigned char> expected = reference_bytes(state, 3 * block_bytes);
    std::vector<unsigned char> blocks(3 * block_bytes);
    for (uint32_t i = 0; i < 3; ++i) {
        fill_block(&state, blocks.data() + i * block_bytes);
    }
    EXPECT_EQ(blocks, expected);
}

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
        expect_state(state, v.expected);
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
