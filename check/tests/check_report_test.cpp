// The report's lines, as a user reads them.
#include "check_report.h"
#include "check_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace {

StreamCheck check;

std::string report_of(const Bytes& input, CheckEnd end = check_end_of_input) {
    check_in_chunks(&check, input, 1 << 20, end);
    return report_text(&check.result);
}

bool has_line(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(PrintReport, IntactInput) {
    EXPECT_EQ(report_of(test_stream(3 * block_bytes)),
              "verdict: intact: all 49152 bytes (48.00 KiB) are where they belong\n"
              "bytes read: 49152 (48.00 KiB)\n"
              "bytes intact: 49136 (47.98 KiB)\n"
              "result: intact\n");
}

TEST(PrintReport, DamageWithItsPlaceKindAndSize) {
    Bytes input = test_stream(10 * block_bytes);
    input[40000] ^= 4;
    for (size_t i = 100000; i < 100100; ++i) {
        input[i] = static_cast<unsigned char>(i * 37);
    }
    EXPECT_EQ(report_of(input), "verdict: 101 bytes damaged in 2 stretches, the first at offset "
                                "40000 (altered)\n"
                                "bytes read: 163840 (160.00 KiB)\n"
                                "bytes intact: 163723 (159.89 KiB)\n"
                                "bytes altered: 1 (1 byte)\n"
                                "bytes foreign: 100 (100 bytes)\n"
                                "first bad byte: offset 40000, 39.06 KiB in (block 3, offset 7232 "
                                "in the block)\n"
                                "damaged stretches: 2 (start to end offset, end exclusive)\n"
                                "  40000 to 40001 (1 byte) altered: 1 bit differs\n"
                                "  100000 to 100100 (100 bytes) foreign: not data of this stream\n"
                                "result: DAMAGED\n");
}

TEST(PrintReport, BlockNumbersCountFromOne) {
    struct Case {
        size_t offset;
        const char* line;
    };
    const Case cases[] = {
        {16, "first bad byte: offset 16, 16 bytes in (block 1, offset 16 in the block)"},
        {block_bytes - 1,
         "first bad byte: offset 16383, 16.00 KiB in (block 1, offset 16383 in the block)"},
        {block_bytes,
         "first bad byte: offset 16384, 16.00 KiB in (block 2, offset 0 in the block)"},
    };
    for (const Case& c : cases) {
        Bytes input = test_stream(3 * block_bytes);
        input[c.offset] ^= 1;
        EXPECT_TRUE(has_line(report_of(input), c.line)) << report_of(input);
    }
}

TEST(PrintReport, NotesADamagedHeaderOrAnInputOfNoRun) {
    const char* found = "note: the first 16 bytes are not the start of the run that the data "
                        "after them";
    const char* none = "note: nothing after the first 16 bytes belongs to the run they define; "
                       "the input";
    Bytes zeros(5 * block_bytes, 0);
    Bytes bad_header = test_stream(5 * block_bytes);
    bad_header[5] ^= 0x20;
    Bytes late_damage = test_stream(5 * block_bytes);
    std::memset(late_damage.data() + 3 * block_bytes, 0, 2 * block_bytes);

    EXPECT_TRUE(has_line(report_of(zeros), none));
    EXPECT_TRUE(has_line(report_of(bad_header), found));
    EXPECT_FALSE(has_line(report_of(late_damage), found));
    EXPECT_FALSE(has_line(report_of(late_damage), none));
}

TEST(PrintReport, ResultLineForEachOutcome) {
    Bytes damaged = test_stream(block_bytes);
    damaged[1000] ^= 1;
    struct Case {
        Bytes input;
        CheckEnd end;
        const char* line;
    };
    const Case cases[] = {
        {test_stream(31), check_end_of_input, "result: NOT CHECKED, too short"},
        {test_stream(0), check_end_of_input, "bytes read: 0 (0 bytes)"},
        {test_stream(block_bytes), check_end_read_failed,
         "result: INCOMPLETE, the input could not be read past offset 16384"},
        {damaged, check_end_interrupted, "result: INCOMPLETE, stopped at offset 16384"},
        {damaged, check_end_of_input, "result: DAMAGED"},
        {test_stream(block_bytes), check_end_of_input, "result: intact"},
    };
    for (const Case& c : cases) {
        std::string report = report_of(c.input, c.end);
        EXPECT_TRUE(has_line(report, c.line)) << report;
    }
}

// A check stopped by the user says how far it got of what it would have
// read, and what it found so far; the bytes it did not read are not
// missing.
TEST(PrintReport, AStoppedCheckSaysHowFarItGot) {
    Bytes damaged = test_stream(3 * block_bytes);
    damaged[1000] ^= 1;
    struct Case {
        Bytes input;
        uint64_t would_read; // the check's expected size: 0 for a stream of unknown length
        const char* verdict;
    };
    const Case cases[] = {
        {test_stream(3 * block_bytes), 1 << 20,
         "verdict: stopped after 49152 of 1048576 bytes (48.00 KiB of 1.00 MiB)"},
        {test_stream(3 * block_bytes), 0, "verdict: stopped after 49152 bytes (48.00 KiB)"},
        {damaged, 1 << 20,
         "verdict: stopped after 49152 of 1048576 bytes (48.00 KiB of 1.00 MiB); in them: 1 "
         "byte damaged in 1 stretch, the first at offset 1000 (altered)"},
        {test_stream(20), 1 << 20,
         "verdict: stopped after 20 of 1048576 bytes (20 bytes of 1.00 MiB)"},
    };
    for (const Case& c : cases) {
        check_start(&check);
        check_bytes(&check, c.input.data(), c.input.size());
        check_finish(&check, check_end_interrupted, c.would_read);
        std::string report = report_text(&check.result);
        EXPECT_EQ(report.substr(0, report.find('\n')), c.verdict) << report;
        EXPECT_EQ(report.find("missing"), std::string::npos) << report;
        EXPECT_EQ(report.find("early"), std::string::npos) << report;
        EXPECT_TRUE(has_line(report, "result: INCOMPLETE, stopped at offset " +
                                         std::to_string(c.input.size())))
            << report;
        char text[320];
        EXPECT_STREQ(verdict_kind_names[verdict_of(&check.result, text, sizeof text)], "stopped");
        EXPECT_EQ(bytes_missing(&check.result), 0u);
    }
}

// What the verdict may claim of a stream's damage: a skip is bytes lost,
// with what follows intact where it now is; a wrap needs data that comes
// back from two places or was written over; damage at the end is what it
// is, and writes lost past a point need all past it gone, for long enough.
// Both readings where the data does not decide between them.
struct VerdictCase {
    const char* name;
    Bytes (*input)(const Bytes& s); // from the run's stream s
    uint64_t expected_size;
    const char* verdict;
    const char* kind;
};

constexpr size_t mib = size_t{1} << 20;

// The pieces [start, end) of stream, one after the other.
Bytes joined(const Bytes& stream, std::initializer_list<std::pair<size_t, size_t>> pieces) {
    Bytes input;
    for (const auto& piece : pieces) {
        input.insert(input.end(), stream.begin() + static_cast<long>(piece.first),
                     stream.begin() + static_cast<long>(piece.second));
    }
    return input;
}

// s with the bytes from start on set to byte, up to end.
Bytes set_bytes(Bytes input, size_t start, size_t end, unsigned char byte) {
    std::fill(input.begin() + static_cast<long>(start), input.begin() + static_cast<long>(end),
              byte);
    return input;
}

const VerdictCase verdict_cases[] = {
    {"4 MiB cut out at a MiB boundary",
     [](const Bytes& s) {
         return joined(s, {{0, 4 * mib}, {8 * mib, 16 * mib}});
     },
     0, "the stream lost 4194304 bytes (4.00 MiB) at offset 4194304", "slipped"},
    {"a fill file of 4 MiB missing after files of 1 and 2 MiB",
     [](const Bytes& s) {
         return joined(s, {{0, 3 * mib}, {7 * mib, 16 * mib}});
     },
     0, "the stream lost 4194304 bytes (4.00 MiB) at offset 3145728", "slipped"},
    {"2 MiB cut out 1 MiB before the end",
     [](const Bytes& s) {
         return joined(s, {{0, 13 * mib}, {15 * mib, 16 * mib}});
     },
     0,
     "the stream lost 2097152 bytes (2.00 MiB) at offset 13631488; or the drive wraps around "
     "every 2097152 bytes (2.00 MiB), and offsets 13631488 to 14680064 hold what was written "
     "2097152 bytes later",
     "slipped"},
    // A drive that wrapped would have written the last 2 MiB over again.
    {"the same, of a stream that ran 4 MiB further",
     [](const Bytes& s) {
         return joined(s, {{0, 13 * mib}, {15 * mib, 16 * mib}});
     },
     20 * mib, "the stream lost 2097152 bytes (2.00 MiB) at offset 13631488", "slipped"},
    {"3000 bytes cut out inside a block",
     [](const Bytes& s) {
         return joined(s, {{0, 5000000}, {5003000, 16 * mib}});
     },
     0, "the stream lost 3000 bytes (2.93 KiB) at offset 5000000", "slipped"},
    {"4 MiB missing at the end",
     [](const Bytes& s) {
         return joined(s, {{0, 12 * mib}});
     },
     16 * mib, "the input ends 4194304 bytes early", "ends_early"},
    {"bits flipped in the last byte",
     [](const Bytes& s) {
         Bytes b = s;
         b.back() ^= 0x21;
         return b;
     },
     0, "1 byte damaged in 1 stretch, the first at offset 16777215 (altered)", "damaged"},
    {"zeros in the last sector",
     [](const Bytes& s) { return set_bytes(s, 16 * mib - 512, 16 * mib, 0); }, 0,
     "512 bytes damaged in 1 stretch, the first at offset 16776704 (blank)", "damaged"},
    {"zeros past 10 MiB", [](const Bytes& s) { return set_bytes(s, 10 * mib, 16 * mib, 0); }, 0,
     "writes past offset 10485760 (10.00 MiB) were lost: reads there give zeros", "lost_writes"},
    {"FF bytes past 10 MiB", [](const Bytes& s) { return set_bytes(s, 10 * mib, 16 * mib, 0xFF); },
     0, "writes past offset 10485760 (10.00 MiB) were lost: reads there give FF bytes",
     "lost_writes"},
    {"an older fill past 10 MiB",
     [](const Bytes& s) {
         Bytes older = make_stream(1, 2, 3, 4, 16 * mib);
         std::copy(older.begin() + 10 * mib, older.end(), older.begin());
         older.resize(6 * mib);
         Bytes b = joined(s, {{0, 10 * mib}});
         b.insert(b.end(), older.begin(), older.end());
         return b;
     },
     0, "writes past offset 10485760 (10.00 MiB) were lost: reads there give data of another run",
     "lost_writes"},
    {"zeros past 10 MiB, and a sector before",
     [](const Bytes& s) {
         return set_bytes(set_bytes(s, 10 * mib, 16 * mib, 0), mib, mib + 512, 0);
     },
     0,
     "writes past offset 10485760 (10.00 MiB) were lost: reads there give zeros; before it, "
     "512 bytes damaged in 1 stretch, the first at offset 1048576 (blank)",
     "lost_writes"},
    {"a drive that holds 10 MiB and wraps, read whole",
     [](const Bytes& s) {
         return joined(s, {{10 * mib, 16 * mib}, {6 * mib, 10 * mib}, {10 * mib, 16 * mib}});
     },
     0,
     "the drive wraps around every 10485760 bytes (10.00 MiB): offsets 0 to 6291456 hold what "
     "was written 10485760 bytes later; it holds at most 10485760 bytes (10.00 MiB)",
     "wraps"},
    {"a drive that holds 10 MiB and wraps, read up to 10 MiB",
     [](const Bytes& s) {
         return joined(s, {{10 * mib, 16 * mib}, {6 * mib, 10 * mib}});
     },
     0,
     "the drive wraps around every 10485760 bytes (10.00 MiB): offsets 0 to 6291456 hold what "
     "was written 10485760 bytes later; it holds at most 10485760 bytes (10.00 MiB)",
     "wraps"},
};

TEST(PrintReport, TheVerdictClaimsWhatTheDataShows) {
    const Bytes stream = test_stream(16 * mib);
    for (const VerdictCase& c : verdict_cases) {
        SCOPED_TRACE(c.name);
        check_in_chunks(&check, c.input(stream), 1 << 20, check_end_of_input, {}, c.expected_size);
        std::string report = report_text(&check.result);
        EXPECT_TRUE(has_line(report, std::string("verdict: ") + c.verdict)) << report;
        EXPECT_TRUE(has_line(report, "result: DAMAGED")) << report;
        char text[512];
        EXPECT_STREQ(verdict_kind_names[verdict_of(&check.result, text, sizeof text)], c.kind);
    }
}

TEST(DescribeDamage, IntactOrTheDamageByKind) {
    DamageTotals none = {};
    DamageTotals some = {};
    some.bytes[damage_misplaced] = 1 << 30;
    some.bytes[damage_blank] = 512;
    some.slips = 1;
    char text[128];
    describe_damage(&none, text, sizeof text);
    EXPECT_STREQ(text, "intact");
    describe_damage(&some, text, sizeof text);
    EXPECT_STREQ(text, "DAMAGED: 1.00 GiB misplaced, 512 bytes blank, 1 jump in the stream");
}

} // namespace
