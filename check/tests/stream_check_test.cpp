// The check on buffers: intact inputs in any chunking, and every kind of
// damage found where it is, as what it is.
#include "check_report.h"
#include "check_state.h"
#include "check_test_support.h"
#include "damage_kinds.h"
#include "stream_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace {

StreamCheck check; // too large to want on the stack of every test

const size_t chunk_sizes[] = {7, 4099, block_bytes, 1 << 20};

TEST(CheckIntact, EveryLengthAndChunkingMatches) {
    const size_t lengths[] = {32, 4095, block_bytes, 3 * block_bytes + 5, (1 << 20) + 3};
    for (size_t length : lengths) {
        Bytes input = test_stream(length);
        for (size_t chunk : chunk_sizes) {
            SCOPED_TRACE("length " + std::to_string(length) + ", chunk " + std::to_string(chunk));
            check_in_chunks(&check, input, chunk);
            EXPECT_EQ(check.result.bytes_read, length);
            EXPECT_EQ(check.result.bytes_intact, length - header_bytes);
            EXPECT_EQ(check.result.stretch_count, 0u);
            EXPECT_EQ(check.result.outcome, outcome_intact);
        }
    }
}

TEST(CheckShortInput, NeedsSixteenCheckedBytesBeyondTheHeader) {
    Bytes junk(40, 0x5A);
    for (size_t size : {0u, 1u, 16u, 17u, 31u, 32u}) {
        SCOPED_TRACE("length " + std::to_string(size));
        check_in_chunks(&check, test_stream(size), 4099);
        EXPECT_EQ(check.result.outcome, size >= 32 ? outcome_intact : outcome_too_short);
        check_in_chunks(&check, Bytes(junk.begin(), junk.begin() + static_cast<long>(size)), 5);
        EXPECT_EQ(check.result.outcome, size >= 32 ? outcome_damaged : outcome_too_short);
    }
}

TEST(CheckTruncation, AStreamCutAnywhereIsIntactUnlessASizeWasExpected) {
    Bytes stream = test_stream(5 * block_bytes + 1001);
    for (size_t cut : {size_t{32}, size_t{block_bytes - 1}, size_t{block_bytes + 1}}) {
        Bytes input(stream.begin(), stream.begin() + static_cast<long>(cut));
        check_in_chunks(&check, input, 4099);
        EXPECT_EQ(check.result.outcome, outcome_intact) << cut;
        check_finish(&check, check_end_of_input, stream.size());
        EXPECT_EQ(bytes_missing(&check.result), stream.size() - cut);
        EXPECT_EQ(check.result.outcome, outcome_damaged) << cut;
    }
}

// ---- Damage of every kind ----

const size_t length = 24 * block_bytes; // 384 KiB

Bytes stream_of(uint32_t seed, size_t size) {
    return make_stream(seed, seed * 3 + 1, seed * 7 + 5, seed ^ 0xA5A5A5A5u, size);
}

// The pieces [start, end) of stream, one after the other.
Bytes pieces_of(const Bytes& stream, std::initializer_list<std::pair<size_t, size_t>> pieces) {
    Bytes joined;
    for (const auto& piece : pieces) {
        joined.insert(joined.end(), stream.begin() + static_cast<long>(piece.first),
                      stream.begin() + static_cast<long>(piece.second));
    }
    return joined;
}

Bytes with_bytes(Bytes input, size_t start, size_t end,
                 const std::function<unsigned char(size_t)>& byte) {
    for (size_t i = start; i < end; ++i) {
        input[i] = byte(i);
    }
    return input;
}

// What a fake drive that claims twice its capacity gives back when filled
// from start to end: its upper addresses map onto [low, capacity), so that
// area holds what was written last, capacity - low bytes further on.
Bytes wrapping_drive(const Bytes& s, size_t capacity, size_t low) {
    size_t claimed = 2 * capacity - low;
    return pieces_of(s, {{0, low}, {capacity, claimed}, {capacity, claimed}});
}

struct Expected {
    std::vector<Stretch> stretches;
    std::vector<Slip> slips;
    const char* verdict; // the start of the verdict line
    bool header_damaged;
};

struct Scenario {
    const char* name;
    std::function<Bytes(const Bytes& s)> input;
    Expected expected;
    Ranges unreadable;
};

const Bytes other_run = stream_of(77, length);

