#include "check_report.h"

#include <cinttypes>
#include <cstring>

namespace {

const char* const kind_names[damage_kind_count] = {"misplaced", "stale",      "blank",
                                                   "altered",   "unreadable", "foreign"};

uint64_t kept_count(const StreamCheck* check) {
    return check->stretch_count < kept_stretches ? check->stretch_count : kept_stretches;
}

uint64_t length_of(const Stretch& s) {
    return s.end - s.start;
}

int64_t misplaced_by(const Stretch& s) {
    return static_cast<int64_t>(s.source) - static_cast<int64_t>(s.start);
}

uint64_t magnitude(int64_t value) {
    return value >= 0 ? static_cast<uint64_t>(value) : 0 - static_cast<uint64_t>(value);
}

// The shift that most misplaced bytes share, with the offsets they span.
struct Wrap {
    int64_t shift;
    uint64_t bytes;
    uint64_t start;
    uint64_t end;
};

Wrap dominant_wrap(const StreamCheck* check) {
    Wrap best = {0, 0, 0, 0};
    uint64_t kept = kept_count(check);
    for (uint64_t i = 0; i < kept; ++i) {
        const Stretch& candidate = check->stretches[i];
        if (candidate.kind != damage_misplaced || misplaced_by(candidate) == best.shift) {
            continue;
        }
        Wrap wrap = {misplaced_by(candidate), 0, candidate.start, candidate.end};
        for (uint64_t j = i; j < kept; ++j) {
            const Stretch& s = check->stretches[j];
            if (s.kind == damage_misplaced && misplaced_by(s) == wrap.shift) {
                wrap.bytes += length_of(s);
                wrap.end = s.end;
            }
        }
        if (wrap.bytes > best.bytes) {
            best = wrap;
        }
    }
    return best;
}

// Where the damage runs without a break to the end of the input: the
// index of the first stretch of that tail, or the count when there is none.
uint64_t tail_start(const StreamCheck* check) {
    uint64_t kept = kept_count(check);
    if (kept == 0 || kept < check->stretch_count ||
        check->stretches[kept - 1].end != check->bytes_read) {
        return kept;
    }
    uint64_t first = kept - 1;
    while (first > 0 && check->stretches[first - 1].end == check->stretches[first].start) {
        --first;
    }
    return first;
}

// What reads give in the tail: one kind, or "other data".
const char* tail_content(const StreamCheck* check, uint64_t first) {
    uint64_t kept = kept_count(check);
    const Stretch& head = check->stretches[first];
    for (uint64_t i = first + 1; i < kept; ++i) {
        const Stretch& s = check->stretches[i];
        if (s.kind != head.kind || (s.kind == damage_blank && s.source != head.source)) {
            return "other data";
        }
    }
    switch (head.kind) {
    case damage_blank:
        return head.source == 0 ? "zeros" : "FF bytes";
    case damage_stale:
        return "data of another run";
    case damage_unreadable:
        return "read errors";
    default:
        return "other data";
    }
}

// "1 byte", "600 bytes", or "2048 bytes (2.00 KiB)".
void format_amount(uint64_t bytes, char* text, size_t capacity) {
    if (bytes < 1024) {
        std::snprintf(text, capacity, "%" PRIu64 " %s", bytes, bytes == 1 ? "byte" : "bytes");
        return;
    }
    char size[32];
    format_size(bytes, size, sizeof size);
    std::snprintf(text, capacity, "%" PRIu64 " bytes (%s)", bytes, size);
}

void format_slips(const StreamCheck* check, char* text, size_t capacity) {
    if (check->slip_count == 1) {
        const Slip& slip = check->slips[0];
        char amount[64];
        format_amount(magnitude(slip.shift), amount, sizeof amount);
        std::snprintf(text, capacity, "the stream %s %s at offset %" PRIu64,
                      slip.shift > 0 ? "lost" : "repeated", amount, slip.offset);
        return;
    }
    uint64_t lost = 0;
    uint64_t repeated = 0;
    uint64_t listed = check->slip_count < kept_slips ? check->slip_count : kept_slips;
    for (uint64_t i = 0; i < listed; ++i) {
        (check->slips[i].shift > 0 ? lost : repeated) += magnitude(check->slips[i].shift);
    }
    std::snprintf(text, capacity,
                  "the stream jumps in %" PRIu64 " places (%" PRIu64 " bytes lost, %" PRIu64
                  " repeated), the first at offset %" PRIu64,
                  check->slip_count, lost, repeated, check->slips[0].offset);
}

uint64_t first_bad_offset(const StreamCheck* check) {
    uint64_t first = UINT64_MAX;
    if (check->stretch_count > 0) {
        first = check->stretches[0].start;
    }
    if (check->slip_count > 0 && check->slips[0].offset < first) {
        first = check->slips[0].offset;
    }
    if (first == UINT64_MAX && bytes_missing(check) > 0) {
        first = check->bytes_read;
    }
    return first;
}

void print_size_line(std::FILE* out, const char* label, uint64_t bytes) {
    char size[32];
    format_size(bytes, size, sizeof size);
    std::fprintf(out, "%s: %" PRIu64 " (%s)\n", label, bytes, size);
}

void describe_stretch(const Stretch& s, char* text, size_t capacity) {
    switch (s.kind) {
    case damage_misplaced:
        std::snprintf(text, capacity, "holds what belongs at offset %" PRIu64, s.source);
        break;
    case damage_stale:
        std::snprintf(text, capacity, "data of another run of sprayl");
        break;
    case damage_blank:
        std::snprintf(text, capacity, "all %s", s.source == 0 ? "00" : "FF");
        break;
    case damage_altered:
        std::snprintf(text, capacity, "%" PRIu64 " %s", s.bits,
                      s.bits == 1 ? "bit differs" : "bits differ");
        break;
    case damage_unreadable:
        std::snprintf(text, capacity, "could not be read");
        break;
    default:
        std::snprintf(text, capacity, "not data of this stream");
        break;
    }
}

// The stretches worth listing: the first, then the largest, in offset
// order.
uint64_t pick_stretches(const StreamCheck* check, uint64_t* picked) {
    uint64_t kept = kept_count(check);
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
                           length_of(check->stretches[i]) > length_of(check->stretches[best]))) {
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

void print_stretches(std::FILE* out, const StreamCheck* check) {
    uint64_t picked[listed_stretches];
    uint64_t count = pick_stretches(check, picked);
    std::fprintf(out, "damaged stretches: %" PRIu64 " (start to end offset, end exclusive)%s\n",
                 check->stretch_count,
                 count < check->stretch_count ? ", the first and the largest" : "");
    for (uint64_t i = 0; i < count; ++i) {
        const Stretch& s = check->stretches[picked[i]];
        char size[32];
        char detail[96];
        format_size(length_of(s), size, sizeof size);
        describe_stretch(s, detail, sizeof detail);
        std::fprintf(out, "  %" PRIu64 " to %" PRIu64 " (%s) %s: %s\n", s.start, s.end, size,
                     kind_names[s.kind], detail);
    }
    if (count < check->stretch_count) {
        std::fprintf(out, "  and %" PRIu64 " more\n", check->stretch_count - count);
    }
}

void print_slips(std::FILE* out, const StreamCheck* check) {
    std::fprintf(out, "jumps in the stream: %" PRIu64 "\n", check->slip_count);
    uint64_t listed = check->slip_count < listed_slips ? check->slip_count : listed_slips;
    for (uint64_t i = 0; i < listed; ++i) {
        const Slip& slip = check->slips[i];
        char amount[64];
        format_amount(magnitude(slip.shift), amount, sizeof amount);
        std::fprintf(out, "  at offset %" PRIu64 ": %s %s\n", slip.offset, amount,
                     slip.shift > 0 ? "lost" : "repeated");
    }
    if (listed < check->slip_count) {
        std::fprintf(out, "  and %" PRIu64 " more\n", check->slip_count - listed);
    }
}

void print_result(std::FILE* out, const StreamCheck* check) {
    if (check->end == check_end_interrupted) {
        std::fprintf(out, "result: INCOMPLETE, stopped at offset %" PRIu64 "\n", check->bytes_read);
    } else if (check->end == check_end_read_failed) {
        std::fprintf(out,
                     "result: INCOMPLETE, the input could not be read past offset %" PRIu64 "\n",
                     check->bytes_read);
    } else if (!check_is_conclusive(check)) {
        std::fprintf(out, "result: NOT CHECKED, too short\n");
    } else if (check_found_damage(check)) {
        std::fprintf(out, "result: DAMAGED\n");
    } else {
        std::fprintf(out, "result: intact\n");
    }
}

void print_notes(std::FILE* out, const StreamCheck* check) {
    if (check->header_damaged) {
        std::fprintf(out,
                     "note: the first %" PRIu32 " bytes are not the start of the run that the data"
                     " after them\n      belongs to; the check follows that run\n",
                     header_bytes);
    } else if (!check->run_known && check_is_conclusive(check) && check->bytes_intact == 0 &&
               bytes_damaged(check) == bytes_checked(check)) {
        std::fprintf(out,
                     "note: nothing after the first %" PRIu32 " bytes belongs to the run they"
                     " define; the input\n      may not begin where a run of sprayl began\n",
                     header_bytes);
    }
}

} // namespace

