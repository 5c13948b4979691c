// Where a drive's write rate falls off for good: the cliff where a fast
// cache (the SLC part of a card's flash, a drive's memory) is full and the
// writes go at the speed the drive sustains. Found over a rate profile,
// the bytes and seconds of equal stretches written one after another.
#pragma once

#include "report_text.h"

#include <cstdint>

struct RateProfile {
    const uint64_t* bytes; // of each stretch, in the order written
    const double* seconds;
    uint32_t count;
    uint64_t stretch_bytes; // where each stretch begins: its index times this
};

// The rate before the cliff must be this many times the rate after it.
constexpr double cliff_factor = 1.5;
// The stretches that the rate after a cliff is measured over, at least:
// one slow stretch at the end (the last flush) is no cliff.
constexpr uint32_t least_stretches_after = 2;

struct SpeedCliff {
    bool found;
    uint64_t offset;    // where the writes after it begin
    double rate_before; // bytes per second; over the whole profile where none was found
    double rate_after;
};

// The split of the profile into a part before and a part after that
// fits the stretches' rates best as one step down (the least squares),
// where the part after holds least_stretches_after stretches or more, its
// rate is at most the rate before over cliff_factor, and more than half of
// its stretches are that slow: a slow stretch or two among fast ones is no
// cliff.
SpeedCliff find_cliff(const RateProfile* profile);

// The rate the drive sustains: after the cliff, or over the whole profile
// where there is none.
double sustained_rate(const SpeedCliff* cliff);

// "write cache: 120 MB/s for the first 1.00 GiB, then 9.8 MB/s sustained",
// or where none was found "write cache: no cliff in 3.75 GiB written".
void write_cliff_line(const SpeedCliff* cliff, uint64_t written, ReportWriter write, void* context);