const Scenario scenarios[] = {
    {"a drive that wraps around",
     [](const Bytes& s) { return wrapping_drive(s, 96 * 1024, 0); },
     {{{0, 98304, damage_misplaced, 98304, 0}},
      {},
      "the drive wraps around every 98304 bytes (96.00 KiB): offsets 0 to 98304 hold what was "
      "written 98304 bytes later; it holds at most 98304 bytes (96.00 KiB)",
      true},
     {}},
    {"a drive that wraps around above a low area",
     [](const Bytes& s) { return wrapping_drive(s, 160 * 1024, 32 * 1024); },
     {{{32768, 163840, damage_misplaced, 163840, 0}},
      {},
      "the drive wraps around every 131072 bytes (128.00 KiB): offsets 32768 to 163840 hold what "
      "was written 131072 bytes later; it holds at most 163840 bytes (160.00 KiB)",
      false},
     {}},
    {"zeros from an odd offset to the end",
     [](const Bytes& s) { return with_bytes(s, 70001, length, [](size_t) { return 0; }); },
     {{{70001, length, damage_blank, 0x00, 0}},
      {},
      "writes past offset 70001 (68.36 KiB) were lost: reads there give zeros",
      false},
     {}},
    {"erased sectors in the middle",
     [](const Bytes& s) { return with_bytes(s, 8192, 12288, [](size_t) { return 0xFF; }); },
     {{{8192, 12288, damage_blank, 0xFF, 0}},
      {},
      "4096 bytes (4.00 KiB) damaged in 1 stretch",
      false},
     {}},
    {"stale data of another run at the same offsets",
     [](const Bytes& s) {
         Bytes b = s;
         std::memcpy(b.data() + 65536, other_run.data() + 65536, 65536);
         return b;
     },
     {{{65536, 131072, damage_stale, 0, 0}},
      {},
      "65536 bytes (64.00 KiB) damaged in 1 stretch",
      false},
     {}},
    {"a transfer that lost 1000 bytes",
     [](const Bytes& s) {
         return pieces_of(s, {{0, 100001}, {101001, length}});
     },
     {{}, {{100001, 1000}}, "the stream lost 1000 bytes at offset 100001", false},
     {}},
    {"a transfer that lost 1 byte",
     [](const Bytes& s) {
         return pieces_of(s, {{0, 50002}, {50003, length}});
     },
     {{}, {{50002, 1}}, "the stream lost 1 byte at offset 50002", false},
     {}},
    {"a transfer that lost 3 bytes at a sector's end",
     [](const Bytes& s) {
         return pieces_of(s, {{0, 51199}, {51202, length}});
     },
     {{}, {{51199, 3}}, "the stream lost 3 bytes at offset 51199", false},
     {}},
    {"a transfer that repeated 999 bytes",
     [](const Bytes& s) {
         return pieces_of(s, {{0, 100001}, {99002, length}});
     },
     {{}, {{100001, -999}}, "the stream repeated 999 bytes at offset 100001", false},
     {}},
    {"a dropped block",
     [](const Bytes& s) {
         return pieces_of(s, {{0, 6 * block_bytes}, {7 * block_bytes, length}});
     },
     {{}, {{6 * block_bytes, block_bytes}}, "the stream lost 16384 bytes", false},
     {}},
    {"a repeated block",
     [](const Bytes& s) {
         return pieces_of(s, {{0, 5 * block_bytes}, {4 * block_bytes, length}});
     },
     {{}, {{5 * block_bytes, -int64_t{block_bytes}}}, "the stream repeated 16384 bytes", false},
     {}},
    {"two pieces swapped, as files given in the wrong order",
     [](const Bytes& s) {
         return pieces_of(s, {{0, 65536}, {131072, 196608}, {65536, 131072}, {196608, length}});
     },
     {{{65536, 131072, damage_misplaced, 131072, 0}, {131072, 196608, damage_misplaced, 65536, 0}},
      {},
      "131072 bytes (128.00 KiB) damaged in 2 stretches, the first at offset 65536 (misplaced)",
      false},
     {}},
    {"a piece given twice, then the stream in its place",
     [](const Bytes& s) {
         return with_bytes(s, 131072, 196608, [&s](size_t i) { return s[i - 65536]; });
     },
     {{{131072, 196608, damage_misplaced, 65536, 0}},
      {},
      "offsets 131072 to 196608 read back what was written 65536 bytes (64.00 KiB) earlier",
      false},
     {}},
    // A skip never comes back: the data after it is intact where it now is,
    // whatever damage follows.
    {"a cut of whole blocks, then a flipped bit",
     [](const Bytes& s) {
         Bytes b = pieces_of(s, {{0, 4 * block_bytes}, {8 * block_bytes, length}});
         b[10 * block_bytes + 5] ^= 0x01;
         return b;
     },
     {{{163845, 163846, damage_altered, 0, 1}},
      {{65536, 65536}},
      "1 byte damaged in 1 stretch, the first at offset 163845 (altered); the stream lost 65536 "
      "bytes (64.00 KiB) at offset 65536",
      false},
     {}},
    {"a cut of whole sectors inside a block, then zeros",
     [](const Bytes& s) {
         Bytes b = pieces_of(s, {{0, 20992}, {29184, length}});
         return with_bytes(b, 200704, 204800, [](size_t) { return 0; });
     },
     {{{200704, 204800, damage_blank, 0x00, 0}},
      {{20992, 8192}},
      "4096 bytes (4.00 KiB) damaged in 1 stretch, the first at offset 200704 (blank); the "
      "stream lost 8192 bytes (8.00 KiB) at offset 20992",
      false},
     {}},
    // A fake drive of 160 KiB that keeps its first 32 KiB apart and wraps
    // above every 128 KiB, read up to what it holds. Filled to 288 KiB, the
    // wrapped part was written over whole: that is a skip of 128 KiB as
    // well. Filled to 224 KiB, the stream comes back to its place: what was
    // written below is gone. Read as far as it was filled, the later data
    // comes back from both places.
    {"a wrapping drive filled twice over, read up to what it holds",
     [](const Bytes& s) {
         return pieces_of(s, {{0, 32768}, {163840, 294912}});
     },
     {{},
      {{32768, 131072}},
      "the stream lost 131072 bytes (128.00 KiB) at offset 32768; or the drive wraps around "
      "every 131072 bytes (128.00 KiB), and offsets 32768 to 163840 hold what was written "
      "131072 bytes later",
      false},
     {}},
    {"a wrapping drive filled in part twice, read up to what it holds",
     [](const Bytes& s) {
         return pieces_of(s, {{0, 32768}, {163840, 229376}, {98304, 163840}});
     },
     {{{32768, 98304, damage_misplaced, 163840, 0}},
      {},
      "the drive wraps around every 131072 bytes (128.00 KiB): offsets 32768 to 98304 hold what "
      "was written 131072 bytes later; it holds at most 163840 bytes (160.00 KiB)",
      false},
     {}},
    {"a wrapping drive filled in part twice, read as far as it was filled",
     [](const Bytes& s) {
         return pieces_of(s, {{0, 32768}, {163840, 229376}, {98304, 163840}, {163840, 229376}});
     },
     {{{32768, 98304, damage_misplaced, 163840, 0}},
      {},
      "the drive wraps around every 131072 bytes (128.00 KiB): offsets 32768 to 98304 hold what "
      "was written 131072 bytes later; it holds at most 163840 bytes (160.00 KiB)",
      false},
     {}},
    {"a wrapping drive with a flipped bit in what it moved",
     [](const Bytes& s) {
         Bytes b = pieces_of(s, {{0, 32768}, {163840, 229376}, {98304, 163840}});
         b[50000] ^= 0x08;
         return b;
     },
     {{{32768, 50000, damage_misplaced, 163840, 0},
       {50000, 50001, damage_altered, 0, 1},
       {50001, 98304, damage_misplaced, 181073, 0}},
      {},
      "the drive wraps around every 131072 bytes (128.00 KiB): offsets 32768 to 98304 hold what "
      "was written 131072 bytes later; it holds at most 163840 bytes (160.00 KiB)",
      false},
     {}},
    {"data from two later places, then the stream in its place",
     [](const Bytes& s) {
         return pieces_of(s, {{0, 32768}, {204800, 237568}, {266240, 299008}, {98304, length}});
     },
     {{{32768, 65536, damage_misplaced, 204800, 0}, {65536, 98304, damage_misplaced, 266240, 0}},
      {},
      "65536 bytes (64.00 KiB) damaged in 2 stretches, the first at offset 32768 (misplaced)",
      false},
     {}},
    {"bit flips",
     [](const Bytes& s) {
         Bytes b = s;
         b[16] ^= 0x01;
         b[block_bytes - 1] ^= 0x80;
         b[100003] ^= 0x24;
         b[length - 1] ^= 0x02;
         return b;
     },
     {{{16, 17, damage_altered, 0, 1},
       {block_bytes - 1, block_bytes, damage_altered, 0, 1},
       {100003, 100004, damage_altered, 0, 2},
       {length - 1, length, damage_altered, 0, 1}},
      {},
      "4 bytes damaged in 4 stretches, the first at offset 16 (altered)",
      false},
     {}},
    {"a damaged header",
     [](const Bytes& s) {
         Bytes b = s;
         b[5] ^= 0x20;
         return b;
     },
     {{{5, 6, damage_altered, 0, 1}},
      {},
      "1 byte damaged in 1 stretch, the first at offset 5",
      true},
     {}},
    {"a damaged header, and the run again from its start after 200 bytes",
     [](const Bytes& s) {
         Bytes b = pieces_of(s, {{0, 200}, {0, length - 200}});
         b[5] ^= 0x10;
         return b;
     },
     {{{5, 6, damage_altered, 0, 1}},
      {{200, -200}},
      "1 byte damaged in 1 stretch, the first at offset 5",
      true},
     {}},
    {"a header of zeros",
     [](const Bytes& s) { return with_bytes(s, 0, 16, [](size_t) { return 0; }); },
     {{{0, 16, damage_blank, 0, 0}}, {}, "16 bytes damaged in 1 stretch", true},
     {}},
    {"foreign data in the middle",
     [](const Bytes& s) {
         return with_bytes(s, 40000, 45000,
                           [](size_t i) { return static_cast<unsigned char>(i * 131 + 7); });
     },
     {{{40000, 45000, damage_foreign, 0, 0}},
      {},
      "5000 bytes (4.88 KiB) damaged in 1 stretch",
      false},
     {}},
    {"three bits flipped in one byte",
     [](const Bytes& s) {
         Bytes b = s;
         b[100003] ^= 0x07;
         return b;
     },
     {{{100003, 100004, damage_altered, 0, 3}},
      {},
      "1 byte damaged in 1 stretch, the first at offset 100003 (altered)",
      false},
     {}},
    {"five bits flipped across two bytes of a word",
     [](const Bytes& s) {
         Bytes b = s;
         b[200001] ^= 0xF0;
         b[200002] ^= 0x01;
         return b;
     },
     {{{200001, 200003, damage_altered, 0, 5}},
      {},
      "2 bytes damaged in 1 stretch, the first at offset 200001 (altered)",
      false},
     {}},
    {"zeros beside FF bytes",
     [](const Bytes& s) {
         return with_bytes(s, 8192, 16384, [](size_t i) { return i < 12288 ? 0x00 : 0xFF; });
     },
     {{{8192, 12288, damage_blank, 0x00, 0}, {12288, 16384, damage_blank, 0xFF, 0}},
      {},
      "8192 bytes (8.00 KiB) damaged in 2 stretches, the first at offset 8192 (blank)",
      false},
     {}},
    {"unreadable sectors in the middle",
     [](const Bytes& s) { return s; },
     {{{40960, 49152, damage_unreadable, 0, 0}},
      {},
      "8192 bytes (8.00 KiB) damaged in 1 stretch, the first at offset 40960 (unreadable)",
      false},
     {{40960, 49152}}},
    {"an unreadable header, then another run's data",
     [](const Bytes&) { return other_run; },
     {{{0, 16, damage_unreadable, 0, 0}},
      {},
      "16 bytes damaged in 1 stretch, the first at offset 0 (unreadable)",
      true},
     {{0, 16}}},
    {"zeros from the first byte",
     [](const Bytes& s) { return Bytes(s.size(), 0x00); },
     {{{16, length, damage_blank, 0x00, 0}}, {}, "the input holds only zeros", false},
     {}},
    {"FF bytes from the first byte",
     [](const Bytes& s) { return Bytes(s.size(), 0xFF); },
     {{{16, length, damage_blank, 0xFF, 0}}, {}, "the input holds only FF bytes", false},
     {}},
    {"no sprayl data anywhere",
     [](const Bytes& s) {
         return with_bytes(s, 0, length,
                           [](size_t i) { return static_cast<unsigned char>(i * 131 + 7); });
     },
     {{{16, length, damage_foreign, 0, 0}}, {}, "no sprayl data found", false},
     {}},
};

