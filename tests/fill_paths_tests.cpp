// The lane paths of fill_block against the scalar reference, the jump
// matrices against plain stepping, and the choice of path.
#include "fill_paths.h"
#include "generator.h"
#include "generator_vectors.h"
#include "jump.h"
#include "jump_matrix.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

// The rows of fill_paths that run lanes side by side.
std::vector<FillPathId> lane_paths() {
    std::vector<FillPathId> paths;
    for (FillPathId path = 0; path < fill_path_count; ++path) {
        if (fill_paths[path].lanes > 1) {
            paths.push_back(path);
        }
    }
    return paths;
}

// The id of the row with this name; fill_path_count where there is none.
FillPathId path_named(const char* name) {
    FillPathId path = 0;
    while (path < fill_path_count && std::strcmp(fill_paths[path].name, name) != 0) {
        ++path;
    }
    return path;
}

std::string test_name(const ::testing::TestParamInfo<FillPathId>& param_info) {
    return fill_path_name(param_info.param);
}

GeneratorState make_state(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t counter) {
    GeneratorState state{};
    state.word[0] = w0;
    state.word[1] = w1;
    state.word[2] = w2;
    state.word[3] = w3;
    state.counter = counter;
    return state;
}

void expect_same_state(const GeneratorState& expected, const GeneratorState& actual, int block) {
    SCOPED_TRACE(testing::Message() << "after block " << block);
    expect_same_state(expected, actual);
}

// Runs blocks consecutive blocks of the path and of the reference from the
// same state and compares every byte and the state after each block.
void expect_path_matches_reference(FillPathId path, GeneratorState start, int blocks) {
    GeneratorState reference = start;
    GeneratorState lanes = start;
    std::vector<unsigned char> expected(block_bytes);
    // One byte in front, so that the path also meets an unaligned block.
    std::vector<unsigned char> actual_storage(block_bytes + 1);
    unsigned char* actual = actual_storage.data() + 1;
    for (int block = 0; block < blocks; ++block) {
        fill_block_scalar(&reference, expected.data());
        std::memset(actual, 0xA5, block_bytes);
        select_fill_path(path);
        fill_block(&lanes, actual);
        ASSERT_EQ(0, std::memcmp(expected.data(), actual, block_bytes))
            << fill_path_name(path) << ": first difference in block " << block;
        expect_same_state(reference, lanes, block);
    }
}

uint32_t random_word(std::mt19937& random) {
    return static_cast<uint32_t>(random());
}

// Puts back the path choice that was there before, chosen or not yet made.
void restore_fill_path(FillPathId saved) {
    if (saved == fill_path_count) {
        reset_fill_path();
    } else {
        select_fill_path(saved);
    }
}

// The tests of one path choose it; afterwards they put back what they found.
class OnePath : public ::testing::TestWithParam<FillPathId> {
  protected:
    void SetUp() override {
        saved_path = selected_fill_path();
    }
    void TearDown() override {
        restore_fill_path(saved_path);
    }

  private:
    FillPathId saved_path = fill_path_count;
};

class EveryPath : public OnePath {};

TEST_P(EveryPath, GivesTheKnownBlocks) {
    const FillPathId path = GetParam();
    if (!fill_path_supported(path)) {
        GTEST_SKIP() << fill_path_name(path) << " is not supported here";
    }
    ASSERT_TRUE(select_fill_path(path));
    for (const KnownBlock& known : known_blocks) {
        GeneratorState state = known.start;
        std::vector<unsigned char> block(block_bytes);
        fill_block(&state, block.data());
        for (uint32_t i = 0; i < known.first_outputs.size(); ++i) {
            EXPECT_EQ(known.first_outputs[i], word_at(block.data(), i)) << "output " << i;
        }
        EXPECT_EQ(known.last_output, word_at(block.data(), block_words - 1));
        expect_same_state(known.after_block, state, 0);
    }
}

TEST_P(EveryPath, StoresTheWordsLeastSignificantByteFirst) {
    const FillPathId path = GetParam();
    if (!fill_path_supported(path)) {
        GTEST_SKIP() << fill_path_name(path) << " is not supported here";
    }
    ASSERT_TRUE(select_fill_path(path));
    GeneratorState state = make_state(1, 2, 3, 4, 0);
    unsigned char block[block_bytes];
    fill_block(&state, block);
    EXPECT_EQ(0, std::memcmp(known_first_bytes, block, sizeof known_first_bytes));
}

