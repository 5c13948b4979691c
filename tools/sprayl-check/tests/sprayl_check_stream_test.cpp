// The check on buffers: state recovery, intact inputs in any chunking, and
// damage of every kind found exactly where it is.
#include "check_test_support.h"
#include "stream_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>

namespace {

StreamCheck check; // too large to want on the stack of every test

const size_t chunk_sizes[] = {1, 7, 4099, block_bytes, 1 << 20};

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

TEST(CheckIntact, EveryLengthAndChunkingMatches) {
    const size_t lengths[] = {
        17,           20, 4095, block_bytes - 1, block_bytes, block_bytes + 1, 3 * block_bytes + 5,
        (1 << 20) + 3};
    for (size_t length : lengths) {
        Bytes input = test_stream(length);
        for (size_t chunk : chunk_sizes) {
            SCOPED_TRACE("length " + std::to_string(length) + ", chunk " + std::to_string(chunk));
            check_in_chunks(&check, input, chunk);
            EXPECT_EQ(check.bytes_read, length);
            EXPECT_EQ(bytes_checked(&check), length - header_bytes);
            EXPECT_EQ(check.bytes_differing, 0u);
            EXPECT_EQ(check.range_count, 0u);
            EXPECT_EQ(check_exit_code(&check), exit_intact);
        }
    }
}

TEST(CheckShortInput, NeedsOneByteBeyondTheHeader) {
    struct Case {
        size_t length;
        int exit_code;
    };
    const Case cases[] = {{0, exit_unverifiable},
                          {1, exit_unverifiable},
                          {15, exit_unverifiable},
                          {16, exit_unverifiable},
                          {17, exit_intact}};
    for (const Case& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.length));
        Bytes input = test_stream(c.length);
        check_in_chunks(&check, input, 1 << 20);
        EXPECT_EQ(check.bytes_read, c.length);
        EXPECT_EQ(check_exit_code(&check), c.exit_code);
        EXPECT_EQ(bytes_checked(&check), c.length > 16 ? c.length - 16 : 0);
    }
}

// Damage whose extent is known exactly: every byte in it differs.
struct ExactDamage {
    const char* name;
    size_t offset;
    size_t length;
    unsigned char flip; // xor applied to each byte of the damaged run
};

const size_t damage_input_length = 10 * block_bytes + 1234;

const ExactDamage exact_damages[] = {
    {"bit flip in the first checked byte", 16, 1, 0x01},
    {"bit flip in the last byte of block 1", block_bytes - 1, 1, 0x80},
    {"bit flip in the first byte of block 2", block_bytes, 1, 0x10},
    {"bit flip in mid-stream", 100003, 1, 0x04},
    {"bit flip in the last byte", damage_input_length - 1, 1, 0x02},
    {"overwritten run across a block boundary", 2 * block_bytes - 6, 13, 0xA5},
    {"overwritten run of several blocks", 3 * block_bytes + 77, 3 * block_bytes, 0xFF},
    {"overwritten run to the end", 9 * block_bytes, damage_input_length - 9 * block_bytes, 0x5A},
};

TEST(CheckDamage, ExactDamageIsFoundWhereItIs) {
    for (const ExactDamage& d : exact_damages) {
        Bytes input = test_stream(damage_input_length);
        for (size_t i = d.offset; i < d.offset + d.length; ++i) {
            input[i] ^= d.flip;
        }
        for (size_t chunk : chunk_sizes) {
            SCOPED_TRACE(std::string(d.name) + ", chunk " + std::to_string(chunk));
            check_in_chunks(&check, input, chunk);
            EXPECT_EQ(check_exit_code(&check), exit_differs);
            EXPECT_EQ(check.bytes_read, damage_input_length);
            EXPECT_EQ(check.bytes_differing, d.length);
            ASSERT_EQ(check.range_count, 1u);
            EXPECT_EQ(check.ranges[0].start, d.offset);
            EXPECT_EQ(check.ranges[0].end, d.offset + d.length);
        }
    }
}

// Damage that shifts the stream: what differs after it is a matter of
// chance matches, so the count comes from the word-by-word tally.
struct ShiftedDamage {
    const char* name;
    size_t first_bad; // where the damage starts
    std::function<Bytes(const Bytes&)> damage;
};

// The pieces [start, end) of stream, one after the other.
Bytes pieces_of(const Bytes& stream, std::initializer_list<std::pair<size_t, size_t>> pieces) {
    Bytes joined;
    for (const auto& piece : pieces) {
        size_t at = joined.size();
        joined.resize(at + piece.second - piece.first);
        std::memcpy(joined.data() + at, stream.data() + piece.first, piece.second - piece.first);
    }
    return joined;
}

Bytes without_block(const Bytes& stream, size_t block) {
    return pieces_of(stream,
                     {{0, block * block_bytes}, {(block + 1) * block_bytes, stream.size()}});
}

Bytes with_block_twice(const Bytes& stream, size_t block) {
    return pieces_of(stream,
                     {{0, (block + 1) * block_bytes}, {block * block_bytes, stream.size()}});
}

// What a drive that fakes its capacity gives back: past its real size, the
// writes went to the start again.
Bytes wrapped_at(const Bytes& stream, size_t capacity) {
    return pieces_of(stream, {{0, capacity}, {0, stream.size() - capacity}});
}

Bytes zeroed_from(const Bytes& stream, size_t offset) {
    Bytes damaged = stream;
    std::memset(damaged.data() + offset, 0, damaged.size() - offset);
    return damaged;
}

