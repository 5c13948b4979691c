#include "stream_check.h"

#include "damage_kinds.h"
#include "stream_position.h"

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

// Eight words at any of the four byte alignments.
constexpr uint32_t recognise_bytes = recognised_words * 4 + 3;

uint32_t load_word(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint64_t min_u64(uint64_t a, uint64_t b) {
    return a < b ? a : b;
}

// ---- The prediction ----

// Makes the block hold stream offset offset (not negative): by filling on
// from the block before when it is near, else by a jump of the run.
void predict_at(StreamCheck* check, int64_t offset) {
    int64_t start = check->state.block_start;
    if (start >= 0 && check->state.block_held && offset >= start && offset < start + block_bytes) {
        return;
    }
    if (start >= 0 && offset >= start + block_bytes && offset < start + 64 * int64_t{block_bytes}) {
        while (offset >= check->state.block_start + block_bytes) {
            fill_block(&check->state.block_end_state, check->state.block);
            check->state.block_start += block_bytes;
        }
        check->state.block_held = true;
        return;
    }
    uint64_t outputs = static_cast<uint64_t>(offset) / 4;
    check->state.block_end_state = state_after_outputs(&check->state.run, outputs);
    fill_block(&check->state.block_end_state, check->state.block);
    check->state.block_start = static_cast<int64_t>(outputs * 4);
    check->state.block_held = true;
}

// The prediction and the comparison of a whole block in one pass, where the
// input at data (at least block_bytes of it) starts where the block after
// the predicted one does. True when the block matched; the prediction has
// then moved on to it, without holding its bytes. False changes nothing.
bool match_next_block(StreamCheck* check, int64_t offset, const unsigned char* data) {
    if (check->state.block_start < 0 || offset != check->state.block_start + block_bytes) {
        return false;
    }
    GeneratorState state = check->state.block_end_state;
    if (!match_block(&state, data)) {
        return false;
    }
    check->state.block_end_state = state;
    check->state.block_start = offset;
    check->state.block_held = false;
    return true;
}

// The run's bytes for input [at, at + size) when its data stands delta
// bytes off; false when some of them would come before the stream's start.
bool expected_bytes(StreamCheck* check, uint64_t at, int64_t delta, unsigned char* out,
                    uint32_t size) {
    int64_t offset = static_cast<int64_t>(at) + delta;
    if (offset < 0) {
        return false;
    }
    while (size > 0) {
        predict_at(check, offset);
        uint32_t in_block = static_cast<uint32_t>(offset - check->state.block_start);
        uint32_t piece = block_bytes - in_block < size ? block_bytes - in_block : size;
        std::memcpy(out, check->state.block + in_block, piece);
        out += piece;
        offset += piece;
        size -= piece;
    }
    return true;
}

// ---- What was found where ----

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

void add_stretch(StreamCheck* check, const Stretch& stretch) {
    if (stretch.end <= stretch.start) {
        return;
    }
    check->result.damaged_bytes[stretch.kind] += stretch.end - stretch.start;
    check->state.in_sequence = false;
    list_stretch(check, stretch);
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

// Counts the matching data [span_start, span_end): intact where the run's
// data belongs, else a slip or misplaced data.
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

// The input [start, end) matches the run at check->state.delta.
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

// ---- A closer look at data that does not match ----

uint64_t load_eight(const unsigned char* bytes) {
    uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// The set bits of x, without a popcount instruction (not every x86 has one).
uint64_t bit_count(uint64_t x) {
    x -= (x >> 1) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return (x * 0x0101010101010101ull) >> 56;
}

bool is_blank(const unsigned char* bytes, uint32_t size, unsigned char* value) {
    if (bytes[0] != 0x00 && bytes[0] != 0xFF) {
        return false;
    }
    uint64_t pattern = bytes[0] == 0 ? 0 : ~0ull;
    uint32_t i = 0;
    for (; i + 8 <= size; i += 8) {
        if (load_eight(bytes + i) != pattern) {
            return false;
        }
    }
    for (; i < size; ++i) {
        if (bytes[i] != bytes[0]) {
            return false;
        }
    }
    *value = bytes[0];
    return true;
}

struct Difference {
    uint64_t bits;
    uint32_t first; // first and last differing byte
    uint32_t last;
};

// Eight bytes at a time, without branches; the order of bytes within a word
// does not matter to the count. The first and last differing bytes are only
// looked for where the bits are few enough for altered data (else the span
// is the whole size).
Difference difference(const unsigned char* a, const unsigned char* b, uint32_t size,
                      uint64_t bit_limit) {
    Difference d = {0, 0, size - 1};
    uint32_t i = 0;
    for (; i + 8 <= size; i += 8) {
        d.bits += bit_count(load_eight(a + i) ^ load_eight(b + i));
    }
    for (; i < size; ++i) {
        d.bits += bit_count(static_cast<uint64_t>(a[i] ^ b[i]));
    }
    if (d.bits > 0 && d.bits <= bit_limit) {
        while (a[d.first] == b[d.first]) {
            ++d.first;
        }
        while (a[d.last] == b[d.last]) {
            --d.last;
        }
    }
    return d;
}

// More differing bits than a quarter of size bytes hold are no altered
// data: unrelated data differs in half its bits. Counting stops early where
// even the whole size would be too many.
uint64_t altered_bit_limit(uint32_t size) {
    return uint64_t{size} * 8 / 4;
}

// Bits that differ in a piece of a sector that matches otherwise are the
// right data with those bits changed: a few of them however they fall,
// even all in one byte or word; more where they are far fewer than the half
// that unrelated data has between the first and the last differing byte.
constexpr uint64_t few_bits = 8;

bool is_altered(const Difference& d) {
    return d.bits <= few_bits || d.bits <= altered_bit_limit(d.last - d.first + 1);
}

DamageKind kind_of_bytes(const unsigned char* bytes, uint32_t size, uint64_t* source) {
    unsigned char value = 0;
    if (size > 0 && is_blank(bytes, size, &value)) {
        *source = value;
        return damage_blank;
    }
    *source = 0;
    return damage_foreign;
}

// Recognises sprayl data in the last bytes of bytes[0..size): *at is where
// the recognised words begin.
bool recognise_at_end(const unsigned char* bytes, uint32_t size, uint32_t* at, WordPlace* place) {
    if (size < recognise_bytes) {
        return false;
    }
    for (uint32_t alignment = 0; alignment < 4; ++alignment) {
        uint32_t start = size - recognised_words * 4 - alignment;
        uint32_t words[recognised_words];
        for (uint32_t m = 0; m < recognised_words; ++m) {
            words[m] = load_word(bytes + start + 4 * m);
        }
        if (recognise_words(words, place)) {
            *at = start;
            return true;
        }
    }
    return false;
}

bool same_register(const GeneratorState& a, const GeneratorState& b) {
    return a.word[0] == b.word[0] && a.word[1] == b.word[1] && a.word[2] == b.word[2] &&
           a.word[3] == b.word[3];
}

// Whether the unit continues the data of another run recognised before:
// that run's stream is predicted a block at a time with the fill, far
// cheaper than recognising it anew in every sector of a stale area.
bool continues_stale(StreamCheck* check, const unsigned char* bytes, uint32_t size, uint64_t at) {
    if (!check->state.stale_known) {
        return false;
    }
    while (size > 0) {
        if (at < check->state.stale_start ||
            at - check->state.stale_start >= 2 * uint64_t{block_bytes}) {
            return false;
        }
        if (at - check->state.stale_start >= block_bytes) {
            fill_block(&check->state.stale_end_state, check->state.stale_block);
            check->state.stale_start += block_bytes;
        }
        uint32_t in_block = static_cast<uint32_t>(at - check->state.stale_start);
        uint32_t piece = block_bytes - in_block < size ? block_bytes - in_block : size;
        if (std::memcmp(bytes, check->state.stale_block + in_block, piece) != 0) {
            return false;
        }
        bytes += piece;
        at += piece;
        size -= piece;
    }
    return true;
}

// Predicts on the data of another run, whose words before input offset at
// leave the state after.
void follow_stale(StreamCheck* check, uint64_t at, const GeneratorState& after) {
    check->state.stale_known = true;
    check->state.stale_start = at;
    check->state.stale_end_state = after;
    fill_block(&check->state.stale_end_state, check->state.stale_block);
}

// Whether the recognised data is this run's; *offset is then its stream
// offset. The index is known modulo 2^32 outputs (16 GiB), so each 16 GiB
// that the input spans is one more candidate.
bool belongs_to_run(const StreamCheck* check, const WordPlace& place, uint64_t* offset) {
    uint64_t span = check->result.bytes_read > check->result.expected_size
                        ? check->result.bytes_read
                        : check->result.expected_size;
    for (uint64_t lap = 0; lap <= span >> 34; ++lap) {
        uint64_t index = place.index + (lap << 32);
        GeneratorState state = state_after_outputs(&check->state.run, index + recognised_words);
        if (same_register(state, place.after)) {
            *offset = 4 * index;
            return true;
        }
    }
    return false;
}

// The data after the header belongs to a run other than the one the header
// gives: the header is damaged, and the run is the one found. The header
// then counts as damage of its own kind.
void adopt_run(StreamCheck* check, const WordPlace& place, int64_t delta) {
    // The few bytes after the header that matched the header's run did so
    // by no evidence: they go back into the unit, to be judged again. They
    // are what that run predicted.
    if (check->state.match_open && check->state.span_end > check->state.span_start) {
        uint32_t early = static_cast<uint32_t>(check->state.span_end - check->state.span_start);
        unsigned char bytes[min_checked_bytes];
        expected_bytes(check, check->state.span_start, check->state.span_delta, bytes, early);
        std::memmove(check->state.unit + early, check->state.unit, check->state.unit_used);
        std::memcpy(check->state.unit, bytes, early);
        check->state.unit_used += early;
        check->state.unit_start -= early;
    }
    check->state.match_open = false;

    GeneratorState start = place.after;
    jump_register(start.word, -static_cast<int64_t>(uint64_t{place.index} + recognised_words - 4));
    start.counter = 4 * weyl_increment;
    check->state.run = start;
    check->state.block_start = -1;
    check->result.header_damaged = true;
    check->state.run_confirmed = true;

    if (check->result.stretch_count > 0 && check->result.stretches[0].start < header_bytes) {
        return; // the header was unreadable, and is counted so already
    }
    unsigned char expected[header_bytes];
    Stretch stretch = {0, header_bytes, damage_foreign, 0, 0};
    if (expected_bytes(check, 0, delta, expected, header_bytes) &&
        std::memcmp(expected, check->result.header, header_bytes) == 0) {
        stretch.kind = damage_misplaced;
        stretch.source = static_cast<uint64_t>(delta);
    } else {
        expected_bytes(check, 0, 0, expected, header_bytes);
        Difference d = difference(check->result.header, expected, header_bytes,
                                  altered_bit_limit(header_bytes));
        if (is_altered(d)) {
            stretch = {d.first, d.last + 1u, damage_altered, 0, d.bits};
        } else {
            stretch.kind = kind_of_bytes(check->result.header, header_bytes, &stretch.source);
        }
    }
    // The header comes first: make room at the front.
    uint64_t kept = min_u64(check->result.stretch_count, kept_stretches - 1);
    std::memmove(check->result.stretches + 1, check->result.stretches,
                 static_cast<size_t>(kept) * sizeof(Stretch));
    uint64_t count = check->result.stretch_count;
    check->result.stretch_count = 0;
    add_stretch(check, stretch);
    check->result.stretch_count = count + 1;
}

// Follows this run's data found at delta: the part of the unit before it is
// damage, the rest matches.
bool follow_found_data(StreamCheck* check, int64_t delta) {
    const unsigned char* bytes = check->state.unit;
    uint32_t size = check->state.unit_used;
    // The part of the unit before the stream's start (data found near the
    // start of the stream) cannot be the run's data.
    int64_t first_offset = static_cast<int64_t>(check->state.unit_start) + delta;
    uint32_t first = 0;
    if (first_offset < 0) {
        if (-first_offset >= static_cast<int64_t>(size)) {
            return false;
        }
        first = static_cast<uint32_t>(-first_offset);
    }
    unsigned char expected[unit_capacity];
    expected_bytes(check, check->state.unit_start + first, delta, expected + first, size - first);
    uint32_t from = size;
    while (from > first && bytes[from - 1] == expected[from - 1]) {
        --from;
    }
    if (from == size) {
        return false;
    }
    // Before it, the unit may begin with the run's data in its own place,
    // as when a run just adopted from the data after a damaged header
    // begins right after the header.
    uint32_t home = 0;
    if (check->state.expected_delta != delta &&
        expected_bytes(check, check->state.unit_start, check->state.expected_delta, expected,
                       from)) {
        while (home < from && bytes[home] == expected[home]) {
            ++home;
        }
        if (home > 0) {
            check->state.delta = check->state.expected_delta;
            extend_match(check, check->state.unit_start, check->state.unit_start + home);
        }
    }
    uint64_t source = 0;
    DamageKind kind = kind_of_bytes(bytes + home, from - home, &source);
    note_damage(check, check->state.unit_start + home, check->state.unit_start + from, kind, source,
                0);
    check->state.delta = delta;
    extend_match(check, check->state.unit_start + from, check->state.unit_start + size);
    return true;
}

// Sorts the gathered unit into its kind; leaves the slow path when the input
// matches the followed data again.
void look_at_unit(StreamCheck* check) {
    const unsigned char* bytes = check->state.unit;
    uint32_t size = check->state.unit_used;
    uint64_t at = check->state.unit_start;
    if (size == 0) {
        return;
    }
    uint64_t source = 0;
    DamageKind kind = kind_of_bytes(bytes, size, &source);
    // Deep in damage, data that matches again is found by recognising it,
    // which then also finds where it begins; comparing every sector with
    // the prediction first would only slow down the look at a long damaged
    // area.
    unsigned char expected[unit_capacity];
    if (kind == damage_foreign && !check->state.unit_in_damage &&
        expected_bytes(check, at, check->state.delta, expected, size)) {
        Difference d = difference(bytes, expected, size, altered_bit_limit(size));
        if (d.bits == 0) {
            extend_match(check, at, at + size);
            check->state.slow = false;
            return;
        }
        if (is_altered(d)) {
            extend_match(check, at, at + d.first);
            note_damage(check, at + d.first, at + d.last + 1, damage_altered, 0, d.bits);
            extend_match(check, at + d.last + 1, at + size);
            check->state.slow = false;
            return;
        }
    }
    uint32_t found_at = 0;
    WordPlace place;
    if (kind == damage_foreign && continues_stale(check, bytes, size, at)) {
        kind = damage_stale;
    } else if (kind == damage_foreign && recognise_at_end(bytes, size, &found_at, &place)) {
        uint64_t offset = 0;
        {
            if (belongs_to_run(check, place, &offset)) {
                int64_t delta = static_cast<int64_t>(offset) - static_cast<int64_t>(at + found_at);
                if (follow_found_data(check, delta)) {
                    check->state.slow = false;
                    return;
                }
            } else if (!check->result.run_known && !check->result.header_damaged &&
                       !run_is_confirmed(check)) {
                int64_t delta =
                    4 * static_cast<int64_t>(place.index) - static_cast<int64_t>(at + found_at);
                adopt_run(check, place, delta);
                if (follow_found_data(check, delta)) {
                    check->state.slow = false;
                    return;
                }
            }
        }
        follow_stale(check, at + found_at + 4 * recognised_words, place.after);
        kind = damage_stale;
    }
    // Adopting a run may have given the unit back bytes from before it.
    note_damage(check, check->state.unit_start, check->state.unit_start + check->state.unit_used,
                kind, source, 0);
}

// Gathers the input from the current offset to the end of its sector (and
// the next, where too little is left to recognise data in).
void begin_unit(StreamCheck* check) {
    check->state.slow = true;
    check->state.unit_in_damage = false;
    check->state.unit_start = check->result.bytes_read;
    check->state.unit_used = 0;
    uint32_t to_sector_end =
        sector_bytes - static_cast<uint32_t>(check->result.bytes_read % sector_bytes);
    check->state.unit_size =
        to_sector_end >= recognise_bytes ? to_sector_end : to_sector_end + sector_bytes;
}

void begin_following(StreamCheck* check, uint64_t at, int64_t delta) {
    check->state.block_start = -1;
    check->state.delta = delta;
    check->state.expected_delta = delta;
    check->state.slow = false;
    extend_match(check, at, at);
}

CheckOutcome outcome_of(const CheckResult* result) {
    if (result->end == check_end_interrupted) {
        return outcome_interrupted;
    }
    if (result->end == check_end_read_failed) {
        return outcome_incomplete;
    }
    if (!check_is_conclusive(result)) {
        return outcome_too_short;
    }
    if (check_found_damage(result)) {
        return outcome_damaged;
    }
    return result->possibly_from_memory ? outcome_unconfirmed : outcome_intact;
}

void start(StreamCheck* check) {
    // All but the kept stretches, which are read only up to their count: a
    // check of a small piece starts without clearing megabytes.
    unsigned char* bytes = reinterpret_cast<unsigned char*>(check);
    size_t stretches_start = offsetof(StreamCheck, result) + offsetof(CheckResult, stretches);
    size_t stretches_end = stretches_start + sizeof check->result.stretches;
    std::memset(bytes, 0, stretches_start);
    std::memset(bytes + stretches_end, 0, sizeof *check - stretches_end);
    check->state.block_start = -1;
    check->state.in_sequence = true;
    check->state.placed = true;
}

// Where the slow path stops: what is gathered is looked at as it is.
void flush_unit(StreamCheck* check) {
    if (check->state.slow) {
        look_at_unit(check);
        check->state.slow = false;
        extend_match(check, check->result.bytes_read, check->result.bytes_read);
    }
}

} // namespace

GeneratorState recover_generator_state(const unsigned char* header) {
    // Output i (from 1) is the register's new word plus i times the Weyl
    // increment; after four steps the newest word is the fourth.
    GeneratorState state;
    for (uint32_t i = 0; i < 4; ++i) {
        uint32_t output = load_word(header + 4 * i);
        state.word[3 - i] = output - weyl_increment * (i + 1);
    }
    state.counter = weyl_increment * 4;
    return state;
}

void check_start(StreamCheck* check) {
    start(check);
}

void check_start_run(StreamCheck* check, const GeneratorState* seed) {
    start(check);
    check->state.run = *seed;
    for (int i = 0; i < 4; ++i) {
        next_word(&check->state.run);
    }
    check->result.run_known = true;
    begin_following(check, 0, 0);
}

void check_start_piece(StreamCheck* check, const GeneratorState* seed, uint64_t stream_offset,
                       uint64_t stream_span) {
    check_start_run(check, seed);
    begin_following(check, 0, static_cast<int64_t>(stream_offset));
    // Nothing before the piece was seen in place: whole sectors that hold
    // data of another offset are misplaced, not a slip of the stream.
    check->state.in_sequence = false;
    check->state.read_in_place = true;
    // Data found in the piece may belong anywhere in what was written.
    check->result.expected_size = stream_span;
}

GeneratorState seed_of_run(const GeneratorState* header_state) {
    GeneratorState seed = *header_state;
    jump_register(seed.word, -4);
    seed.counter = 0;
    return seed;
}

void check_bytes(StreamCheck* check, const unsigned char* data, size_t size) {
    while (size > 0 && !check->result.run_known && check->result.bytes_read < header_bytes) {
        check->result.header[check->result.bytes_read] = *data;
        ++check->result.bytes_read;
        ++data;
        --size;
        if (check->result.bytes_read == header_bytes) {
            check->state.run = recover_generator_state(check->result.header);
            begin_following(check, header_bytes, 0);
        }
    }
    while (size > 0) {
        if (check->state.slow) {
            size_t room = check->state.unit_size - check->state.unit_used;
            size_t take = size < room ? size : room;
            std::memcpy(check->state.unit + check->state.unit_used, data, take);
            check->state.unit_used += static_cast<uint32_t>(take);
            check->result.bytes_read += take;
            data += take;
            size -= take;
            if (check->state.unit_used == check->state.unit_size) {
                look_at_unit(check);
                if (check->state.slow) {
                    begin_unit(check);
                    check->state.unit_in_damage = true;
                }
            }
            continue;
        }
        // The fast path: the input matches the followed data block by block.
        int64_t offset = static_cast<int64_t>(check->result.bytes_read) + check->state.delta;
        if (size >= block_bytes && match_next_block(check, offset, data)) {
            check->result.bytes_read += block_bytes;
            check->state.span_end = check->result.bytes_read;
            data += block_bytes;
            size -= block_bytes;
            continue;
        }
        predict_at(check, offset);
        uint32_t in_block = static_cast<uint32_t>(offset - check->state.block_start);
        size_t span = block_bytes - in_block < size ? block_bytes - in_block : size;
        const unsigned char* expected = check->state.block + in_block;
        size_t same = span;
        if (std::memcmp(data, expected, span) != 0) {
            same = 0;
            while (data[same] == expected[same]) {
                ++same;
            }
        }
        check->result.bytes_read += same;
        check->state.span_end = check->result.bytes_read;
        data += same;
        size -= same;
        if (same < span) {
            begin_unit(check);
        }
    }
}

void check_unreadable(StreamCheck* check, uint64_t length) {
    if (!check->result.run_known && check->result.bytes_read < header_bytes) {
        // Without its header the run must come from the data after it.
        std::memset(check->result.header + check->result.bytes_read, 0,
                    static_cast<size_t>(header_bytes - check->result.bytes_read));
        check->state.run = recover_generator_state(check->result.header);
        note_damage(check, check->result.bytes_read, check->result.bytes_read + length,
                    damage_unreadable, 0, 0);
        check->result.bytes_read += length;
        begin_following(check, check->result.bytes_read, 0);
        return;
    }
    flush_unit(check);
    note_damage(check, check->result.bytes_read, check->result.bytes_read + length,
                damage_unreadable, 0, 0);
    check->result.bytes_read += length;
    extend_match(check, check->result.bytes_read, check->result.bytes_read);
}

void check_finish(StreamCheck* check, CheckEnd end, uint64_t expected_size) {
    check->result.expected_size = expected_size;
    flush_unit(check);
    settle_match(check, end == check_end_of_input);
    check->result.end = end;
    check->result.outcome = outcome_of(&check->result);
}
