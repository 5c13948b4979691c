// ---- interim engine API, replaced by the engine rewrite ----
// A stand-in for the rewritten engine's interface on top of today's check,
// so that the code around the engine builds and runs until the rewrite
// lands. Its limits: a known seed does not check the first 16 bytes (they
// define the stream as for any input); unreadable bytes are checked as
// zeros; every difference counts as "altered"; the state lives in statics,
// for the one check that a process runs.
#include "check_report.h"
#include "stream_check.h"

#include <cinttypes>
#include <cstring>

namespace {

constexpr uint32_t kept_unreadable = 8;

CheckEnd interim_end = check_end_of_input;
uint64_t interim_missing = 0; // bytes short of the expected size
uint64_t interim_unreadable_count = 0;
BadRange interim_unreadable[kept_unreadable];
unsigned char interim_zeros[1 << 16];

uint64_t overlap(uint64_t a, uint64_t b, uint64_t start, uint64_t end) {
    uint64_t from = a > start ? a : start;
    uint64_t to = b < end ? b : end;
    return to > from ? to - from : 0;
}

} // namespace

void check_start_run(StreamCheck* check, const GeneratorState* seed) {
    (void)seed;
    check_start(check);
    interim_end = check_end_of_input;
    interim_missing = 0;
    interim_unreadable_count = 0;
}

void check_unreadable(StreamCheck* check, uint64_t length) {
    if (interim_unreadable_count < kept_unreadable) {
        interim_unreadable[interim_unreadable_count] = {check->bytes_read,
                                                        check->bytes_read + length};
    }
    ++interim_unreadable_count;
    while (length > 0) {
        size_t piece =
            length < sizeof interim_zeros ? static_cast<size_t>(length) : sizeof interim_zeros;
        check_bytes(check, interim_zeros, piece);
        length -= piece;
    }
}

void check_finish(StreamCheck* check, CheckEnd end, uint64_t expected_size) {
    interim_end = end;
    if (end == check_end_of_input && expected_size > check->bytes_read) {
        // The missing tail as one more bad range, so that the check fails.
        interim_missing = expected_size - check->bytes_read;
        if (check->range_count < kept_ranges) {
            check->ranges[check->range_count] = {check->bytes_read, expected_size};
        }
        ++check->range_count;
        check->bytes_differing += interim_missing;
        check->last_range_end = expected_size;
    }
}

uint64_t bytes_damaged(const StreamCheck* check) {
    return check->bytes_differing;
}

void damage_between(const StreamCheck* check, uint64_t start, uint64_t end, DamageTotals* totals) {
    std::memset(totals, 0, sizeof *totals);
    uint64_t kept = check->range_count < kept_ranges ? check->range_count : kept_ranges;
    for (uint64_t i = 0; i < kept; ++i) {
        uint64_t bytes = overlap(check->ranges[i].start, check->ranges[i].end, start, end);
        totals->bytes[damage_altered] += bytes;
        totals->stretches += bytes > 0;
    }
    uint64_t kept_bad =
        interim_unreadable_count < kept_unreadable ? interim_unreadable_count : kept_unreadable;
    for (uint64_t i = 0; i < kept_bad; ++i) {
        uint64_t bytes =
            overlap(interim_unreadable[i].start, interim_unreadable[i].end, start, end);
        uint64_t moved =
            bytes < totals->bytes[damage_altered] ? bytes : totals->bytes[damage_altered];
        // Only as much as the check's own ranges hold: check_start cannot
        // clear these statics, so a range of an earlier check overlaps none.
        totals->bytes[damage_altered] -= moved;
        totals->bytes[damage_unreadable] += moved;
    }
}

void print_report(std::FILE* out, const StreamCheck* check) {
    print_report(out, check, interim_end == check_end_of_input);
    for (uint64_t i = 0; i < interim_unreadable_count && i < kept_unreadable; ++i) {
        std::fprintf(out, "unreadable: %" PRIu64 " to %" PRIu64 "\n", interim_unreadable[i].start,
                     interim_unreadable[i].end);
    }
    if (interim_missing > 0) {
        std::fprintf(out, "the input ends %" PRIu64 " bytes early\n", interim_missing);
    }
    if (interim_end == check_end_interrupted) {
        std::fprintf(out, "(interrupted)\n");
    }
}

void describe_damage(const DamageTotals* totals, char* text, size_t capacity) {
    static const char* const names[damage_kind_count] = {"misplaced", "stale",      "blank",
                                                         "altered",   "unreadable", "foreign"};
    size_t used = static_cast<size_t>(std::snprintf(text, capacity, "intact"));
    for (int kind = 0; kind < damage_kind_count; ++kind) {
        if (totals->bytes[kind] == 0) {
            continue;
        }
        char size[32];
        format_size(totals->bytes[kind], size, sizeof size);
        const char* lead = used == 6 && std::strcmp(text, "intact") == 0 ? "" : ",";
        if (*lead == '\0') {
            used = static_cast<size_t>(std::snprintf(text, capacity, "DAMAGED:"));
        }
        if (used < capacity) {
            used += static_cast<size_t>(
                std::snprintf(text + used, capacity - used, "%s %s %s", lead, size, names[kind]));
        }
    }
}