void expect_outcome(const Expected& expected) {
    ASSERT_EQ(check.result.stretch_count, expected.stretches.size());
    for (size_t i = 0; i < expected.stretches.size(); ++i) {
        const Stretch& got = check.result.stretches[i];
        const Stretch& want = expected.stretches[i];
        SCOPED_TRACE("stretch " + std::to_string(i));
        EXPECT_EQ(got.start, want.start);
        EXPECT_EQ(got.end, want.end);
        EXPECT_STREQ(damage_kinds[got.kind].name, damage_kinds[want.kind].name);
        EXPECT_EQ(got.source, want.source);
        EXPECT_EQ(got.bits, want.bits);
    }
    ASSERT_EQ(check.result.slip_count, expected.slips.size());
    for (size_t i = 0; i < expected.slips.size(); ++i) {
        EXPECT_EQ(check.result.slips[i].offset, expected.slips[i].offset);
        EXPECT_EQ(check.result.slips[i].shift, expected.slips[i].shift);
    }
    char verdict[320];
    format_verdict(&check.result, verdict, sizeof verdict);
    EXPECT_EQ(std::string(verdict).rfind(expected.verdict, 0), 0u) << verdict;
    EXPECT_EQ(check.result.header_damaged, expected.header_damaged);
    EXPECT_EQ(check.result.outcome, outcome_damaged);
}

