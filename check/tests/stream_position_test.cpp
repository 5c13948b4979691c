// Where sprayl data belongs: the register from a header, the place of
// eight words in their run, and jumps of the register.
#include "stream_check.h"
#include "stream_position.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

namespace {

TEST(RecoverGeneratorState, GivesTheRegisterAfterTheFourOutputsOfTheHeader) {
    // The first four outputs from the register 1, 2, 3, 4.
    const unsigned char header[16] = {0xe3, 0x87, 0x05, 0x00, 0x85, 0x11, 0x0b, 0x00,
                                      0x9c, 0xb5, 0x10, 0x00, 0xb2, 0x19, 0x18, 0x00};
    GeneratorState state = recover_generator_state(header);
    EXPECT_EQ(state.word[0], 0x1fa9eu);
    EXPECT_EQ(state.word[1], 0x1e4du);
    EXPECT_EQ(state.word[2], 0x1fbu);
    EXPECT_EQ(state.word[3], 0x1eu);
    EXPECT_EQ(state.counter, 4 * weyl_increment);
    // ... and the stream goes on with outputs 5 to 8 of that run.
    EXPECT_EQ(next_word(&state), 0x0039FA2Eu);
    EXPECT_EQ(next_word(&state), 0x021C9328u);
    EXPECT_EQ(next_word(&state), 0x1E73BCABu);
    EXPECT_EQ(next_word(&state), 0xFACC2CABu);
}

// Eight words of any run tell their index and the register; jumps reach the
// same state as stepping, forward and back.
TEST(StreamPosition, WordsTellTheirPlaceAndJumpsMatchStepping) {
    GeneratorState run = {{0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x0BADF00D}, 0};
    std::vector<uint32_t> outputs(70000);
    for (uint32_t& word : outputs) {
        word = next_word(&run);
    }
    GeneratorState header_state = {{0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x0BADF00D}, 0};
    for (int i = 0; i < 4; ++i) {
        next_word(&header_state);
    }
    for (uint32_t index : {0u, 1u, 3u, 4u, 1000u, 1025u, 69000u}) {
        SCOPED_TRACE(index);
        WordPlace place;
        ASSERT_TRUE(recognise_words(&outputs[index], &place));
        EXPECT_EQ(place.index, index);
        GeneratorState after = place.after;
        EXPECT_EQ(next_word(&after), outputs[index + recognised_words]);
        GeneratorState jumped = state_after_outputs(&header_state, index);
        EXPECT_EQ(next_word(&jumped), outputs[index]);
    }
    uint32_t words[4] = {1, 2, 3, 4};
    jump_register(words, 123456789012);
    jump_register(words, -123456789012);
    EXPECT_EQ(std::vector<uint32_t>(words, words + 4), (std::vector<uint32_t>{1, 2, 3, 4}));
    // Words that are not consecutive outputs are not recognised.
    uint32_t shuffled[recognised_words];
    std::memcpy(shuffled, &outputs[500], sizeof shuffled);
    std::swap(shuffled[2], shuffled[5]);
    WordPlace place;
    EXPECT_FALSE(recognise_words(shuffled, &place));
}

} // namespace