void format_size(uint64_t bytes, char* text, size_t capacity) {
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) {
        std::snprintf(text, capacity, "%" PRIu64 " %s", bytes, bytes == 1 ? "byte" : "bytes");
        return;
    }
    double value = static_cast<double>(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 5) {
        value /= 1024.0;
        ++unit;
    }
    std::snprintf(text, capacity, "%.2f %s", value, units[unit]);
}

const char* damage_kind_name(DamageKind kind) {
    return kind_names[kind];
}

void format_verdict(const StreamCheck* check, char* text, size_t capacity) {
    char size[32];
    if (!check_is_conclusive(check)) {
        std::snprintf(text, capacity,
                      "not checked: %" PRIu64 " bytes are too few to tell, at least %" PRIu64
                      " are needed",
                      check->bytes_read, min_checked_bytes + (check->run_known ? 0 : header_bytes));
        return;
    }
    if (!check_found_damage(check)) {
        format_size(check->bytes_read, size, sizeof size);
        std::snprintf(text, capacity, "intact: all %" PRIu64 " bytes (%s) are where they belong",
                      check->bytes_read, size);
        return;
    }
    uint64_t damaged = bytes_damaged(check);
    Wrap wrap = dominant_wrap(check);
    // One shift for (nearly) all the damage: a drive that wraps. Pieces
    // moved both ways, as swapped files are, are no wrap.
    if (wrap.bytes > 0 && wrap.bytes * 4 >= damaged * 3) {
        format_size(magnitude(wrap.shift), size, sizeof size);
        if (wrap.shift > 0) {
            // Writes past the real capacity landed on [start, end): the
            // drive holds no more than end bytes.
            char holds[32];
            format_size(wrap.end, holds, sizeof holds);
            std::snprintf(text, capacity,
                          "the drive wraps around every %" PRIu64 " bytes (%s): offsets %" PRIu64
                          " to %" PRIu64 " hold what was written %" PRIu64
                          " bytes later; it holds at most %" PRIu64 " bytes (%s)",
                          wrap.shift, size, wrap.start, wrap.end, wrap.shift, wrap.end, holds);
        } else {
            std::snprintf(text, capacity,
                          "offsets %" PRIu64 " to %" PRIu64 " read back what was written %" PRIu64
                          " bytes (%s) earlier",
                          wrap.start, wrap.end, magnitude(wrap.shift), size);
        }
        return;
    }
    uint64_t tail = tail_start(check);
    if (tail < kept_count(check) && check->stretches[tail].kind != damage_misplaced) {
        uint64_t from = check->stretches[tail].start;
        if ((check->bytes_read - from) * 2 >= damaged) {
            format_size(from, size, sizeof size);
            std::snprintf(text, capacity,
                          "writes past offset %" PRIu64 " (%s) were lost: reads there give %s",
                          from, size, tail_content(check, tail));
            return;
        }
    }
    if (check->stretch_count == 0 && check->slip_count > 0) {
        format_slips(check, text, capacity);
        return;
    }
    if (check->stretch_count == 0) {
        std::snprintf(text, capacity, "the input ends %" PRIu64 " bytes early",
                      bytes_missing(check));
        return;
    }
    const Stretch& first = check->stretches[0];
    char amount[64];
    format_amount(damaged, amount, sizeof amount);
    std::snprintf(text, capacity,
                  "%s damaged in %" PRIu64 " %s, the first at offset %" PRIu64 " (%s)", amount,
                  check->stretch_count, check->stretch_count == 1 ? "stretch" : "stretches",
                  first.start, kind_names[first.kind]);
}

