// Fuzz target for the stream check: an input built from a recipe (pieces of
// a run's stream in place, moved, from another run, blank, raw, altered or
// unreadable) is checked twice, handed over in two different chunkings. Both
// checks must come to the same result in every field, and the counts must
// add up: intact, damaged and the sound part of the header make up the
// bytes read; the stretches are in order, apart and not empty. A recipe
// whose data of each run only ever skips ahead (a piece never lies lower
// in the stream, against its place in the input, than the one before)
// never repeats a place nor comes back: no data after the header is
// misplaced, and the verdict never says the drive wraps or reads earlier
// data. The recipe is described in check_recipe.h.
#include "check_recipe.h"
#include "check_report.h"
#include "stream_check.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t run_bytes = 1 << 20;

// A stretch of the input: bytes, or a range that could not be read.
struct Segment {
    bool unreadable;
    size_t start; // in data, for bytes
    size_t length;
};

struct Input {
    std::vector<unsigned char> data;
    std::vector<Segment> segments;
    uint64_t expected_size;
    size_t chunks[2];
    bool skips_only; // each run's pieces skip ahead only; no raw bytes
};

// Where each run's last piece stood: its stream offset less its input
// offset. A run's stream begins at the input's start: 0 before its first
// piece.
struct RunPlaces {
    int64_t delta[2];
};

// Notes a piece of run which from stream offset start at input offset at;
// false where it lies lower in the stream, against the input, than the
// run's piece before.
bool skips_ahead(RunPlaces* places, int which, size_t start, size_t at, size_t length) {
    if (length == 0) {
        return true;
    }
    int64_t delta = static_cast<int64_t>(start) - static_cast<int64_t>(at);
    bool ahead = delta >= places->delta[which];
    places->delta[which] = delta;
    return ahead;
}

// The two runs that pieces come from, made once.
const unsigned char* run_stream(int which) {
    static std::vector<unsigned char> runs[2];
    if (runs[which].empty()) {
        GeneratorState state = which == 0 ? GeneratorState{{1, 2, 3, 4}, 0}
                                          : GeneratorState{{0x9E3779B9, 0x7F4A7C15, 5, 6}, 0};
        runs[which].resize(run_bytes);
        for (size_t offset = 0; offset < run_bytes; offset += block_bytes) {
            fill_block(&state, runs[which].data() + offset);
        }
    }
    return runs[which].data();
}

uint32_t number_at(const uint8_t* at, int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value |= static_cast<uint32_t>(at[i]) << (8 * i);
    }
    return value;
}

void add_bytes(Input* input, const unsigned char* bytes, size_t length) {
    if (input->segments.empty() || input->segments.back().unreadable) {
        input->segments.push_back({false, input->data.size(), 0});
    }
    input->data.insert(input->data.end(), bytes, bytes + length);
    input->segments.back().length += length;
}

// Builds the input that the recipe describes; false for too short a recipe.
bool build_input(const uint8_t* recipe, size_t size, Input* input) {
    if (size < recipe_header) {
        return false;
    }
    input->chunks[0] = number_at(recipe, 2) + size_t{1};
    input->chunks[1] = number_at(recipe + 2, 2) + size_t{1};
    const uint8_t flags = recipe[4];
    size_t at = recipe_header;
    size_t place = 0; // where the run's stream goes on in place
    size_t total = 0; // input length, unreadable ranges included
    RunPlaces places = {};
    input->skips_only = true;
    while (at + piece_bytes <= size) {
        const PieceKind kind = static_cast<PieceKind>(recipe[at] % piece_kind_count);
        size_t length = number_at(recipe + at + 1, 2);
        const size_t from = number_at(recipe + at + 3, 3);
        at += piece_bytes;
        if (kind == piece_raw) {
            length = length < size - at ? length : size - at;
            add_bytes(input, recipe + at, length);
            at += length;
            // Raw bytes may hold any run's data, learnt from the check's
            // comparisons.
            input->skips_only = false;
        } else if (kind == piece_unreadable) {
            input->segments.push_back({true, 0, length});
        } else if (kind == piece_blank) {
            std::vector<unsigned char> blank(length, (from & 1) ? 0xFF : 0x00);
            add_bytes(input, blank.data(), length);
        } else {
            size_t start = place;
            if (kind == piece_slipped) {
                start = place + (from % 4096) >= 2048 ? place + (from % 4096) - 2048 : 0;
            } else if (kind == piece_moved || kind == piece_other_run) {
                start = from;
            }
            if (start + length > run_bytes) {
                start = (start % run_bytes) / 2;
                length = length < run_bytes - start ? length : run_bytes - start;
            }
            std::vector<unsigned char> piece(run_stream(kind == piece_other_run ? 1 : 0) + start,
                                             run_stream(kind == piece_other_run ? 1 : 0) + start +
                                                 length);
            if (kind == piece_altered && length > 0) {
                for (size_t bit = from; bit != 0; bit >>= 5) {
                    piece[(bit * 7919) % length] ^= static_cast<unsigned char>(1u << (bit % 8));
                }
            }
            add_bytes(input, piece.data(), length);
            input->skips_only &=
                skips_ahead(&places, kind == piece_other_run ? 1 : 0, start, total, length);
            place = start + length;
        }
        total += length;
    }
    input->expected_size = (flags & 1) ? total + (flags >> 1) * uint64_t{4099} : 0;
    return true;
}