// match_block against the bytes of the scalar fill, from the known states
// and a random one, the input one byte off alignment: every path accepts
// them, rejects them with any one byte changed, and leaves the state where
// the fill does either way.
TEST_P(EveryPath, MatchBlockAcceptsTheBlockAndRejectsAnyChangedByte) {
    const FillPathId path = GetParam();
    if (!fill_path_supported(path)) {
        GTEST_SKIP() << fill_path_name(path) << " is not supported here";
    }
    ASSERT_TRUE(select_fill_path(path));
    std::mt19937 random(16384u);
    std::vector<GeneratorState> starts;
    for (const KnownBlock& known : known_blocks) {
        starts.push_back(known.start);
    }
    starts.push_back(make_state(random_word(random), random_word(random), random_word(random),
                                random_word(random), random_word(random)));
    std::vector<unsigned char> storage(block_bytes + 1);
    unsigned char* input = storage.data() + 1;
    for (const GeneratorState& start : starts) {
        GeneratorState after = start;
        fill_block_scalar(&after, input);
        GeneratorState state = start;
        EXPECT_TRUE(match_block(&state, input));
        expect_same_state(after, state);
        for (uint32_t i = 0; i < block_bytes; ++i) {
            const unsigned char flip = static_cast<unsigned char>(1u << (i % 8));
            input[i] ^= flip;
            state = start;
            const bool matched = match_block(&state, input);
            input[i] ^= flip;
            ASSERT_FALSE(matched) << "bit " << i % 8 << " of byte " << i << " changed";
            ASSERT_EQ(0, std::memcmp(&after, &state, sizeof state)) << "byte " << i << " changed";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FillPaths, EveryPath, ::testing::Range(FillPathId{0}, fill_path_count),
                         test_name);

class LanePath : public OnePath {};

TEST_P(LanePath, MatchesTheReferenceOverManyBlocksFromTheKnownStates) {
    const FillPathId path = GetParam();
    if (!fill_path_supported(path)) {
        GTEST_SKIP() << fill_path_name(path) << " is not supported here";
    }
    for (const KnownBlock& known : known_blocks) {
        expect_path_matches_reference(path, known.start, 64);
    }
}

TEST_P(LanePath, MatchesTheReferenceFromRandomStates) {
    const FillPathId path = GetParam();
    if (!fill_path_supported(path)) {
        GTEST_SKIP() << fill_path_name(path) << " is not supported here";
    }
    std::mt19937 random(20201008u);
    for (int round = 0; round < 32; ++round) {
        GeneratorState start =
            make_state(random_word(random), random_word(random), random_word(random),
                       random_word(random), random_word(random));
        expect_path_matches_reference(path, start, 4);
    }
}

TEST_P(LanePath, MatchesTheReferenceFromSparseRegisters) {
    // A single register bit set exercises each column of the jump alone.
    const FillPathId path = GetParam();
    if (!fill_path_supported(path)) {
        GTEST_SKIP() << fill_path_name(path) << " is not supported here";
    }
    for (uint32_t bit = 0; bit < register_bits; ++bit) {
        GeneratorState start = make_state(0, 0, 0, 0, 0xFFFFFFFFu - bit);
        start.word[bit / 32] = 1u << (bit % 32);
        expect_path_matches_reference(path, start, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(FillPaths, LanePath, ::testing::ValuesIn(lane_paths()), test_name);
// A processor without lane paths has none to run.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(LanePath);

TEST(JumpMatrix, JumpsAsFarAsThatManySteps) {
    std::mt19937 random(4096u);
    const uint32_t distances[] = {0, 1, 2, 3, 4, 5, 31, 32, 33, 255, 256, 512, 1000, 1024, 4095};
    for (uint32_t steps : distances) {
        const JumpMatrix matrix = make_jump_matrix(steps);
        for (int round = 0; round < 8; ++round) {
            uint32_t from[4] = {random_word(random), random_word(random), random_word(random),
                                random_word(random)};
            uint32_t stepped[4] = {from[0], from[1], from[2], from[3]};
            for (uint32_t s = 0; s < steps; ++s) {
                step_register(stepped);
            }
            uint32_t jumped[4] = {};
            apply_jump(matrix, from, jumped);
            for (int w = 0; w < 4; ++w) {
                EXPECT_EQ(stepped[w], jumped[w]) << steps << " steps, word " << w;
            }
        }
    }
}

TEST(JumpMatrix, StepRegisterIsTheRegisterPartOfNextWord) {
    GeneratorState state = make_state(0x12345678, 0x9ABCDEF0, 0x0FEDCBA9, 0x87654321, 0);
    uint32_t word[4] = {state.word[0], state.word[1], state.word[2], state.word[3]};
    for (int s = 0; s < 100; ++s) {
        next_word(&state);
        step_register(word);
    }
    for (int w = 0; w < 4; ++w) {
        EXPECT_EQ(state.word[w], word[w]);
    }
}

TEST(JumpMatrix, LaneTablesHoldTheJumpsToEachSegment) {
    for (FillPathId path : lane_paths()) {
        const uint32_t lanes = fill_paths[path].lanes;
        const uint32_t segment = block_words / lanes;
        const uint32_t* entry = lane_jumps(lanes);
        ASSERT_NE(nullptr, entry) << lanes << " lanes";
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(entry) % 64) << lanes << " lanes";
        for (uint32_t lane = 0; lane < lanes; ++lane) {
            const JumpMatrix matrix = make_jump_matrix(lane * segment);
            for (uint32_t p = 0; p < register_nibbles; ++p) {
                for (uint32_t v = 0; v < 16; ++v) {
                    uint32_t from[4] = {0, 0, 0, 0};
                    from[p / 8] = v << (4 * (p % 8));
                    uint32_t jumped[4] = {};
                    apply_jump(matrix, from, jumped);
                    for (uint32_t w = 0; w < 4; ++w) {
                        ASSERT_EQ(jumped[w], entry[((16 * p + v) * 4 + w) * lanes + lane])
                            << lanes << " lanes, lane " << lane << ", nibble " << p << ", value "
                            << v << ", word " << w;
                    }
                }
            }
        }
        // Built once: later calls hand back the same table.
        EXPECT_EQ(entry, lane_jumps(lanes));
    }
    EXPECT_EQ(nullptr, lane_jumps(2));
}

// The dispatch tests change the process-wide choice; each puts back what it
// found, also when it fails, so that no test depends on the order they run in.
class FillDispatch : public OnePath {};

TEST_F(FillDispatch, FirstBlockChoosesTheBestSupportedPath) {
    reset_fill_path();
    EXPECT_EQ(fill_path_count, selected_fill_path());
    GeneratorState state = make_state(1, 2, 3, 4, 0);
    unsigned char block[block_bytes];
    fill_block(&state, block);
    EXPECT_EQ(best_fill_path(), selected_fill_path());
    EXPECT_TRUE(fill_path_supported(selected_fill_path()));
    EXPECT_EQ(0x000587E3u, word_at(block, 0));
}

TEST_F(FillDispatch, FirstMatchChoosesTheBestSupportedPath) {
    reset_fill_path();
    GeneratorState state = make_state(1, 2, 3, 4, 0);
    unsigned char block[block_bytes];
    std::memcpy(block, known_first_bytes, sizeof known_first_bytes);
    EXPECT_FALSE(match_block(&state, block));
    EXPECT_EQ(best_fill_path(), selected_fill_path());
}

TEST_F(FillDispatch, TheChosenPathIsSupportedAndGivesTheReferenceBytes) {
    const FillPathId chosen = best_fill_path();
    ASSERT_LT(chosen, fill_path_count);
    EXPECT_TRUE(fill_path_supported(chosen)) << fill_path_name(chosen);
    expect_path_matches_reference(chosen, make_state(1, 2, 3, 4, 0), 2);
}

TEST_F(FillDispatch, SupportAgreesWithTheCompilersOwnDetection) {
    EXPECT_TRUE(fill_path_supported(fill_path_scalar));
#if defined(__i386__) || defined(__x86_64__)
    // GCC's run-time check also asks the operating system about the AVX
    // state.
    EXPECT_EQ(__builtin_cpu_supports("sse2") != 0, fill_path_supported(path_named("sse2")));
    EXPECT_EQ(__builtin_cpu_supports("avx2") != 0, fill_path_supported(path_named("avx2")));
    EXPECT_EQ(__builtin_cpu_supports("avx512f") != 0, fill_path_supported(path_named("avx512")));
#endif
    EXPECT_FALSE(fill_path_supported(fill_path_count));
}

#if defined(__i386__) || defined(__x86_64__)

// What the processor and the operating system report, which paths may run,
// and which one is chosen: SSE2 by CPUID alone; AVX2 needs the AVX and AVX2
// bits and the ymm state saved (OSXSAVE and XCR0 bits 1, 2); AVX-512 needs
// AVX512F and the opmask and zmm state saved as well (XCR0 bits 5, 6, 7).
// The choice is the widest path that may run.
TEST_F(FillDispatch, PathsRunAndAreChosenWhereTheProcessorAndTheOperatingSystemAllowThem) {
    constexpr uint32_t sse2 = 1u << 26;                    // leaf 1 EDX
    constexpr uint32_t osxsave = 1u << 27, avx = 1u << 28; // leaf 1 ECX
    constexpr uint32_t avx2 = 1u << 5, avx512f = 1u << 16; // leaf 7 EBX
    constexpr uint32_t all_state = 0xE7u;                  // x87, SSE, AVX, opmask, zmm
    struct Case {
        const char* name;
        CpuReport report;
        bool sse2, avx2, avx512;
        const char* chosen;
    };
    const Case cases[] = {
        {"nothing", {0, 0, false, 0, 0}, false, false, false, "scalar"},
        {"SSE2 only", {0, sse2, false, 0, 0}, true, false, false, "sse2"},
        {"AVX2, ymm saved", {osxsave | avx, sse2, true, avx2, 0x07u}, true, true, false, "avx2"},
        {"AVX2, XSAVE not enabled", {avx, sse2, true, avx2, 0x07u}, true, false, false, "sse2"},
        {"AVX2, AVX state not saved",
         {osxsave | avx, sse2, true, avx2, 0x03u},
         true,
         false,
         false,
         "sse2"},
        {"AVX2, SSE state not saved",
         {osxsave | avx, sse2, true, avx2, 0x05u},
         true,
         false,
         false,
         "sse2"},
        {"AVX2 without SSE2", {osxsave | avx, 0, true, avx2, 0x07u}, false, true, false, "avx2"},
        {"AVX-512, all saved",
         {osxsave | avx, sse2, true, avx2 | avx512f, all_state},
         true,
         true,
         true,
         "avx512"},
        {"AVX-512, opmask not saved",
         {osxsave | avx, sse2, true, avx2 | avx512f, all_state & ~0x20u},
         true,
         true,
         false,
         "avx2"},
        {"AVX-512, zmm0-15 upper halves not saved",
         {osxsave | avx, sse2, true, avx2 | avx512f, all_state & ~0x40u},
         true,
         true,
         false,
         "avx2"},
        {"AVX-512, zmm16-31 not saved",
         {osxsave | avx, sse2, true, avx2 | avx512f, all_state & ~0x80u},
         true,
         true,
         false,
         "avx2"},
        {"AVX-512, ymm state not saved",
         {osxsave | avx, sse2, true, avx2 | avx512f, all_state & ~0x04u},
         true,
         false,
         false,
         "sse2"},
        {"AVX-512 without AVX2",
         {osxsave | avx, sse2, true, avx512f, all_state},
         true,
         false,
         true,
         "avx512"},
        {"AVX bit clear",
         {osxsave, sse2, true, avx2 | avx512f, all_state},
         true,
         false,
         false,
         "sse2"},
        {"no leaf 7",
         {osxsave | avx, sse2, false, avx2 | avx512f, all_state},
         true,
         false,
         false,
         "sse2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(fill_path_runs_on(fill_path_scalar, c.report));
        EXPECT_EQ(c.sse2, fill_path_runs_on(path_named("sse2"), c.report));
        EXPECT_EQ(c.avx2, fill_path_runs_on(path_named("avx2"), c.report));
        EXPECT_EQ(c.avx512, fill_path_runs_on(path_named("avx512"), c.report));
        EXPECT_FALSE(fill_path_runs_on(fill_path_count, c.report));
        EXPECT_STREQ(c.chosen, fill_path_name(best_fill_path_on(c.report)));
    }
}

#endif

TEST_F(FillDispatch, RefusesUnsupportedPathsAndKeepsTheCurrentOne) {
    ASSERT_TRUE(select_fill_path(fill_path_scalar));
    EXPECT_FALSE(select_fill_path(fill_path_count));
    EXPECT_EQ(fill_path_scalar, selected_fill_path());
    for (FillPathId path = 0; path < fill_path_count; ++path) {
        const FillPathId before = selected_fill_path();
        const bool supported = fill_path_supported(path);
        EXPECT_EQ(supported, select_fill_path(path)) << fill_path_name(path);
        EXPECT_EQ(supported ? path : before, selected_fill_path()) << fill_path_name(path);
    }
}

} // namespace
