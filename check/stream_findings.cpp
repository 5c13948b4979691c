#include "stream_findings.h"

#include "damage_kinds.h"

#include <cstddef>
#include <cstring>

namespace {

// Where the stream jumps, bytes were lost or repeated on the way: a slip,
// as a transfer makes. A drive misplaces whole sectors, so a jump by a part
// of a sector is always a slip. A jump forward by whole sectors from data
// in its place is a skip (a cut, a dropped range, a missing file) unless
// the stream comes back from it: a skip never repeats a place, while data
// written over by later data (a drive that wraps around) is followed by the
// data in its own place again. So such a jump is held open as lost bytes
// (OpenJump) until the data comes back below it or the input ends. A jump
// back by whole sectors is a slip only when it is short and runs to the end
// of the input; anything else is misplaced data: the stream's own order is
// expected back after it.
constexpr uint64_t slip_limit = 1 << 20;

// Puts stretch at the end of the list, or lengthens the last one with it.
// Open jumps can be taken back only while every stretch is kept.
void list_stretch(StreamCheck* check, const Stretch& stretch) {
    if (check->result.stretch_count > 0 && check->result.stretch_count <= kept_stretches) {
        Stretch* last = &check->result.stretches[check->result.stretch_count - 1];
        if (stretches_merge(*last, stretch)) {
            last->end = stretch.end;
            last->bits += stretch.bits;
            return;
        }
    }
    ++check->result.stretch_count;
    if (check->result.stretch_count <= kept_stretches) {
        check->result.stretches[check->result.stretch_count - 1] = stretch;
    } else {
        check->state.open_jump_count = 0;
    }
}

void add_slip(StreamCheck* check, uint64_t offset, int64_t shift) {
    if (check->result.slip_count < kept_slips) {
        check->result.slips[check->result.slip_count] = {offset, shift};
    } else {
        check->state.open_jump_count = 0;
    }
    ++check->result.slip_count;
}

// Holds the jump about to be added as a slip open; when as many are open
// as can be, the earliest stands.
void open_jump(StreamCheck* check) {
    CheckState* state = &check->state;
    if (check->result.slip_count >= kept_slips) {
        return;
    }
    if (state->open_jump_count == open_jump_limit) {
        std::memmove(state->open_jumps, state->open_jumps + 1,
                     (open_jump_limit - 1) * sizeof(OpenJump));
        --state->open_jump_count;
    }
    state->open_jumps[state->open_jump_count++] = {state->span_start, state->expected_delta,
                                                   check->result.stretch_count,
                                                   check->result.slip_count};
}

// Lists the input [jump.offset, end) anew: the data counted intact there,
// at the deltas the slips since the jump gave it, is misplaced, between the
// stretches found there. The slips since go. False (nothing changed) where
// the list may not hold all that: the jump then stands.
bool take_back(StreamCheck* check, const OpenJump& jump, uint64_t end) {
    CheckResult* result = &check->result;
    uint64_t count = result->stretch_count - jump.first_stretch;
    uint64_t slips = result->slip_count - jump.slip;
    // At most one misplaced piece before each stretch, one after the last,
    // and one more where a slip splits a piece.
    if (result->stretch_count > kept_stretches || result->slip_count > kept_slips ||
        jump.first_stretch + 2 * count + 1 + slips > kept_stretches) {
        return false;
    }
    // The stretches since go to the end of the list's room, and come back
    // from there in order; what is written never reaches what is still to
    // be read.
    Stretch* found = result->stretches + (kept_stretches - count);
    std::memmove(found, result->stretches + jump.first_stretch,
                 static_cast<size_t>(count) * sizeof(Stretch));
    result->stretch_count = jump.first_stretch;
    uint64_t at = jump.offset;
    int64_t delta = jump.from_delta;
    uint64_t slip = jump.slip;
    uint64_t moved = 0;
    for (uint64_t i = 0; i <= count; ++i) {
        uint64_t gap_end = i < count ? found[i].start : end;
        while (at < gap_end) {
            for (; slip < result->slip_count && result->slips[slip].offset <= at; ++slip) {
                delta += result->slips[slip].shift;
            }
            uint64_t piece_end = slip < result->slip_count && result->slips[slip].offset < gap_end
                                     ? result->slips[slip].offset
                                     : gap_end;
            uint64_t source = static_cast<uint64_t>(static_cast<int64_t>(at) + delta);
            list_stretch(check, {at, piece_end, damage_misplaced, source, 0});
            moved += piece_end - at;
            at = piece_end;
        }
        if (i < count) {
            list_stretch(check, found[i]);
            at = found[i].end;
        }
    }
    result->slip_count = jump.slip;
    result->bytes_intact -= moved;
    result->damaged_bytes[damage_misplaced] += moved;
    return true;
}

// Data of this run at delta, below the expected delta: where that is at or
// below where open jumps began, the stream came back, and they were no
// skips. The expected delta is then the one before the earliest of them.
void come_back(StreamCheck* check, int64_t delta, uint64_t at) {
    CheckState* state = &check->state;
    uint32_t kept = state->open_jump_count;
    while (kept > 0 && state->open_jumps[kept - 1].from_delta >= delta) {
        --kept;
    }
    if (kept == state->open_jump_count) {
        return;
    }
    OpenJump jump = state->open_jumps[kept];
    state->open_jump_count = kept;
    if (take_back(check, jump, at)) {
        state->expected_delta = jump.from_delta;
    }
}

} // namespace

