// The generator as the Windows build compiles it: known vectors, and seeding
// from the real KERNEL32 clocks and identifiers.
#include "generator.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Vector {
    const char* name;
    GeneratorState start;
    std::vector<uint32_t> first_outputs;
    uint32_t last_output_of_block;
    GeneratorState after_block;
};

const Vector vectors[] = {
    {"SmallRegister",
     {{1, 2, 3, 4}, 0},
     {0x000587E3, 0x000B1185, 0x0010B59C, 0x001819B2, 0x0039FA2E, 0x021C9328, 0x1E73BCAB,
      0xFACC2CAB},
     0x2ADB8EA5,
     {{0xD25F3EA5, 0x32C3CDFD, 0xE7E6B10B, 0xB2F5C899}, 0x587C5000}},
    {"CounterWraps",
     {{0x12345678, 0x9ABCDEF0, 0x0FEDCBA9, 0x87654321}, 0xFFFFFFF0},
     {0xDABA8D78, 0x65E9A1B0, 0xFC1421C1, 0x0807058C},
     0x6B367FF9,
     {{0x12BA3009, 0x436BD1C9, 0x51DB5D53, 0x7A61E0F8}, 0x587C4FF0}},
};

uint32_t word_at(const unsigned char* block, uint32_t index) {
    const unsigned char* b = block + 4 * index;
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void expect_state(const GeneratorState& actual, const GeneratorState& expected) {
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(actual.word[i], expected.word[i]) << "word[" << i << "]";
    }
    EXPECT_EQ(actual.counter, expected.counter);
}

TEST(GeneratorVectors, NextWordGivesTheKnownOutputs) {
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.name);
        GeneratorState state = v.start;
        for (size_t i = 0; i < v.first_outputs.size(); ++i) {
            EXPECT_EQ(next_word(&state), v.first_outputs[i]) << "output " << i + 1;
        }
    }
}

TEST(GeneratorVectors, FillBlockStoresTheOutputsLittleEndianAndCarriesTheState) {
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.name);
        std::vector<unsigned char> block(block_bytes + 8, 0xEE);
        GeneratorState state = v.start;
        fill_block(&state, block.data() + 4);

        for (size_t i = 0; i < v.first_outputs.size(); ++i) {
            EXPECT_EQ(word_at(block.data() + 4, static_cast<uint32_t>(i)), v.first_outputs[i]);
        }
        EXPECT_EQ(word_at(block.data() + 4, block_words - 1), v.last_output_of_block);
        expect_state(state, v.after_block);
        // Nothing written outside the block.
        EXPECT_EQ(word_at(block.data(), 0), 0xEEEEEEEEu);
        EXPECT_EQ(word_at(block.data() + 4 + block_bytes, 0), 0xEEEEEEEEu);
    }
}

TEST(GeneratorVectors, BlockStartsWithTheKnownBytes) {
    const unsigned char expected[16] = {0xe3, 0x87, 0x05, 0x00, 0x85, 0x11, 0x0b, 0x00,
                                        0x9c, 0xb5, 0x10, 0x00, 0xb2, 0x19, 0x18, 0x00};
    std::vector<unsigned char> block(block_bytes);
    GeneratorState state = vectors[0].start;
    fill_block(&state, block.data());
    EXPECT_EQ(std::vector<unsigned char>(block.begin(), block.begin() + 16),
              std::vector<unsigned char>(expected, expected + 16));
}

TEST(GeneratorVectors, ConsecutiveBlocksContinueOneStream) {
    GeneratorState by_blocks = vectors[1].start;
    GeneratorState by_words = vectors[1].start;
    std::vector<unsigned char> block(block_bytes);
    for (int b = 0; b < 3; ++b) {
        fill_block(&by_blocks, block.data());
        for (uint32_t i = 0; i < block_words; ++i) {
            ASSERT_EQ(word_at(block.data(), i), next_word(&by_words))
                << "block " << b << " word " << i;
        }
    }
}

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
