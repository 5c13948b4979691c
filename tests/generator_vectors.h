// Known blocks of the generator, and helpers to compare blocks and states.
#pragma once

#include "generator.h"

#include <gtest/gtest.h>

#include <vector>

struct KnownBlock {
    const char* name;
    GeneratorState start;
    std::vector<uint32_t> first_outputs;
    uint32_t last_output;
    GeneratorState after_block;
};

inline const KnownBlock known_blocks[] = {
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

// The first 16 bytes of the block from the first known state.
inline const unsigned char known_first_bytes[16] = {0xe3, 0x87, 0x05, 0x00, 0x85, 0x11, 0x0b, 0x00,
                                                    0x9c, 0xb5, 0x10, 0x00, 0xb2, 0x19, 0x18, 0x00};

inline uint32_t word_at(const unsigned char* block, uint32_t index) {
    const unsigned char* p = block + 4 * index;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void expect_same_state(const GeneratorState& expected, const GeneratorState& actual) {
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(expected.word[i], actual.word[i]) << "word[" << i << "]";
    }
    EXPECT_EQ(expected.counter, actual.counter) << "counter";
}
