#include "check_result.h"

#include <cstring>

uint64_t bytes_checked(const CheckResult* result) {
    if (result->run_known) {
        return result->bytes_read;
    }
    return result->bytes_read > header_bytes ? result->bytes_read - header_bytes : 0;
}

uint64_t bytes_damaged(const CheckResult* result) {
    uint64_t sum = 0;
    for (int kind = 0; kind < damage_kind_count; ++kind) {
        sum += result->damaged_bytes[kind];
    }
    return sum;
}

uint64_t bytes_missing(const CheckResult* result) {
    // A check that was stopped did not read on: what it did not read is not
    // missing from the input.
    if (result->end == check_end_interrupted) {
        return 0;
    }
    return result->expected_size > result->bytes_read ? result->expected_size - result->bytes_read
                                                      : 0;
}

bool check_is_conclusive(const CheckResult* result) {
    return bytes_checked(result) >= min_checked_bytes;
}

bool check_found_damage(const CheckResult* result) {
    return result->stretch_count > 0 || result->slip_count > 0 || bytes_missing(result) > 0;
}

uint64_t kept_stretch_count(const CheckResult* result) {
    return result->stretch_count < kept_stretches ? result->stretch_count : kept_stretches;
}

void damage_between(const CheckResult* result, uint64_t start, uint64_t end, DamageTotals* totals) {
    std::memset(totals, 0, sizeof *totals);
    uint64_t kept = kept_stretch_count(result);
    for (uint64_t i = 0; i < kept; ++i) {
        const Stretch& s = result->stretches[i];
        uint64_t from = s.start > start ? s.start : start;
        uint64_t to = s.end < end ? s.end : end;
        if (from < to) {
            totals->bytes[s.kind] += to - from;
        }
    }
    uint64_t slips = result->slip_count < kept_slips ? result->slip_count : kept_slips;
    for (uint64_t i = 0; i < slips; ++i) {
        if (result->slips[i].offset >= start && result->slips[i].offset < end) {
            ++totals->slips;
        }
    }
}

namespace {

// How many touching stretches a look for intact data walks over before it
// gives up: a verdict is made once, and need not follow a long chain.
constexpr uint64_t walk_limit = 256;

uint64_t kept_slip_count(const CheckResult* result) {
    return result->slip_count < kept_slips ? result->slip_count : kept_slips;
}

// The first input offset in [from, end) that came back intact: read, past
// the header where the run was taken from it, and in no stretch. False
// where there is none, or where it lies past the stretches kept.
bool first_intact_in(const CheckResult* result, uint64_t from, uint64_t end, uint64_t* at) {
    uint64_t kept = kept_stretch_count(result);
    uint64_t first_checked = result->run_known ? 0 : header_bytes;
    uint64_t place = from > first_checked ? from : first_checked;
    end = end < result->bytes_read ? end : result->bytes_read;
    // The first stretch that ends past place.
    uint64_t low = 0;
    uint64_t high = kept;
    while (low < high) {
        uint64_t middle = low + (high - low) / 2;
        if (result->stretches[middle].end <= place) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    for (uint64_t steps = 0; low < kept && result->stretches[low].start <= place; ++low, ++steps) {
        if (steps == walk_limit) {
            return false;
        }
        place = result->stretches[low].end;
    }
    if (place >= end || (low == kept && kept < result->stretch_count)) {
        return false;
    }
    *at = place;
    return true;
}

// Whether any of the stream [start, end) came back intact in its place.
bool stream_reads_intact(const CheckResult* result, uint64_t start, uint64_t end) {
    uint64_t slips = kept_slip_count(result);
    int64_t delta = 0;
    uint64_t piece_start = 0;
    for (uint64_t k = 0; k <= slips; ++k) {
        uint64_t piece_end = k < slips ? result->slips[k].offset : result->bytes_read;
        // The input offsets of this piece that followed the stream to [start, end).
        int64_t from = static_cast<int64_t>(start) - delta;
        int64_t to = static_cast<int64_t>(end) - delta;
        uint64_t low =
            from > static_cast<int64_t>(piece_start) ? static_cast<uint64_t>(from) : piece_start;
        uint64_t high = to < static_cast<int64_t>(piece_end)
                            ? static_cast<uint64_t>(to < 0 ? 0 : to)
                            : piece_end;
        uint64_t at = 0;
        if (low < high && first_intact_in(result, low, high, &at)) {
            return true;
        }
        if (k < slips) {
            delta += result->slips[k].shift;
            piece_start = piece_end;
        }
    }
    return false;
}

} // namespace

int64_t followed_delta_at(const CheckResult* result, uint64_t at) {
    int64_t delta = 0;
    uint64_t slips = kept_slip_count(result);
    for (uint64_t k = 0; k < slips && result->slips[k].offset <= at; ++k) {
        delta += result->slips[k].shift;
    }
    return delta;
}

bool input_offset_of(const CheckResult* result, uint64_t offset, uint64_t* at) {
    uint64_t slips = kept_slip_count(result);
    int64_t delta = 0;
    uint64_t piece_start = 0;
    for (uint64_t k = 0; k <= slips; ++k) {
        uint64_t piece_end = k < slips ? result->slips[k].offset : result->bytes_read;
        int64_t input = static_cast<int64_t>(offset) - delta;
        if (input >= static_cast<int64_t>(piece_start) && input < static_cast<int64_t>(piece_end)) {
            *at = static_cast<uint64_t>(input);
            return true;
        }
        if (k < slips) {
            delta += result->slips[k].shift;
            piece_start = piece_end;
        }
    }
    return false;
}

MisplacedEvidence misplaced_evidence(const CheckResult* result, const Stretch& stretch) {
    if (stream_reads_intact(result, stretch.source,
                            stretch.source + (stretch.end - stretch.start))) {
        return misplaced_read_twice;
    }
    int64_t own_delta = static_cast<int64_t>(stretch.source) - static_cast<int64_t>(stretch.start);
    uint64_t after = 0;
    if (own_delta > followed_delta_at(result, stretch.start) &&
        first_intact_in(result, stretch.end, result->bytes_read, &after) &&
        followed_delta_at(result, after) < own_delta) {
        return misplaced_written_over;
    }
    return misplaced_unexplained;
}
