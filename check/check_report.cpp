#include "check_report.h"

#include "damage_kinds.h"
#include "generator.h"
#include "text_sizes.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// How many damaged stretches and slips the report lists: the first one and
// the largest ones.
constexpr uint32_t listed_stretches = 8;
constexpr uint32_t listed_slips = 8;

uint64_t length_of(const Stretch& s) {
    return s.end - s.start;
}

uint64_t magnitude(int64_t value) {
    return value >= 0 ? static_cast<uint64_t>(value) : 0 - static_cast<uint64_t>(value);
}

uint64_t first_bad_offset(const CheckResult* result) {
    uint64_t first = UINT64_MAX;
    if (result->stretch_count > 0) {
        first = result->stretches[0].start;
    }
    if (result->slip_count > 0 && result->slips[0].offset < first) {
        first = result->slips[0].offset;
    }
    if (first == UINT64_MAX && bytes_missing(result) > 0) {
        first = result->bytes_read;
    }
    return first;
}

void put_size_line(ReportLines* lines, const char* label, uint64_t bytes) {
    char size[size_text_capacity];
    format_size(bytes, size, sizeof size);
    std::snprintf(lines->line, sizeof lines->line, "%s: %" PRIu64 " (%s)\n", label, bytes, size);
    put_line(lines);
}

// The stretches worth listing: the first, then the largest, in offset
// order.
uint64_t pick_stretches(const CheckResult* result, uint64_t* picked) {
    uint64_t kept = kept_stretch_count(result);
    uint64_t count = 0;
    if (kept == 0) {
        return 0;
    }
    picked[count++] = 0;
    while (count < listed_stretches && count < kept) {
        uint64_t best = kept;
        for (uint64_t i = 1; i < kept; ++i) {
            bool taken = false;
            for (uint64_t k = 0; k < count; ++k) {
                taken = taken || picked[k] == i;
            }
            if (!taken && (best == kept ||
                           length_of(result->stretches[i]) > length_of(result->stretches[best]))) {
                best = i;
            }
        }
        picked[count++] = best;
    }
    for (uint64_t i = 1; i < count; ++i) { // into offset order
        for (uint64_t k = i; k > 0 && picked[k - 1] > picked[k]; --k) {
            uint64_t swap = picked[k];
            picked[k] = picked[k - 1];
            picked[k - 1] = swap;
        }
    }
    return count;
}

void put_stretches(ReportLines* lines, const CheckResult* result) {
    uint64_t picked[listed_stretches];
    uint64_t count = pick_stretches(result, picked);
    std::snprintf(lines->line, sizeof lines->line,
                  "damaged stretches: %" PRIu64 " (start to end offset, end exclusive)%s\n",
                  result->stretch_count,
                  count < result->stretch_count ? ", the first and the largest" : "");
    put_line(lines);
    for (uint64_t i = 0; i < count; ++i) {
        const Stretch& s = result->stretches[picked[i]];
        char size[size_text_capacity];
        char detail[96];
        format_size(length_of(s), size, sizeof size);
        damage_kinds[s.kind].describe(s, detail, sizeof detail);
        std::snprintf(lines->line, sizeof lines->line, "  %" PRIu64 " to %" PRIu64 " (%s) %s: %s\n",
                      s.start, s.end, size, damage_kinds[s.kind].name, detail);
        put_line(lines);
    }
    if (count < result->stretch_count) {
        std::snprintf(lines->line, sizeof lines->line, "  and %" PRIu64 " more\n",
                      result->stretch_count - count);
        put_line(lines);
    }
}

void put_slips(ReportLines* lines, const CheckResult* result) {
    std::snprintf(lines->line, sizeof lines->line, "jumps in the stream: %" PRIu64 "\n",
                  result->slip_count);
    put_line(lines);
    uint64_t listed = result->slip_count < listed_slips ? result->slip_count : listed_slips;
    for (uint64_t i = 0; i < listed; ++i) {
        const Slip& slip = result->slips[i];
        char amount[amount_text_capacity];
        format_amount(magnitude(slip.shift), amount, sizeof amount);
        std::snprintf(lines->line, sizeof lines->line, "  at offset %" PRIu64 ": %s %s\n",
                      slip.offset, amount, slip.shift > 0 ? "lost" : "repeated");
        put_line(lines);
    }
    if (listed < result->slip_count) {
        std::snprintf(lines->line, sizeof lines->line, "  and %" PRIu64 " more\n",
                      result->slip_count - listed);
        put_line(lines);
    }
}

