// The one sentence that says what a drive holds, for the probe and the fill
// alike: a row for each way it reads.
#include "drive_verdict.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

constexpr uint64_t mib = uint64_t{1} << 20;

struct VerdictCase {
    DriveVerdict verdict;
    const char* line;
};

const VerdictCase verdict_cases[] = {
    {{drive_says_nothing, 4096 * mib, 0, 0, past_nothing, 0, 0, 0, 0, 0},
     "nothing found about the drive's size"},
    {{drive_holds_all, 4096 * mib, 4096 * mib, 4096 * mib, past_nothing, 0, 0, 0, 0, 0},
     "the drive holds all 4.00 GiB it claims, as far as the probe looked"},
    {{drive_holds_less, 4096 * mib, 512 * mib, 512 * mib, past_wraps, 512 * mib, 0, 0, 0, 0},
     "the drive holds 512.00 MiB of the 4.00 GiB it claims: it wraps around every 512.00 MiB"},
    {{drive_holds_less, 1024 * mib, 96 * mib, 96 * mib, past_wraps, 80 * mib, 16 * mib, 0, 0, 0},
     "the drive holds 96.00 MiB of the 1.00 GiB it claims: it wraps around every 80.00 MiB"
     " above its first 16.00 MiB"},
    {{drive_holds_less, 64 * mib, 24 * mib, 33 * mib, past_wraps, 24 * mib, 0, 0, 0, 0},
     "the drive holds 24.00 MiB of the 64.00 MiB it claims (up to 33.00 MiB if it keeps a low"
     " area apart): it wraps around every 24.00 MiB"},
    {{drive_holds_less, 0, 24 * mib, 24 * mib, past_wraps, 24 * mib, 0, 0, 0, 0},
     "the drive holds 24.00 MiB: it wraps around every 24.00 MiB"},
    {{drive_holds_less, 4096 * mib, 1024 * mib, 1024 * mib, past_zeros, 0, 0, 0, 0, 0},
     "the drive holds 1.00 GiB of the 4.00 GiB it claims: writes past 1.00 GiB of the drive were"
     " lost: reads there give zeros"},
    {{drive_holds_less, 4096 * mib, 1024 * mib, 1024 * mib, past_ones, 0, 0, 0, 0, 0},
     "the drive holds 1.00 GiB of the 4.00 GiB it claims: writes past 1.00 GiB of the drive were"
     " lost: reads there give FF bytes"},
    {{drive_holds_less, 4096 * mib, 1024 * mib, 1024 * mib, past_old_data, 0, 0, 0, 0, 0},
     "the drive holds 1.00 GiB of the 4.00 GiB it claims: writes past 1.00 GiB of the drive were"
     " lost: reads there give what was there before"},
    {{drive_holds_less, 4096 * mib, 1024 * mib, 1024 * mib, past_other_run, 0, 0, 0, 0, 0},
     "the drive holds 1.00 GiB of the 4.00 GiB it claims: writes past 1.00 GiB of the drive were"
     " lost: reads there give data of another run"},
    {{drive_holds_less, 4096 * mib, 1024 * mib, 1024 * mib, past_other_data, 0, 0, 0, 0, 0},
     "the drive holds 1.00 GiB of the 4.00 GiB it claims: writes past 1.00 GiB of the drive were"
     " lost: reads there give other data"},
    {{drive_holds_less, 4096 * mib, 1024 * mib, 1024 * mib, past_read_errors, 0, 0, 0, 0, 0},
     "the drive holds 1.00 GiB of the 4.00 GiB it claims: writes past 1.00 GiB of the drive were"
     " lost: reads there fail"},
    // The drive's first write past what it holds made it stop taking
    // writes or answering: known to the sector, or between the last place
    // that held and that write.
    {{drive_holds_less, 4096 * mib, 1024 * mib, 1024 * mib, past_read_only, 0, 0, 0, 0, 0},
     "the drive holds 1.00 GiB of the 4.00 GiB it claims: at its first write past that it turned"
     " read-only"},
    {{drive_holds_less, 4096 * mib, 768 * mib + 512, 1024 * mib, past_gone, 0, 0, 0, 0, 0},
     "the drive holds between 768.00 MiB and 1.00 GiB of the 4.00 GiB it claims: at its first"
     " write past that it stopped answering"},
    {{drive_kept_estimate, 256 * mib, 0, 0, past_nothing, 0, 0, 30 * mib, 31 * mib, 0},
     "it kept 30.00 MiB of the 31.00 MiB written (an estimate from what came back intact: the"
     " file system does not tell where its files lie on the drive)"},
};

TEST(DriveVerdict, OneSentenceForEachWayItReads) {
    for (const VerdictCase& c : verdict_cases) {
        char line[512];
        format_drive_verdict(&c.verdict, line, sizeof line);
        EXPECT_EQ(std::string(line), c.line);
    }
}

// A row of its own for each: no two share a name.
TEST(DriveVerdict, EverythingPastTheCapacityHasItsOwnName) {
    std::set<std::string> names;
    for (int past = 0; past < past_capacity_count; ++past) {
        names.insert(past_capacity_name(static_cast<PastCapacity>(past)));
    }
    EXPECT_EQ(names.size(), static_cast<size_t>(past_capacity_count));
    EXPECT_STREQ(past_capacity_name(past_wraps), "wraps around to lower addresses");
}

TEST(DriveVerdict, TheWrapIsTheGreatestCommonDivisorOfTheDistances) {
    EXPECT_EQ(greatest_common_divisor(0, 96 * mib), 96 * mib);
    EXPECT_EQ(greatest_common_divisor(192 * mib, 288 * mib), 96 * mib);
    EXPECT_EQ(greatest_common_divisor(512, 0), 512u);
    EXPECT_EQ(greatest_common_divisor(7, 5), 1u);
}

} // namespace