TEST(CheckDamage, EachKindIsFoundWhereItIsAsWhatItIs) {
    Bytes stream = test_stream(length);
    for (const Scenario& scenario : scenarios) {
        Bytes input = scenario.input(stream);
        for (size_t chunk : chunk_sizes) {
            SCOPED_TRACE(std::string(scenario.name) + ", chunk " + std::to_string(chunk));
            check_in_chunks(&check, input, chunk, check_end_of_input, scenario.unreadable);
            expect_outcome(scenario.expected);
            // Every byte read is intact, damaged or (when sound) the header,
            // once; lost bytes are in none of them.
            DamageTotals in_header;
            damage_between(&check.result, 0, header_bytes, &in_header);
            uint64_t header_damage = 0;
            for (uint64_t bytes : in_header.bytes) {
                header_damage += bytes;
            }
            uint64_t accounted = check.result.bytes_intact + bytes_damaged(&check.result) +
                                 header_bytes - header_damage;
            EXPECT_EQ(accounted, check.result.bytes_read);
        }
    }
}

// A check told the run that was written judges the header too: a drive
// that ignored the writes and reads back a whole earlier fill, consistent
// in itself, or nothing but zeros, is damaged from its first byte.
TEST(CheckDamage, AKnownRunJudgesEveryByteFromTheFirst) {
    struct Case {
        const char* name;
        Bytes input;
        DamageKind kind;
        const char* verdict;
    };
    const Case cases[] = {
        {"an older fill", other_run, damage_stale,
         "writes past offset 0 (0 bytes) were lost: reads there give data of another run"},
        {"zeros", Bytes(length, 0x00), damage_blank, "the input holds only zeros"},
        {"FF bytes", Bytes(length, 0xFF), damage_blank, "the input holds only FF bytes"},
    };
    GeneratorState written = {{0x9E3779B9, 0x7F4A7C15, 0xF39CC060, 0x5CEDC834}, 0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        check_start_run(&check, &written);
        check_bytes(&check, c.input.data(), c.input.size());
        check_finish(&check, check_end_of_input, 0);
        ASSERT_EQ(check.result.stretch_count, 1u);
        EXPECT_EQ(check.result.stretches[0].kind, c.kind);
        EXPECT_EQ(check.result.stretches[0].start, 0u);
        EXPECT_EQ(check.result.stretches[0].end, length);
        EXPECT_EQ(check.result.outcome, outcome_damaged);
        char verdict[320];
        format_verdict(&check.result, verdict, sizeof verdict);
        EXPECT_STREQ(verdict, c.verdict);
    }
    check_start_run(&check, &written);
    Bytes stream = test_stream(length);
    check_bytes(&check, stream.data(), stream.size());
    check_finish(&check, check_end_of_input, 0);
    EXPECT_EQ(check.result.bytes_intact, length); // the header is checked too
    EXPECT_EQ(check.result.outcome, outcome_intact);
}

