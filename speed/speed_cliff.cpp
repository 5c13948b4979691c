#include "speed_cliff.h"

#include <cstdio>

namespace {

// The bytes and seconds of a part of the profile.
struct Sum {
    uint64_t bytes;
    double seconds;
};

Sum sum_of(const RateProfile* profile, uint32_t from, uint32_t to) {
    Sum sum = {0, 0};
    for (uint32_t i = from; i < to; ++i) {
        sum.bytes += profile->bytes[i];
        sum.seconds += profile->seconds[i];
    }
    return sum;
}

double rate_of(const RateProfile* profile, uint32_t i) {
    return bytes_per_second(profile->bytes[i], profile->seconds[i]);
}

// The sum of the squared distances of the stretches' rates in [from, to)
// from their mean.
double spread(const RateProfile* profile, uint32_t from, uint32_t to) {
    double mean = 0;
    for (uint32_t i = from; i < to; ++i) {
        mean += rate_of(profile, i);
    }
    mean /= to > from ? to - from : 1;
    double sum = 0;
    for (uint32_t i = from; i < to; ++i) {
        double distance = rate_of(profile, i) - mean;
        sum += distance * distance;
    }
    return sum;
}

// The split where one step down fits the rates best; 0 for none.
uint32_t best_step(const RateProfile* profile) {
    uint32_t best = 0;
    double least = 0;
    for (uint32_t split = 1; split + least_stretches_after <= profile->count; ++split) {
        double fit = spread(profile, 0, split) + spread(profile, split, profile->count);
        if (best == 0 || fit < least) {
            best = split;
            least = fit;
        }
    }
    return best;
}

// Whether more than half of the stretches from split on are at most
// limit fast.
bool mostly_slow(const RateProfile* profile, uint32_t split, double limit) {
    uint32_t slow = 0;
    for (uint32_t i = split; i < profile->count; ++i) {
        slow += rate_of(profile, i) <= limit ? 1u : 0u;
    }
    return 2 * slow > profile->count - split;
}

} // namespace

SpeedCliff find_cliff(const RateProfile* profile) {
    Sum whole = sum_of(profile, 0, profile->count);
    double whole_rate = bytes_per_second(whole.bytes, whole.seconds);
    SpeedCliff none = {false, 0, whole_rate, whole_rate};
    uint32_t split = best_step(profile);
    if (split == 0) {
        return none;
    }
    Sum before = sum_of(profile, 0, split);
    Sum after = sum_of(profile, split, profile->count);
    double rate_before = bytes_per_second(before.bytes, before.seconds);
    double rate_after = bytes_per_second(after.bytes, after.seconds);
    double limit = rate_before / cliff_factor;
    if (rate_after <= 0 || rate_after > limit || !mostly_slow(profile, split, limit)) {
        return none;
    }
    return {true, uint64_t{split} * profile->stretch_bytes, rate_before, rate_after};
}

double sustained_rate(const SpeedCliff* cliff) {
    return cliff->rate_after;
}

void write_cliff_line(const SpeedCliff* cliff, uint64_t written, ReportWriter write,
                      void* context) {
    char line[256];
    char before[32];
    char after[32];
    char offset[32];
    format_rate(cliff->rate_before, before, sizeof before);
    format_rate(cliff->rate_after, after, sizeof after);
    if (cliff->found) {
        format_size(cliff->offset, offset, sizeof offset);
        std::snprintf(line, sizeof line, "write cache: %s for the first %s, then %s sustained\n",
                      before, offset, after);
    } else {
        format_size(written, offset, sizeof offset);
        std::snprintf(line, sizeof line, "write cache: no cliff in %s written\n", offset);
    }
    write(context, line);
}
