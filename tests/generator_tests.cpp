// The generator's step and blocks, without any platform.
#include "generator.h"
#include "generator_vectors.h"
#include "reference_stream.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Generator, NextWordGivesTheKnownOutputs) {
    for (const KnownBlock& known : known_blocks) {
        SCOPED_TRACE(known.name);
        GeneratorState state = known.start;
        for (uint32_t expected : known.first_outputs) {
            EXPECT_EQ(next_word(&state), expected);
        }
    }
}

TEST(Generator, BlocksAreTheWordsOfNextWordInOrder) {
    // Three blocks in a row, on whichever fill the processor gets, against
    // the stream built word by word, and the state after them.
    for (const KnownBlock& known : known_blocks) {
        SCOPED_TRACE(known.name);
        GeneratorState by_words = known.start;
        std::vector<unsigned char> expected = reference_bytes(by_words, 3 * block_bytes);
        for (uint32_t i = 0; i < 3 * block_words; ++i) {
            next_word(&by_words);
        }
        GeneratorState by_blocks = known.start;
        std::vector<unsigned char> blocks(3 * block_bytes + 2, 0xEE);
        for (uint32_t i = 0; i < 3; ++i) {
            fill_block(&by_blocks, blocks.data() + 1 + i * block_bytes);
        }
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), blocks.begin() + 1));
        EXPECT_EQ(blocks.front(), 0xEE); // nothing written outside the blocks
        EXPECT_EQ(blocks.back(), 0xEE);
        expect_same_state(by_words, by_blocks);
    }
}

TEST(ReferenceStream, TellsTheStartOfARunFromAnythingElse) {
    // The judge of the end-to-end tests: a run's stream, cut anywhere,
    // passes; one changed byte after the first 16, a run that does not
    // start at counter 0, or too little to judge, fails.
    const GeneratorState run = known_blocks[0].start;
    std::vector<unsigned char> stream = reference_bytes(run, 3 * block_bytes + 3);
    EXPECT_TRUE(is_reference_stream(stream));
    EXPECT_TRUE(is_reference_stream(std::vector<unsigned char>(stream.begin(), stream.begin() + 16)));
    EXPECT_TRUE(is_reference_stream(std::vector<unsigned char>(stream.begin(), stream.begin() + 21)));
    for (size_t offset : {size_t{16}, size_t{19}, size_t{20}, size_t{block_bytes},
                          stream.size() - 4, stream.size() - 1}) {
        SCOPED_TRACE(testing::Message() << "byte " << offset << " changed");
        std::vector<unsigned char> damaged = stream;
        damaged[offset] ^= 0x10;
        EXPECT_FALSE(is_reference_stream(damaged));
    }
    const GeneratorState later = known_blocks[1].start; // counter not 0
    EXPECT_FALSE(is_reference_stream(reference_bytes(later, 4096)));
    EXPECT_FALSE(is_reference_stream(std::vector<unsigned char>(stream.begin(), stream.begin() + 15)));
}

} // namespace
