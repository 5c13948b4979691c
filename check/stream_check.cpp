#include "stream_check.h"

#include "damage_kinds.h"
#include "damage_sort.h"
#include "stream_findings.h"
#include "stream_position.h"

#include <cstddef>
#include <cstring>

namespace {

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

// ---- A closer look at data that does not match ----

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
