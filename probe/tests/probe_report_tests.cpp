// The probe's report: the verdict in the drive test's words for each kind
// of drive, and the partition that keeps to the real storage.
#include "probe_report.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr uint64_t MiB = uint64_t{1} << 20;
constexpr uint64_t GiB = uint64_t{1} << 30;

ProbeResult result_of(uint64_t claimed, uint64_t capacity, PastCapacity past, uint64_t distance = 0,
                      uint64_t low = 0) {
    ProbeResult result = {};
    result.end = probe_finished;
    result.claimed_bytes = claimed;
    result.sector_size = 512;
    result.capacity = capacity;
    result.past = past;
    result.wrap_distance = distance;
    result.low_area = low;
    result.restored = true;
    return result;
}

TEST(ProbeReport, VerdictsInTheDriveTestsWords) {
    struct Case {
        ProbeResult result;
        const char* verdict;
        uint64_t partition; // sectors
    };
    ProbeResult stopped = result_of(4 * GiB, 0, past_nothing);
    stopped.end = probe_stopped_by_request;
    const Case cases[] = {
        {result_of(16 * GiB, 16 * GiB, past_nothing),
         "the drive holds all 16.00 GiB it claims, as far as the probe looked", 0},
        {result_of(8 * GiB, GiB, past_wraps, GiB),
         "the drive holds 1.00 GiB of the 8.00 GiB it claims: it wraps around every 1.00 GiB",
         GiB / 512 - 2048},
        {result_of(2 * GiB, 768 * MiB, past_wraps, 752 * MiB, 16 * MiB),
         "the drive holds 768.00 MiB of the 2.00 GiB it claims: it wraps around every 752.00 MiB"
         " above its first 16.00 MiB",
         768 * MiB / 512 - 2048},
        {result_of(4 * GiB, GiB + 3 * 512, past_zeros),
         "the drive holds 1.00 GiB of the 4.00 GiB it claims: writes past 1.00 GiB of the drive "
         "were"
         " lost: reads there give zeros",
         GiB / 512 - 2048},
        {result_of(4 * GiB, 100 * MiB + 512 * 1000, past_ones),
         "the drive holds 100.49 MiB of the 4.00 GiB it claims: writes past 100.49 MiB of the "
         "drive were"
         " lost: reads there give FF bytes",
         100 * MiB / 512 - 2048},
        {result_of(4 * GiB, GiB, past_old_data),
         "the drive holds 1.00 GiB of the 4.00 GiB it claims: writes past 1.00 GiB of the drive "
         "were"
         " lost: reads there give what was there before",
         GiB / 512 - 2048},
        {result_of(4 * GiB, GiB, past_read_errors),
         "the drive holds 1.00 GiB of the 4.00 GiB it claims: writes past 1.00 GiB of the drive "
         "were"
         " lost: reads there fail",
         GiB / 512 - 2048},
        {result_of(4 * GiB, 512 * 1024, past_zeros),
         "the drive holds 512.00 KiB of the 4.00 GiB it claims: writes past 512.00 KiB of the "
         "drive were"
         " lost: reads there give zeros",
         0},
        {stopped,
         "not probed to the end: stopped on request before an answer; what the drive really"
         " holds is not known",
         0},
    };
    for (const Case& c : cases) {
        char verdict[512];
        format_probe_verdict(&c.result, verdict, sizeof verdict);
        EXPECT_STREQ(verdict, c.verdict);
        if (c.result.past != past_nothing) {
            PartitionAdvice partition = partition_advice(&c.result);
            EXPECT_EQ(partition.sectors, c.partition) << c.verdict;
            EXPECT_EQ(partition.start, c.partition > 0 ? 2048u : 0u) << c.verdict;
        }
    }
}

// The cache line says what is known of the cache: its size to the sector,
// two bounds, or nothing; and the looked line names a witness only where one
// was written.
TEST(ProbeReport, SaysWhatIsKnownOfTheCacheAndWhereItLooked) {
    struct Case {
        bool measured;
        uint64_t at_least;
        uint64_t at_most;
        uint64_t witness;
        const char* cache_line;
        const char* looked;
    };
    const Case cases[] = {
        {true, 0, 0, 0, "cache: none (the latest write read back lost)\n",
         "looked: 25 places and the top sector written and read back, at most 256.00 MiB apart\n"},
        {false, 32 * MiB, 32 * MiB + 512, 32 * MiB,
         "cache: between 33554432 and 33554944 bytes (32.00 MiB) of the latest writes answered"
         " from it\n",
         "the top 32.00 MiB written;"},
        {false, 4 * MiB, 6 * MiB, 8 * MiB,
         "cache: between 4194304 and 6291456 bytes (4.00 MiB to 6.00 MiB) of the latest writes"
         " answered from it\n",
         "the top 8.00 MiB written;"},
        {false, 0, 0, 8 * MiB, "cache: not measured (it shows only where writes are lost)\n",
         "the top 8.00 MiB written;"},
    };
    for (const Case& c : cases) {
        ProbeResult result = result_of(4 * GiB, GiB, past_ones);
        result.cache_measured = c.measured;
        result.cache_bytes = c.at_least;
        result.cache_at_most = c.at_most;
        result.witness_bytes = c.witness;
        result.places_sampled = 25;
        result.largest_gap = 256 * MiB;
        std::string report;
        write_probe_report(
            &result, "/dev/sdx", "", false,
            [](void* context, const char* line) { *static_cast<std::string*>(context) += line; },
            &report);
        EXPECT_NE(report.find(c.cache_line), std::string::npos) << report;
        EXPECT_NE(report.find(c.looked), std::string::npos) << report;
    }
}

} // namespace
