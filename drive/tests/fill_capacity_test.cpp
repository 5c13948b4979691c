// What a drive holds, from the damage of a fill mapped to drive offsets:
// wraps from the drive's start and above a low area kept apart, writes
// lost past a point, and the estimate where the file system cannot say
// where its files lie.
#include "fill_capacity.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint64_t mib = uint64_t{1} << 20;

CheckResult result; // too large for the stack

struct CapacityCase {
    const char* name;
    uint64_t written;
    std::vector<Stretch> stretches;    // in stream order
    std::vector<StreamExtent> extents; // where the stream lies on the drive
    DriveFinding finding;
    PastCapacity past;
    uint64_t holds;
    uint64_t holds_at_most;
    uint64_t wrap;
    const char* line;
    std::vector<Slip> slips = {}; // where the stream jumped (a missing file)
};

// The drive claims 64 MiB.
const uint64_t claims = 64 * mib;

// 64 MiB of stream, on the drive at [1 MiB, 65 MiB).
const std::vector<StreamExtent> whole = {{0, 1 * mib, 64 * mib}};

const CapacityCase capacity_cases[] = {
    {"intact",
     64 * mib,
     {},
     whole,
     drive_says_nothing,
     past_nothing,
     0,
     0,
     0,
     "nothing found about the drive's size"},
    // Holds 32 MiB: drive offsets [33, 65) MiB land on [1, 33) MiB.
    {"wraps from the start",
     64 * mib,
     {{0, 32 * mib, damage_misplaced, 32 * mib, 0}},
     whole,
     drive_holds_less,
     past_wraps,
     32 * mib,
     32 * mib,
     32 * mib,
     "the drive holds 32.00 MiB of the 64.00 MiB it claims: it wraps around every 32.00 MiB"},
    // Holds 32 MiB, keeping [0, 8) MiB apart: [32, 56) MiB land on [8, 32)
    // MiB, then [56, 65) MiB on [8, 17) MiB again. The fill data on [1, 8)
    // MiB came back intact where a wrap from the start would have
    // overwritten it.
    {"wraps above a low area",
     64 * mib,
     {{7 * mib, 16 * mib, damage_misplaced, 55 * mib, 0},
      {16 * mib, 31 * mib, damage_misplaced, 40 * mib, 0}},
     whole,
     drive_holds_less,
     past_wraps,
     32 * mib,
     32 * mib,
     24 * mib,
     "the drive holds 32.00 MiB of the 64.00 MiB it claims: it wraps around every 24.00 MiB"},
    // Holds 33 MiB, keeping [0, 9) MiB apart; the file system put 20 MiB
    // at [1, 21) MiB, then 8 MiB at [33, 41) MiB, which land on [9, 17) MiB.
    // No fill data lay where a wrap from the start would have landed
    // anything, so a low area of up to 9 MiB cannot be told from none.
    {"wraps, perhaps above a low area",
     28 * mib,
     {{8 * mib, 16 * mib, damage_misplaced, 20 * mib, 0}},
     {{0, 1 * mib, 20 * mib}, {20 * mib, 33 * mib, 8 * mib}},
     drive_holds_less,
     past_wraps,
     24 * mib,
     33 * mib,
     24 * mib,
     "the drive holds 24.00 MiB of the 64.00 MiB it claims (up to 33.00 MiB if it keeps a low"
     " area apart): it wraps around every 24.00 MiB"},
    // Holds 32 MiB from the start: [45, 53) MiB landed on [13, 21) MiB. The
    // writes to [33, 45) and [53, 65) MiB never reached the drive (the fill
    // stopped), so the data below them came back intact: no sign of a low
    // area, which a lost write cannot give.
    {"wraps from the start, its last writes lost",
     64 * mib,
     {{12 * mib, 20 * mib, damage_misplaced, 44 * mib, 0},
      {32 * mib, 44 * mib, damage_blank, 0, 0},
      {52 * mib, 64 * mib, damage_blank, 0, 0}},
     whole,
     drive_holds_less,
     past_wraps,
     32 * mib,
     45 * mib,
     32 * mib,
     "the drive holds 32.00 MiB of the 64.00 MiB it claims (up to 45.00 MiB if it keeps a low"
     " area apart): it wraps around every 32.00 MiB"},
    {"loses writes past 21 MiB",
     64 * mib,
     {{20 * mib, 64 * mib, damage_blank, 0, 0}},
     whole,
     drive_holds_less,
     past_zeros,
     21 * mib,
     0,
     0,
     "the drive holds 21.00 MiB of the 64.00 MiB it claims: writes past 21.00 MiB of the drive"
     " were lost: reads there give zeros"},
    {"reads an earlier fill past 40 MiB",
     64 * mib,
     {{39 * mib, 64 * mib, damage_stale, 0, 0}},
     whole,
     drive_holds_less,
     past_other_run,
     40 * mib,
     0,
     0,
     "the drive holds 40.00 MiB of the 64.00 MiB it claims: writes past 40.00 MiB of the drive"
     " were lost: reads there give data of another run"},
    // Holds 33 MiB; its cache answers the latest writes, [53, 65) MiB of
    // the drive, as written.
    {"loses writes, the latest answered from a cache",
     64 * mib,
     {{32 * mib, 52 * mib, damage_blank, 0, 0}},
     whole,
     drive_holds_less,
     past_zeros,
     33 * mib,
     0,
     0,
     "the drive holds 33.00 MiB of the 64.00 MiB it claims: writes past 33.00 MiB of the drive"
     " were lost: reads there give zeros (12.00 MiB of the latest writes answered from a cache)"},
    // A cache of 24 MiB: less of what lies past the capacity is lost than
    // comes back, yet all of it that was written before the cache's share.
    {"loses writes behind a cache larger than the loss",
     64 * mib,
     {{32 * mib, 40 * mib, damage_blank, 0, 0}},
     whole,
     drive_holds_less,
     past_zeros,
     33 * mib,
     0,
     0,
     "the drive holds 33.00 MiB of the 64.00 MiB it claims: writes past 33.00 MiB of the drive"
     " were lost: reads there give zeros (24.00 MiB of the latest writes answered from a cache)"},
    // The same tail after data that could not be read: a worn area, and
    // the drive's own good writes after it.
    {"a good tail after data that could not be read",
     64 * mib,
     {{32 * mib, 40 * mib, damage_unreadable, 0, 0}},
     whole,
     drive_says_nothing,
     past_nothing,
     0,
     0,
     0,
     "nothing found about the drive's size"},
    // What came back between two losses is no cache's: not the latest
    // writes.
    {"good data between two losses",
     64 * mib,
     {{32 * mib, 36 * mib, damage_blank, 0, 0}, {48 * mib, 52 * mib, damage_blank, 0, 0}},
     whole,
     drive_says_nothing,
     past_nothing,
     0,
     0,
     0,
     "nothing found about the drive's size"},
    // A good tail of 472 MiB is larger than any cache reported: a bad
    // area, not a drive that lost everything past it.
    {"a good tail larger than any cache",
     512 * mib,
     {{32 * mib, 40 * mib, damage_blank, 0, 0}},
     {{0, 1 * mib, 512 * mib}},
     drive_says_nothing,
     past_nothing,
     0,
     0,
     0,
     "nothing found about the drive's size"},
    // One bad sector says nothing about the size.
    {"one bad sector",
     64 * mib,
     {{10 * mib, 10 * mib + 512, damage_unreadable, 0, 0}},
     whole,
     drive_says_nothing,
     past_nothing,
     0,
     0,
     0,
     "nothing found about the drive's size"},
    // A fill file of 4 MiB missing: the stream jumps, nothing shows where
    // the drive ends, and the check's own verdict stands.
    {"a fill file missing",
     60 * mib,
     {},
     {{0, 1 * mib, 60 * mib}},
     drive_says_nothing,
     past_nothing,
     0,
     0,
     0,
     "nothing found about the drive's size",
     {{20 * mib, 4 * mib}}},
    // Data 4 MiB on to the end, as a stream that skipped ahead holds: no
    // place reads it twice, and nothing comes back after it.
    {"data the stream skipped to",
     64 * mib,
     {{40 * mib, 64 * mib, damage_misplaced, 44 * mib, 0}},
     whole,
     drive_says_nothing,
     past_nothing,
     0,
     0,
     0,
     "nothing found about the drive's size"},
    {"a damaged last page",
     64 * mib,
     {{64 * mib - 4096, 64 * mib, damage_blank, 0, 0}},
     whole,
     drive_says_nothing,
     past_nothing,
     0,
     0,
     0,
     "nothing found about the drive's size"},
    // Holds 36 MiB from drive offset 1 MiB on. A fill file of 4 MiB is
    // missing at 20 MiB, so the data of stream offset 40 MiB was read at
    // input offset 36 MiB, drive offset 37 MiB, and landed at 1 MiB.
    {"wraps, a fill file missing before the later data",
     60 * mib,
     {{0, 8 * mib, damage_misplaced, 40 * mib, 0}},
     {{0, 1 * mib, 60 * mib}},
     drive_holds_less,
     past_wraps,
     36 * mib,
     36 * mib,
     36 * mib,
     "the drive holds 36.00 MiB of the 64.00 MiB it claims: it wraps around every 36.00 MiB",
     {{20 * mib, 4 * mib}}},
    // The later data's own place reads back zeros: it shows the wrap by
    // having been written over what was below.
    {"wraps, the later data lost in its own place",
     64 * mib,
     {{8 * mib, 16 * mib, damage_misplaced, 40 * mib, 0}, {40 * mib, 48 * mib, damage_blank, 0, 0}},
     whole,
     drive_holds_less,
     past_wraps,
     41 * mib,
     41 * mib,
     32 * mib,
     "the drive holds 41.00 MiB of the 64.00 MiB it claims: it wraps around every 32.00 MiB"},
    {"not mapped",
     64 * mib,
     {{20 * mib, 64 * mib, damage_blank, 0xFF, 0}},
     {},
     drive_kept_estimate,
     past_nothing,
     0,
     0,
     0,
     "it kept 20.00 MiB of the 64.00 MiB written (an estimate from what came back intact: the"
     " file system does not tell where its files lie on the drive)"},
};

