#include "check_report.h"

#include "damage_kinds.h"
#include "text_sizes.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

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

Wrap dominant_wrap(const CheckResult* result) {
    Wrap best = {0, 0, 0, 0};
    uint64_t kept = kept_stretch_count(result);
    for (uint64_t i = 0; i < kept; ++i) {
        const Stretch& candidate = result->stretches[i];
        if (candidate.kind != damage_misplaced || misplaced_by(candidate) == best.shift) {
            continue;
        }
        Wrap wrap = {misplaced_by(candidate), 0, candidate.start, candidate.end};
        for (uint64_t j = i; j < kept; ++j) {
            const Stretch& s = result->stretches[j];
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

// The one blank stretch that the input is, header and all; null where the
// input holds anything else.
const Stretch* only_blank(const CheckResult* result) {
    if (result->stretch_count != 1 || result->slip_count > 0) {
        return nullptr;
    }
    const Stretch& s = result->stretches[0];
    if (s.kind != damage_blank || s.end != result->bytes_read) {
        return nullptr;
    }
    if (s.start == 0) {
        return &s;
    }
    if (s.start != header_bytes || result->run_known) {
        return nullptr;
    }
    for (uint32_t i = 0; i < header_bytes; ++i) {
        if (result->header[i] != s.source) {
            return nullptr;
        }
    }
    return &s;
}

// Whether sprayl data was found anywhere: data that matched, whether in its
// place or not, or that another run wrote.
bool holds_sprayl_data(const CheckResult* result) {
    if (result->bytes_intact > 0 || result->slip_count > 0 || result->header_damaged) {
        return true;
    }
    for (int kind = 0; kind < damage_kind_count; ++kind) {
        if (damage_kinds[kind].sprayl_data && result->damaged_bytes[kind] > 0) {
            return true;
        }
    }
    return false;
}

// Where the damage runs without a break to the end of the input: the
// index of the first stretch of that tail, or the count when there is none.
uint64_t tail_start(const CheckResult* result) {
    uint64_t kept = kept_stretch_count(result);
    if (kept == 0 || kept < result->stretch_count ||
        result->stretches[kept - 1].end != result->bytes_read) {
        return kept;
    }
    uint64_t first = kept - 1;
    while (first > 0 && result->stretches[first - 1].end == result->stretches[first].start) {
        --first;
    }
    return first;
}

// What reads give in the tail: what its stretches hold, where they all
// hold the same, or "other data".
const char* tail_content(const CheckResult* result, uint64_t first) {
    uint64_t kept = kept_stretch_count(result);
    const Stretch& head = result->stretches[first];
    const char* words = damage_kinds[head.kind].reads_give(head);
    for (uint64_t i = first + 1; i < kept; ++i) {
        const Stretch& s = result->stretches[i];
        if (std::strcmp(damage_kinds[s.kind].reads_give(s), words) != 0) {
            return "other data";
        }
    }
    return words;
}

// Whether misplaced data of the shift shows a drive that gives two offsets
// one place: some of it also reads in the place it was written to, or it
// was written over what belonged where it lies. Data a stream skipped to
// shows neither.
bool wrap_is_shown(const CheckResult* result, int64_t shift) {
    uint64_t kept = kept_stretch_count(result);
    for (uint64_t i = 0; i < kept; ++i) {
        const Stretch& s = result->stretches[i];
        if (s.kind == damage_misplaced && misplaced_by(s) == shift &&
            misplaced_evidence(result, s) != misplaced_unexplained) {
            return true;
        }
    }
    return false;
}

// The first stretch of a tail that shows writes lost past its start: it
// holds nothing of this run (no moved or altered data), is long enough to
// be more than a bad sector or page, and is most of the damage. The count
// of the stretches where there is none.
uint64_t lost_tail(const CheckResult* result, uint64_t damaged) {
    uint64_t kept = kept_stretch_count(result);
    uint64_t first = tail_start(result);
    if (first == kept) {
        return kept;
    }
    for (uint64_t i = first; i < kept; ++i) {
        if (damage_kinds[result->stretches[i].kind].this_run) {
            return kept;
        }
    }
    uint64_t length = result->bytes_read - result->stretches[first].start;
    return length >= min_lost_bytes && length * 2 >= damaged ? first : kept;
}

// Whether the one jump of an input otherwise whole could also be a drive
// that wraps around by its length above its offset: data written that far
// later landed there and is read back. It could where the drive's unit
// (whole sectors) moved forward, and no place of it would have been
// written over twice: the data from the jump to the end spans no more than
// the jump, and the writes went no further than two jumps past it.
bool slip_may_be_wrap(const CheckResult* result) {
    if (result->slip_count != 1 || result->stretch_count > 0) {
        return false;
    }
    const Slip& slip = result->slips[0];
    uint64_t jump = static_cast<uint64_t>(slip.shift);
    return slip.shift > 0 && jump % sector_bytes == 0 && result->bytes_read - slip.offset <= jump &&
           (result->expected_size == 0 || result->expected_size <= slip.offset + 2 * jump);
}

void format_slips(const CheckResult* result, char* text, size_t capacity) {
    if (result->slip_count == 1) {
        const Slip& slip = result->slips[0];
        char amount[amount_text_capacity];
        format_amount(magnitude(slip.shift), amount, sizeof amount);
        char wrap[192] = "";
        if (slip_may_be_wrap(result)) {
            std::snprintf(wrap, sizeof wrap,
                          "; or the drive wraps around every %s, and offsets %" PRIu64
                          " to %" PRIu64 " hold what was written %" PRId64 " bytes later",
                          amount, slip.offset, result->bytes_read, slip.shift);
        }
        std::snprintf(text, capacity, "the stream %s %s at offset %" PRIu64 "%s",
                      slip.shift > 0 ? "lost" : "repeated", amount, slip.offset, wrap);
        return;
    }
    uint64_t lost = 0;
    uint64_t repeated = 0;
    uint64_t listed = result->slip_count < kept_slips ? result->slip_count : kept_slips;
    for (uint64_t i = 0; i < listed; ++i) {
        (result->slips[i].shift > 0 ? lost : repeated) += magnitude(result->slips[i].shift);
    }
    std::snprintf(text, capacity,
                  "the stream jumps in %" PRIu64 " places (%" PRIu64 " bytes lost, %" PRIu64
                  " repeated), the first at offset %" PRIu64,
                  result->slip_count, lost, repeated, result->slips[0].offset);
}

// "offsets a to b hold what was written W bytes later", and what the drive
// then holds: no more than the wrap distance above where it begins.
void format_wrap(const Wrap* wrap, char* text, size_t capacity) {
    char size[size_text_capacity];
    format_size(magnitude(wrap->shift), size, sizeof size);
    if (wrap->shift < 0) {
        std::snprintf(text, capacity,
                      "offsets %" PRIu64 " to %" PRIu64 " read back what was written %" PRIu64
                      " bytes (%s) earlier",
                      wrap->start, wrap->end, magnitude(wrap->shift), size);
        return;
    }
    uint64_t holds = wrap->start + static_cast<uint64_t>(wrap->shift);
    char holds_size[size_text_capacity];
    format_size(holds, holds_size, sizeof holds_size);
    std::snprintf(text, capacity,
                  "the drive wraps around every %" PRIu64 " bytes (%s): offsets %" PRIu64
                  " to %" PRIu64 " hold what was written %" PRIu64 " bytes later; it holds at"
                  " most %" PRIu64 " bytes (%s)",
                  wrap->shift, size, wrap->start, wrap->end, wrap->shift, holds, holds_size);
}

// The damage of the stretches before index before, and every slip: "1
// byte damaged in 1 stretch, the first at offset 5 (altered); the stream
// lost ..."; empty where there is none.
void describe_other_damage(const CheckResult* result, uint64_t before, char* text,
                           size_t capacity) {
    bool all = before == kept_stretch_count(result);
    uint64_t bytes = 0;
    for (uint64_t i = 0; i < before; ++i) {
        bytes += length_of(result->stretches[i]);
    }
    // All: the stretches beyond the kept ones too.
    bytes = all ? bytes_damaged(result) : bytes;
    uint64_t count = all ? result->stretch_count : before;
    char stretches[160] = "";
    if (count > 0) {
        char amount[amount_text_capacity];
        format_amount(bytes, amount, sizeof amount);
        const Stretch& first = result->stretches[0];
        std::snprintf(stretches, sizeof stretches,
                      "%s damaged in %" PRIu64 " %s, the first at offset %" PRIu64 " (%s)", amount,
                      count, count == 1 ? "stretch" : "stretches", first.start,
                      damage_kinds[first.kind].name);
    }
    char slips[256] = "";
    if (result->slip_count > 0) {
        format_slips(result, slips, sizeof slips);
    }
    std::snprintf(text, capacity, "%s%s%s", stretches,
                  count > 0 && result->slip_count > 0 ? "; " : "", slips);
}

// What the bytes read show, as the verdict of a check that read them all.
VerdictKind findings_verdict(const CheckResult* result, char* text, size_t capacity) {
    char size[size_text_capacity];
    if (!check_is_conclusive(result)) {
        std::snprintf(
            text, capacity,
            "not checked: %" PRIu64 " bytes are too few to tell, at least %" PRIu64 " are needed",
            result->bytes_read, min_checked_bytes + (result->run_known ? 0 : header_bytes));
        return verdict_too_short;
    }
    if (!check_found_damage(result)) {
        format_size(result->bytes_read, size, sizeof size);
        std::snprintf(text, capacity,
                      result->possibly_from_memory
                          ? "unconfirmed: all %" PRIu64 " bytes (%s) read are where they belong,"
                            " but they may have come from memory rather than the drive"
                          : "intact: all %" PRIu64 " bytes (%s) are where they belong",
                      result->bytes_read, size);
        return result->possibly_from_memory ? verdict_unconfirmed : verdict_intact;
    }
    const Stretch* only = only_blank(result);
    if (only != nullptr) {
        std::snprintf(text, capacity, "the input holds only %s",
                      damage_kinds[damage_blank].reads_give(*only));
        return verdict_blank;
    }
    if (!holds_sprayl_data(result)) {
        std::snprintf(text, capacity, "no sprayl data found");
        return verdict_foreign;
    }
    uint64_t damaged = bytes_damaged(result);
    Wrap wrap = dominant_wrap(result);
    // One shift for (nearly) all the damage: a drive that wraps, where the
    // data shows it. Pieces moved both ways, as swapped files are, are no
    // wrap.
    if (wrap.bytes > 0 && wrap.bytes * 4 >= damaged * 3 &&
        (wrap.shift < 0 || wrap_is_shown(result, wrap.shift))) {
        format_wrap(&wrap, text, capacity);
        return wrap.shift > 0 ? verdict_wraps : verdict_reads_earlier;
    }
    uint64_t tail = lost_tail(result, damaged);
    if (tail < kept_stretch_count(result)) {
        uint64_t from = result->stretches[tail].start;
        format_size(from, size, sizeof size);
        char before[320];
        describe_other_damage(result, tail, before, sizeof before);
        std::snprintf(text, capacity,
                      "writes past offset %" PRIu64 " (%s) were lost: reads there give %s%s%s",
                      from, size, tail_content(result, tail),
                      before[0] != '\0' ? "; before it, " : "", before);
        return verdict_lost_writes;
    }
    if (result->stretch_count == 0 && result->slip_count > 0) {
        format_slips(result, text, capacity);
        return verdict_slipped;
    }
    if (result->stretch_count == 0) {
        std::snprintf(text, capacity, "the input ends %" PRIu64 " bytes early",
                      bytes_missing(result));
        return verdict_ends_early;
    }
    describe_other_damage(result, kept_stretch_count(result), text, capacity);
    return verdict_damaged;
}

// A check that was stopped: how far it got of what it would have read,
// and the damage it found so far.
VerdictKind stopped_verdict(const CheckResult* result, char* text, size_t capacity) {
    char read[size_text_capacity];
    char all[size_text_capacity];
    format_size(result->bytes_read, read, sizeof read);
    format_size(result->expected_size, all, sizeof all);
    int used = result->expected_size > result->bytes_read
                   ? std::snprintf(text, capacity,
                                   "stopped after %" PRIu64 " of %" PRIu64 " bytes (%s of %s)",
                                   result->bytes_read, result->expected_size, read, all)
                   : std::snprintf(text, capacity, "stopped after %" PRIu64 " bytes (%s)",
                                   result->bytes_read, read);
    const char joint[] = "; in them: ";
    if (check_is_conclusive(result) && check_found_damage(result) && used > 0 &&
        static_cast<size_t>(used) + sizeof joint < capacity) {
        std::memcpy(text + used, joint, sizeof joint);
        used += static_cast<int>(sizeof joint - 1);
        findings_verdict(result, text + used, capacity - static_cast<size_t>(used));
    }
    return verdict_stopped;
}

} // namespace

const char* const verdict_kind_names[verdict_kind_count] = {
    "too_short",     "intact",      "unconfirmed", "blank",      "foreign", "wraps",
    "reads_earlier", "lost_writes", "slipped",     "ends_early", "damaged", "stopped",
};

VerdictKind verdict_of(const CheckResult* result, char* text, size_t capacity) {
    if (result->end == check_end_interrupted) {
        return stopped_verdict(result, text, capacity);
    }
    return findings_verdict(result, text, capacity);
}

void format_verdict(const CheckResult* result, char* text, size_t capacity) {
    verdict_of(result, text, capacity);
}