TEST(CheckDamage, ALargeTailIsListedBehindManySmallDefects) {
    Bytes input = test_stream(length);
    for (size_t i = 0; i < 20; ++i) {
        input[1000 + 997 * i] ^= 0x10;
    }
    std::memset(input.data() + 200000, 0, length - 200000);
    check_in_chunks(&check, input, 1 << 20);
    EXPECT_EQ(check.result.stretch_count, 21u);
    std::string text = report_text(&check.result);
    EXPECT_NE(text.find("  200000 to 393216 (188.69 KiB) blank: all 00\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("  1000 to 1001 (1 byte) altered: 1 bit differs\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("  and 13 more\n"), std::string::npos) << text;
}

} // namespace

// A piece read back from the middle of a run is judged against the run at
// the stream offset it should hold: intact there, or what the drive gave
// instead, counted in the piece's own offsets.
struct PieceCase {
    const char* name;
    size_t stream_offset; // the piece should hold stream bytes from here
    size_t holds_from;    // it holds stream bytes from here; SIZE_MAX: other bytes
    unsigned char other;  // the byte it holds instead (when not stream bytes)
    bool other_run;       // it holds data of another run from holds_from instead
    DamageKind kind;
    bool intact;
};

const PieceCase piece_cases[] = {
    {"in place at a block", 4 * block_bytes, 4 * block_bytes, 0, false, damage_kind_count, true},
    {"in place off a word", 12345, 12345, 0, false, damage_kind_count, true},
    {"zeros", 8192, SIZE_MAX, 0x00, false, damage_blank, false},
    {"FF bytes", 8192, SIZE_MAX, 0xFF, false, damage_blank, false},
    {"what belongs 64 KiB later", 4096, 4096 + 65536, 0, false, damage_misplaced, false},
    {"what belongs at the start", 131072, 0, 0, false, damage_misplaced, false},
    {"another run", 4096, 4096, 0, true, damage_stale, false},
};