TEST(DriveCapacity, DamageMappedToTheDriveSaysWhatItHolds) {
    for (const CapacityCase& c : capacity_cases) {
        SCOPED_TRACE(c.name);
        std::memset(&result, 0, sizeof result);
        result.run_known = true;
        result.bytes_read = c.written;
        result.expected_size = c.written;
        uint64_t damaged = 0;
        for (const Stretch& s : c.stretches) {
            result.stretches[result.stretch_count++] = s;
            result.damaged_bytes[s.kind] += s.end - s.start;
            damaged += s.end - s.start;
        }
        result.bytes_intact = c.written - damaged;
        for (const Slip& slip : c.slips) {
            result.slips[result.slip_count++] = slip;
        }
        std::vector<StreamExtent> extents = c.extents;
        DriveMap map = {extents.data(), extents.size()};
        DriveVerdict capacity = find_capacity(&result, &map, claims);
        EXPECT_EQ(capacity.finding, c.finding);
        if (c.finding == drive_holds_less) {
            EXPECT_EQ(capacity.holds, c.holds);
            EXPECT_EQ(capacity.past, c.past);
        }
        if (c.past == past_wraps) {
            EXPECT_EQ(capacity.wrap, c.wrap);
            EXPECT_EQ(capacity.holds_at_most, c.holds_at_most);
        }
        char line[512];
        format_drive_verdict(&capacity, line, sizeof line);
        EXPECT_EQ(std::string(line), c.line);
    }
}

