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