TEST(CheckPiece, APieceIsJudgedAtTheStreamOffsetItShouldHold) {
    const size_t piece_size = 16384;
    Bytes stream = test_stream(256 * 1024);
    Bytes other = make_stream(1, 2, 3, 4, 256 * 1024);
    GeneratorState seed = {{0x9E3779B9, 0x7F4A7C15, 0xF39CC060, 0x5CEDC834}, 0};
    for (const PieceCase& c : piece_cases) {
        SCOPED_TRACE(c.name);
        Bytes piece(piece_size, c.other);
        if (c.holds_from != SIZE_MAX) {
            const Bytes& source = c.other_run ? other : stream;
            std::memcpy(piece.data(), source.data() + c.holds_from, piece_size);
        }
        check_start_piece(&check, &seed, c.stream_offset, stream.size());
        check_bytes(&check, piece.data(), 1000);
        check_bytes(&check, piece.data() + 1000, piece_size - 1000);
        check_finish(&check, check_end_of_input, piece_size);
        if (c.intact) {
            EXPECT_EQ(check.result.outcome, outcome_intact);
            EXPECT_EQ(check.result.bytes_intact, piece_size);
            continue;
        }
        EXPECT_EQ(check.result.outcome, outcome_damaged);
        EXPECT_EQ(check.result.damaged_bytes[c.kind], piece_size);
        ASSERT_GE(check.result.stretch_count, 1u);
        EXPECT_EQ(check.result.stretches[0].start, 0u);
        if (c.kind == damage_misplaced) {
            EXPECT_EQ(check.result.stretches[0].source, c.holds_from);
        }
    }
}

// The seed that the header's state comes from: the stream made from it is
// the stream whose header gave the state.
TEST(CheckPiece, TheSeedComesBackFromTheHeader) {
    GeneratorState seed = {{0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x0BADF00D}, 0};
    Bytes stream = reference_bytes(seed, 64);
    GeneratorState header_state = recover_generator_state(stream.data());
    GeneratorState found = seed_of_run(&header_state);
    EXPECT_EQ(reference_bytes(found, 64), stream);
}