// Runs the check over the input, chunk bytes at a time.
void check_input(StreamCheck* check, const Input& input, size_t chunk) {
    check_start(check);
    for (const Segment& segment : input.segments) {
        if (segment.unreadable) {
            check_unreadable(check, segment.length);
            continue;
        }
        for (size_t done = 0; done < segment.length; done += chunk) {
            size_t size = segment.length - done < chunk ? segment.length - done : chunk;
            check_bytes(check, input.data.data() + segment.start + done, size);
        }
    }
    check_finish(check, check_end_of_input, input.expected_size);
}

[[noreturn]] void fail(const char* what, uint64_t a, uint64_t b) {
    std::fprintf(stderr, "check_fuzz: %s (%llu, %llu)\n", what, static_cast<unsigned long long>(a),
                 static_cast<unsigned long long>(b));
    std::abort();
}

void expect_equal(const char* what, uint64_t a, uint64_t b) {
    if (a != b) {
        fail(what, a, b);
    }
}

// The two checks of one input agree in everything they report.
void expect_same_results(const CheckResult& a, const CheckResult& b) {
    expect_equal("bytes read", a.bytes_read, b.bytes_read);
    expect_equal("bytes intact", a.bytes_intact, b.bytes_intact);
    expect_equal("header damaged", a.header_damaged, b.header_damaged);
    for (int kind = 0; kind < damage_kind_count; ++kind) {
        expect_equal("damaged bytes of a kind", a.damaged_bytes[kind], b.damaged_bytes[kind]);
    }
    expect_equal("stretch count", a.stretch_count, b.stretch_count);
    expect_equal("slip count", a.slip_count, b.slip_count);
    expect_equal("outcome", static_cast<uint64_t>(a.outcome), static_cast<uint64_t>(b.outcome));
    const uint64_t kept = kept_stretch_count(&a);
    for (uint64_t i = 0; i < kept; ++i) {
        // Field by field: a Stretch has padding after its kind.
        const Stretch& x = a.stretches[i];
        const Stretch& y = b.stretches[i];
        expect_equal("stretch start", x.start, y.start);
        expect_equal("stretch end", x.end, y.end);
        expect_equal("stretch kind", static_cast<uint64_t>(x.kind), static_cast<uint64_t>(y.kind));
        expect_equal("stretch source", x.source, y.source);
        expect_equal("stretch bits", x.bits, y.bits);
    }
    const uint64_t slips = a.slip_count < kept_slips ? a.slip_count : kept_slips;
    for (uint64_t i = 0; i < slips; ++i) {
        expect_equal("slip offset", a.slips[i].offset, b.slips[i].offset);
        expect_equal("slip shift", static_cast<uint64_t>(a.slips[i].shift),
                     static_cast<uint64_t>(b.slips[i].shift));
    }
}

// The counts of one check add up.
void expect_counts_add_up(const CheckResult& result) {
    DamageTotals header{};
    damage_between(&result, 0, header_bytes, &header);
    uint64_t header_damage = 0;
    for (uint64_t bytes : header.bytes) {
        header_damage += bytes;
    }
    const uint64_t header_read =
        result.bytes_read < header_bytes ? result.bytes_read : header_bytes;
    expect_equal("intact + damaged + sound header = bytes read",
                 result.bytes_intact + bytes_damaged(&result) + header_read - header_damage,
                 result.bytes_read);
    const uint64_t kept = kept_stretch_count(&result);
    uint64_t previous_end = 0;
    for (uint64_t i = 0; i < kept; ++i) {
        const Stretch& s = result.stretches[i];
        if (s.start < previous_end) {
            fail("stretch overlaps or comes before the one before it", s.start, previous_end);
        }
        if (s.end <= s.start) {
            fail("empty stretch", s.start, s.end);
        }
        previous_end = s.end;
    }
}

// A recipe that only skips ahead is lost bytes, never a drive that gives
// two offsets one place.
void expect_no_wrap(const CheckResult& result) {
    expect_equal("misplaced bytes of data that only skips ahead, past the header",
                 result.damaged_bytes[damage_misplaced] > header_bytes ? 1 : 0, 0);
    char text[512];
    VerdictKind kind = verdict_of(&result, text, sizeof text);
    if (kind == verdict_wraps || kind == verdict_reads_earlier) {
        std::fprintf(stderr, "check_fuzz: data that only skips ahead: %s\n", text);
        std::abort();
    }
}

// Too large for the stack.
StreamCheck first_check;
StreamCheck second_check;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* recipe, size_t size) {
    Input input;
    if (!build_input(recipe, size, &input)) {
        return 0;
    }
    check_input(&first_check, input, input.chunks[0]);
    check_input(&second_check, input, input.chunks[1]);
    expect_same_results(first_check.result, second_check.result);
    expect_counts_add_up(first_check.result);
    if (input.skips_only) {
        expect_no_wrap(first_check.result);
    }
    return 0;
}
