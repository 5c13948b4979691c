// The check's working state: the prediction, the matching data not yet
// counted, the input gathered for a closer look. Only stream_check.cpp
// reads or changes it; callers read the CheckResult beside it.
#pragma once

#include "check_result.h"
#include "generator.h"

#include <cstdint>

// Room for the piece of input looked at in one go when it does not match:
// up to the end of a sector, and at least enough to recognise data in.
constexpr uint32_t unit_capacity = 2 * sector_bytes;

// A jump of the stream forward by whole sectors, taken as lost bytes while
// the stream may still come back from it: should data come back below it,
// the data since was misplaced instead (written over by later data, as a
// drive that wraps around does), and the list is mended from first_stretch
// on.
struct OpenJump {
    uint64_t offset;        // input offset of the first byte after the jump
    int64_t from_delta;     // the expected delta before it
    uint64_t first_stretch; // the stretch count when it was taken
    uint64_t slip;          // its index among the slips
};

// The jumps held open at once; beyond, the earliest stands as lost bytes.
constexpr uint32_t open_jump_limit = 8;

struct CheckState {
    // The run: its state after the four outputs of the header.
    GeneratorState run;
    bool run_confirmed; // data after the header has shown it to be the run

    // The prediction: the run's stream from stream offset block_start, and
    // the state after that block. A block that the input matched in one pass
    // is not held: block_end_state is then after it, and block stale.
    alignas(64) unsigned char block[block_bytes];
    int64_t block_start; // -1: nothing predicted yet
    bool block_held;     // block holds the bytes from block_start
    GeneratorState block_end_state;
    int64_t delta;          // stream offset minus input offset of the data followed
    int64_t expected_delta; // where the run's data belongs: 0, or as moved by slips
    bool in_sequence;       // the data before the current place was where it belongs
    bool placed;            // the run's data followed last was in its place, not misplaced
    bool read_in_place;     // a piece read from a place of its own: nothing is skipped in it
    uint32_t open_jump_count;
    OpenJump open_jumps[open_jump_limit];

    // The matching data that goes with delta: [span_start, span_end) of the
    // input, not yet counted.
    bool match_open;
    uint64_t span_start;
    uint64_t span_end;
    int64_t span_delta;

    // Input that did not match, gathered for a closer look.
    bool slow;
    uint64_t unit_start;
    uint32_t unit_size;
    uint32_t unit_used;
    bool unit_in_damage; // the unit before was damage too
    unsigned char unit[unit_capacity];

    // The last data of another run recognised, predicted on: its stream
    // from input offset stale_start on, and the state after that block.
    bool stale_known;
    uint64_t stale_start;
    GeneratorState stale_end_state;
    alignas(64) unsigned char stale_block[block_bytes];
};

// The generator state after the four outputs stored little-endian in
// header[0..15], on the assumption that the counter started at 0.
GeneratorState recover_generator_state(const unsigned char* header);
