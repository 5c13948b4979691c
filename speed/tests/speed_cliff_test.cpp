// The cliff finder over rate profiles: where the rate drops, and nowhere
// else.
#include "speed_cliff.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr uint64_t stretch = uint64_t{1} << 20;
constexpr double mb = 1e6;

// A profile of whole stretches written at the rates given (MB/s).
struct Profile {
    std::vector<uint64_t> bytes;
    std::vector<double> seconds;
    RateProfile view() const {
        return {bytes.data(), seconds.data(), static_cast<uint32_t>(bytes.size()), stretch};
    }
};

Profile profile_of(const std::vector<double>& rates) {
    Profile p;
    for (double rate : rates) {
        p.bytes.push_back(stretch);
        p.seconds.push_back(static_cast<double>(stretch) / (rate * mb));
    }
    return p;
}

struct CliffCase {
    const char* what;
    std::vector<double> rates;
    bool found;
    uint32_t at;  // the stretch the writes after it begin with
    double after; // MB/s sustained
};

const CliffCase cliff_cases[] = {
    {"steady", {20, 21, 19, 20, 20, 20}, false, 0, 20},
    {"a cache of four stretches", {100, 100, 100, 100, 10, 10, 10, 10, 10}, true, 4, 10},
    {"a cache of one stretch", {200, 12, 12, 12}, true, 1, 12},
    {"noisy on both sides", {90, 110, 95, 105, 100, 11, 9, 10, 10.5, 9.5}, true, 5, 9.98},
    {"a drop by less than the factor", {30, 30, 30, 21, 21, 21}, false, 0, 24.7},
    {"one slow stretch at the end is no cliff", {50, 50, 50, 50, 50, 5}, false, 0, 20},
    {"too short to tell", {100, 10}, false, 0, 18.2},
    {"empty", {}, false, 0, 0},
};

TEST(SpeedCliff, TheCliffIsWhereTheProfileDrops) {
    for (const CliffCase& c : cliff_cases) {
        Profile p = profile_of(c.rates);
        RateProfile view = p.view();
        SpeedCliff cliff = find_cliff(&view);
        EXPECT_EQ(cliff.found, c.found) << c.what;
        if (c.found) {
            EXPECT_EQ(cliff.offset, c.at * stretch) << c.what;
            EXPECT_GT(cliff.rate_before, cliff_factor * cliff.rate_after) << c.what;
        }
        EXPECT_NEAR(sustained_rate(&cliff) / mb, c.after, 0.05) << c.what;
    }
}

// Wherever a cache of any length runs out, with noise on both sides, the
// cliff is found there and the rate after it is the slow one.
TEST(SpeedCliff, ACacheOfAnyLengthIsFoundWhereItEnds) {
    uint32_t noise = 12345;
    for (uint32_t cache = 1; cache + least_stretches_after <= 40; ++cache) {
        std::vector<double> rates;
        for (uint32_t i = 0; i < 40; ++i) {
            noise = noise * 1103515245 + 12345;
            double wobble = 0.9 + 0.2 * static_cast<double>(noise >> 16 & 0xffff) / 65535.0;
            rates.push_back((i < cache ? 80 : 20) * wobble);
        }
        Profile p = profile_of(rates);
        RateProfile view = p.view();
        SpeedCliff cliff = find_cliff(&view);
        ASSERT_TRUE(cliff.found) << "cache of " << cache;
        EXPECT_EQ(cliff.offset, cache * stretch) << "cache of " << cache;
        EXPECT_NEAR(cliff.rate_after / mb, 20, 2) << "cache of " << cache;
    }
}

void append_line(void* context, const char* line) {
    *static_cast<std::string*>(context) += line;
}

TEST(SpeedCliff, ItsLineSaysWhereAndHowFast) {
    Profile p = profile_of({100, 100, 10, 10, 10});
    RateProfile view = p.view();
    SpeedCliff cliff = find_cliff(&view);
    std::string text;
    write_cliff_line(&cliff, 5 * stretch, append_line, &text);
    EXPECT_EQ(text, "write cache: 100 MB/s for the first 2.00 MiB, then 10 MB/s sustained\n");
    Profile steady = profile_of({10, 10, 10});
    view = steady.view();
    cliff = find_cliff(&view);
    text.clear();
    write_cliff_line(&cliff, 3 * stretch, append_line, &text);
    EXPECT_EQ(text, "write cache: no cliff in 3.00 MiB written\n");
}

} // namespace