void describe_damage(const DamageTotals* totals, char* text, size_t capacity) {
    size_t used = 0;
    text[0] = '\0';
    for (int kind = 0; kind < damage_kind_count; ++kind) {
        if (totals->bytes[kind] == 0 || used >= capacity) {
            continue;
        }
        char size[32];
        format_size(totals->bytes[kind], size, sizeof size);
        int wrote = std::snprintf(text + used, capacity - used, "%s%s %s",
                                  used == 0 ? "DAMAGED: " : ", ", size, kind_names[kind]);
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

void print_report(std::FILE* out, const StreamCheck* check) {
    char verdict[320];
    format_verdict(check, verdict, sizeof verdict);
    std::fprintf(out, "verdict: %s\n", verdict);
    print_size_line(out, "bytes read", check->bytes_read);
    if (check_is_conclusive(check)) {
        print_size_line(out, "bytes intact", check->bytes_intact);
    }
    for (int kind = 0; kind < damage_kind_count; ++kind) {
        if (check->totals.bytes[kind] > 0) {
            char label[32];
            std::snprintf(label, sizeof label, "bytes %s", kind_names[kind]);
            print_size_line(out, label, check->totals.bytes[kind]);
        }
    }
    if (bytes_missing(check) > 0) {
        std::fprintf(out, "bytes missing: %" PRIu64 " (the input ends %" PRIu64 " bytes early)\n",
                     bytes_missing(check), bytes_missing(check));
    }
    uint64_t first = first_bad_offset(check);
    if (first != UINT64_MAX) {
        char size[32];
        format_size(first, size, sizeof size);
        std::fprintf(out,
                     "first bad byte: offset %" PRIu64 ", %s in (block %" PRIu64 ", offset %" PRIu64
                     " in the block)\n",
                     first, size, first / block_bytes + 1, first % block_bytes);
    }
    if (check->stretch_count > 0) {
        print_stretches(out, check);
    }
    if (check->slip_count > 0) {
        print_slips(out, check);
    }
    print_result(out, check);
    print_notes(out, check);
}