TEST(DriveCapacity, StreamOffsetsMapThroughTheExtents) {
    StreamExtent extents[] = {{0, 4096, 8192}, {8192, 1 << 20, 4096}, {12288, 65536, 4096}};
    DriveMap map = {extents, 3};
    struct {
        uint64_t stream;
        bool mapped;
        uint64_t drive;
    } const cases[] = {{0, true, 4096},       {8191, true, 12287},
                       {8192, true, 1 << 20}, {12287, true, (1 << 20) + 4095},
                       {12288, true, 65536},  {16384, false, 0}};
    for (const auto& c : cases) {
        uint64_t drive = 0;
        EXPECT_EQ(drive_offset_of(&map, c.stream, &drive), c.mapped) << c.stream;
        if (c.mapped) {
            EXPECT_EQ(drive, c.drive) << c.stream;
        }
    }
}

// A drive that turned read-only or stopped answering at a write of the
// fill: what it holds is as far as the data vouched for reaches on the
// drive (through the extents, which the file system placed out of order),
// or as many bytes where there is no map; at most its claim, and never
// more than what was vouched for.
TEST(DriveCapacity, ADriveEventShowsWhatTheDataVouchedForReaches) {
    // 8 KiB low, then 4 KiB at 1 MiB, then 4 KiB at 64 KiB.
    StreamExtent extents[] = {{0, 4096, 8192}, {8192, 1 << 20, 4096}, {12288, 65536, 4096}};
    struct {
        const char* name;
        size_t extent_count;
        uint64_t vouched;
        PastCapacity event;
        uint64_t holds;
        const char* line;
    } const cases[] = {
        {"no map: the bytes vouched for", 0, 5 * mib, past_read_only, 5 * mib,
         "the drive holds between 5.00 MiB and 64.00 MiB of the 64.00 MiB it claims: at its"
         " first write past that it turned read-only"},
        {"the highest place reached, not the last", 3, 16384, past_gone, (1 << 20) + 4096,
         "the drive holds between 1.00 MiB and 64.00 MiB of the 64.00 MiB it claims: at its"
         " first write past that it stopped answering"},
        {"part of an extent", 3, 10240, past_gone, (1 << 20) + 2048, nullptr},
        {"an extent past what was vouched for is not", 3, 8192, past_read_only, 12288, nullptr},
        {"nothing vouched for", 3, 0, past_read_only, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DriveMap map = {extents, c.extent_count};
        DriveVerdict capacity = event_capacity(&map, c.vouched, 64 * mib, c.event);
        EXPECT_EQ(capacity.finding, drive_holds_less);
        EXPECT_EQ(capacity.past, c.event);
        EXPECT_EQ(capacity.holds, c.holds);
        EXPECT_EQ(capacity.holds_at_most, 64 * mib);
        if (c.line != nullptr) {
            char line[512];
            format_drive_verdict(&capacity, line, sizeof line);
            EXPECT_EQ(std::string(line), c.line);
        }
    }
}

} // namespace