const ShiftedDamage shifted_damages[] = {
    {"dropped block 2", block_bytes, [](const Bytes& s) { return without_block(s, 1); }},
    {"dropped block 7", 6 * block_bytes, [](const Bytes& s) { return without_block(s, 6); }},
    {"block 1 twice", block_bytes, [](const Bytes& s) { return with_block_twice(s, 0); }},
    {"block 5 twice", 5 * block_bytes, [](const Bytes& s) { return with_block_twice(s, 4); }},
    {"capacity wraps at 5 blocks", 5 * block_bytes,
     [](const Bytes& s) { return wrapped_at(s, 5 * block_bytes); }},
    {"zeros from an odd offset", 70001, [](const Bytes& s) { return zeroed_from(s, 70001); }},
};

TEST(CheckDamage, ShiftedStreamIsFoundFromWhereItGoesWrong) {
    Bytes stream = test_stream(damage_input_length);
    for (const ShiftedDamage& d : shifted_damages) {
        Bytes input = d.damage(stream);
        Tally tally = tally_differences(input);
        ASSERT_EQ(tally.first, d.first_bad) << d.name;
        for (size_t chunk : chunk_sizes) {
            SCOPED_TRACE(std::string(d.name) + ", chunk " + std::to_string(chunk));
            check_in_chunks(&check, input, chunk);
            EXPECT_EQ(check_exit_code(&check), exit_differs);
            EXPECT_EQ(check.bytes_read, input.size());
            EXPECT_EQ(check.bytes_differing, tally.differing);
            // Chance matches inside the damage must not split it up.
            ASSERT_EQ(check.range_count, 1u);
            EXPECT_EQ(check.ranges[0].start, d.first_bad);
            EXPECT_EQ(check.ranges[0].end, tally.last + 1);
        }
    }
}

TEST(CheckDamage, TruncationAnywhereIsNoDamage) {
    // A run may end in the middle of a write, so a cut stream is intact as
    // far as it goes.
    const size_t cuts[] = {
        17, 18, block_bytes - 1, block_bytes, block_bytes + 1, 5 * block_bytes + 1001};
    Bytes stream = test_stream(damage_input_length);
    for (size_t cut : cuts) {
        Bytes input(stream.begin(), stream.begin() + static_cast<long>(cut));
        check_in_chunks(&check, input, 4099);
        EXPECT_EQ(check_exit_code(&check), exit_intact) << cut;
        EXPECT_EQ(check.bytes_read, cut);
        EXPECT_EQ(check.bytes_differing, 0u);
    }
}

TEST(CheckDamage, AllZerosDifferAlmostEverywhere) {
    Bytes input(damage_input_length, 0);
    Tally tally = tally_differences(input);
    check_in_chunks(&check, input, 1 << 20);
    EXPECT_EQ(check_exit_code(&check), exit_differs);
    EXPECT_EQ(check.bytes_differing, tally.differing);
    EXPECT_GT(check.bytes_differing, bytes_checked(&check) * 99 / 100);
    ASSERT_EQ(check.range_count, 1u);
    EXPECT_EQ(check.ranges[0].start, tally.first);
    EXPECT_LT(check.ranges[0].start, header_bytes + 4);
}

TEST(CheckRanges, DifferencesCloseTogetherJoin) {
    struct Case {
        size_t distance;
        uint64_t ranges;
    };
    // 64 apart leaves 63 matching bytes between them: joined. 65 apart
    // leaves 64: two ranges.
    const Case cases[] = {{1, 1}, {2, 1}, {63, 1}, {64, 1}, {65, 2}, {block_bytes, 2}};
    const size_t first = 3 * block_bytes - 20;
    for (const Case& c : cases) {
        SCOPED_TRACE("distance " + std::to_string(c.distance));
        Bytes input = test_stream(damage_input_length);
        input[first] ^= 1;
        input[first + c.distance] ^= 1;
        check_in_chunks(&check, input, 4099);
        EXPECT_EQ(check.bytes_differing, 2u);
        ASSERT_EQ(check.range_count, c.ranges);
        EXPECT_EQ(check.ranges[0].start, first);
        if (c.ranges == 1) {
            EXPECT_EQ(check.ranges[0].end, first + c.distance + 1);
        } else {
            EXPECT_EQ(check.ranges[0].end, first + 1);
            EXPECT_EQ(check.ranges[1].start, first + c.distance);
            EXPECT_EQ(check.ranges[1].end, first + c.distance + 1);
        }
    }
}

TEST(CheckRanges, RangesBeyondTheKeptOnesAreCounted) {
    Bytes input = test_stream(damage_input_length);
    const size_t damaged = kept_ranges + 5;
    for (size_t i = 0; i < damaged; ++i) {
        input[1000 + i * 5000] ^= 0x40;
    }
    input[1000 + (damaged - 1) * 5000 + 1] ^= 0x40; // the last range two bytes long
    check_in_chunks(&check, input, 4099);
    EXPECT_EQ(check.bytes_differing, damaged + 1);
    EXPECT_EQ(check.range_count, damaged);
    for (size_t i = 0; i < kept_ranges; ++i) {
        EXPECT_EQ(check.ranges[i].start, 1000 + i * 5000) << i;
        EXPECT_EQ(check.ranges[i].end, 1001 + i * 5000) << i;
    }
    EXPECT_EQ(check.last_range_end, 1000 + (damaged - 1) * 5000 + 2);
}

} // namespace