void put_notes(ReportLines* lines, const CheckResult* result) {
    if (result->header_damaged) {
        std::snprintf(lines->line, sizeof lines->line,
                      "note: the first %" PRIu32 " bytes are not the start of the run that the data"
                      " after them\n      belongs to; the check follows that run\n",
                      header_bytes);
        put_line(lines);
    } else if (!result->run_known && check_is_conclusive(result) && result->bytes_intact == 0 &&
               bytes_damaged(result) == bytes_checked(result)) {
        std::snprintf(lines->line, sizeof lines->line,
                      "note: nothing after the first %" PRIu32 " bytes belongs to the run they"
                      " define; the input\n      may not begin where a run of sprayl began\n",
                      header_bytes);
        put_line(lines);
    }
}

} // namespace

void describe_damage(const DamageTotals* totals, char* text, size_t capacity) {
    size_t used = 0;
    text[0] = '\0';
    for (int kind = 0; kind < damage_kind_count; ++kind) {
        if (totals->bytes[kind] == 0 || used >= capacity) {
            continue;
        }
        char size[size_text_capacity];
        format_size(totals->bytes[kind], size, sizeof size);
        int wrote = std::snprintf(text + used, capacity - used, "%s%s %s",
                                  used == 0 ? "DAMAGED: " : ", ", size, damage_kinds[kind].name);
        used += wrote > 0 ? static_cast<size_t>(wrote) : 0;
    }
    if (totals->slips > 0 && used < capacity) {
        int wrote = std::snprintf(
            text + used, capacity - used, "%s%" PRIu64 " %s", used == 0 ? "DAMAGED: " : ", ",
            totals->slips, totals->slips == 1 ? "jump in the stream" : "jumps in the stream");
        used += wrote > 0 ? static_cast<size_t>(wrote) : 0;
    }
    if (used == 0) {
        std::snprintf(text, capacity, "intact");
    }
}

void format_result(const CheckResult* result, char* text, size_t capacity) {
    switch (result->outcome) {
    case outcome_interrupted:
        std::snprintf(text, capacity, "INCOMPLETE, stopped at offset %" PRIu64, result->bytes_read);
        break;
    case outcome_incomplete:
        std::snprintf(text, capacity,
                      "INCOMPLETE, the input could not be read past offset %" PRIu64,
                      result->bytes_read);
        break;
    case outcome_too_short:
        std::snprintf(text, capacity, "NOT CHECKED, too short");
        break;
    case outcome_damaged:
        std::snprintf(text, capacity, "DAMAGED");
        break;
    case outcome_unconfirmed:
        std::snprintf(text, capacity, "UNCONFIRMED, possibly read from memory");
        break;
    case outcome_intact:
        std::snprintf(text, capacity, "intact");
        break;
    }
}

void write_report(const CheckResult* result, ReportWriter write, void* context) {
    char verdict[320];
    char result_text[128];
    format_verdict(result, verdict, sizeof verdict);
    format_result(result, result_text, sizeof result_text);
    write_report_with_verdict(result, verdict, result_text, write, context);
}

void write_report_with_verdict(const CheckResult* result, const char* verdict,
                               const char* result_text, ReportWriter write, void* context) {
    ReportLines lines_to_write;
    lines_to_write.write = write;
    lines_to_write.context = context;
    ReportLines* lines = &lines_to_write;
    std::snprintf(lines->line, sizeof lines->line, "verdict: %s\n", verdict);
    put_line(lines);
    put_size_line(lines, "bytes read", result->bytes_read);
    if (check_is_conclusive(result)) {
        put_size_line(lines, "bytes intact", result->bytes_intact);
    }
    for (int kind = 0; kind < damage_kind_count; ++kind) {
        if (result->damaged_bytes[kind] > 0) {
            char label[32];
            std::snprintf(label, sizeof label, "bytes %s", damage_kinds[kind].name);
            put_size_line(lines, label, result->damaged_bytes[kind]);
        }
    }
    if (bytes_missing(result) > 0) {
        std::snprintf(lines->line, sizeof lines->line,
                      "bytes missing: %" PRIu64 " (the input ends %" PRIu64 " bytes early)\n",
                      bytes_missing(result), bytes_missing(result));
        put_line(lines);
    }
    uint64_t first = first_bad_offset(result);
    if (first != UINT64_MAX) {
        char size[size_text_capacity];
        format_size(first, size, sizeof size);
        std::snprintf(lines->line, sizeof lines->line,
                      "first bad byte: offset %" PRIu64 ", %s in (block %" PRIu64
                      ", offset %" PRIu64 " in the block)\n",
                      first, size, first / block_bytes + 1, first % block_bytes);
        put_line(lines);
    }
    if (result->stretch_count > 0) {
        put_stretches(lines, result);
    }
    if (result->slip_count > 0) {
        put_slips(lines, result);
    }
    std::snprintf(lines->line, sizeof lines->line, "result: %s\n", result_text);
    put_line(lines);
    put_notes(lines, result);
}