void add_stretch(StreamCheck* check, const Stretch& stretch) {
    if (stretch.end <= stretch.start) {
        return;
    }
    check->result.damaged_bytes[stretch.kind] += stretch.end - stretch.start;
    check->state.in_sequence = false;
    list_stretch(check, stretch);
}

void settle_match(StreamCheck* check, bool input_ends) {
    if (!check->state.match_open) {
        return;
    }
    check->state.match_open = false;
    uint64_t length = check->state.span_end - check->state.span_start;
    if (length == 0) {
        return;
    }
    if (length >= min_checked_bytes) {
        check->state.run_confirmed = true;
    }
    if (check->state.span_delta < check->state.expected_delta) {
        come_back(check, check->state.span_delta, check->state.span_start);
    }
    int64_t shift = check->state.span_delta - check->state.expected_delta;
    if (shift != 0) {
        uint64_t distance =
            shift > 0 ? static_cast<uint64_t>(shift) : 0 - static_cast<uint64_t>(shift);
        bool whole_sectors = distance % sector_bytes == 0;
        bool skip =
            whole_sectors && shift > 0 && check->state.placed && !check->state.read_in_place;
        bool slip = !whole_sectors || skip ||
                    (distance <= slip_limit && input_ends && check->state.in_sequence);
        if (!slip) {
            uint64_t source = static_cast<uint64_t>(static_cast<int64_t>(check->state.span_start) +
                                                    check->state.span_delta);
            add_stretch(check, {check->state.span_start, check->state.span_end, damage_misplaced,
                                source, 0});
            check->state.placed = false;
            return;
        }
        if (skip) {
            open_jump(check);
        }
        add_slip(check, check->state.span_start, shift);
        check->state.expected_delta = check->state.span_delta;
    }
    check->result.bytes_intact += length;
    check->state.in_sequence = true;
    check->state.placed = true;
}

void extend_match(StreamCheck* check, uint64_t start, uint64_t end) {
    if (check->state.match_open && check->state.span_delta == check->state.delta &&
        check->state.span_end == start) {
        check->state.span_end = end;
        return;
    }
    settle_match(check, false);
    check->state.match_open = true;
    check->state.span_start = start;
    check->state.span_end = end;
    check->state.span_delta = check->state.delta;
}

void note_damage(StreamCheck* check, uint64_t start, uint64_t end, DamageKind kind, uint64_t source,
                 uint64_t bits) {
    settle_match(check, false);
    add_stretch(check, {start, end, kind, source, bits});
}

bool run_is_confirmed(const StreamCheck* check) {
    return check->state.run_confirmed ||
           (check->state.match_open &&
            check->state.span_end - check->state.span_start >= min_checked_bytes);
}
