// Checks bytes that sprayl wrote against the stream they must continue.
//
// Every run of sprayl starts its Weyl counter at 0, so the first four outputs
// give back the whole register and with it the rest of the stream. The check
// takes the first 16 bytes as given, predicts everything after them block by
// block with the generator's own fill, and keeps count of what differs.
#pragma once

#include "generator.h"

#include <cstddef>
#include <cstdint>

// The bytes that define the stream: the first four outputs.
constexpr uint32_t header_bytes = 16;

// Differences fewer than this many matching bytes apart are joined into one
// bad range. Wrong data still matches the prediction by chance about once in
// 256 bytes; without joining, one damaged area would show as a spray of tiny
// ranges.
constexpr uint64_t range_join_gap = 64;

// How many bad ranges are kept for the report; later ones are only counted.
constexpr uint32_t kept_ranges = 8;

// Exit codes of sprayl-check.
constexpr int exit_intact = 0;
constexpr int exit_differs = 1;
constexpr int exit_unverifiable = 2;

struct BadRange {
    uint64_t start; // offset of the first differing byte
    uint64_t end;   // one past the offset of the last differing byte
};

struct StreamCheck {
    GeneratorState generator;            // state after the predicted block
    unsigned char expected[block_bytes]; // the predicted block (the header until it is whole)
    uint32_t expected_used;              // bytes of expected already compared
    uint64_t bytes_read;                 // header included
    uint64_t bytes_differing;
    uint64_t range_count;    // all bad ranges, kept or not
    uint64_t last_range_end; // end of the latest bad range, kept or not
    BadRange ranges[kept_ranges];
};

// The generator state after the four outputs stored little-endian in
// header[0..15], on the assumption that the counter started at 0.
GeneratorState recover_generator_state(const unsigned char* header);

// Makes check ready for the first byte of an input.
void check_start(StreamCheck* check);

// Checks the next size bytes of the input.
void check_bytes(StreamCheck* check, const unsigned char* data, size_t size);

// Bytes compared against the prediction: all but the header.
uint64_t bytes_checked(const StreamCheck* check);

// Whether the input is long enough to verify at least one byte.
bool check_is_conclusive(const StreamCheck* check);

// The process exit code for the input seen so far: 0 when it is long
// enough and every checked byte matched, 1 when any byte differed, 2 when it
// is too short to verify anything.
int check_exit_code(const StreamCheck* check);

// ---- interim engine API, replaced by the engine rewrite ----
// The interface of the rewritten engine, so that the code around it can be
// written against it now. engine_interim.cpp implements it on top of the
// check above; the rewrite replaces both.

constexpr int exit_interrupted = 130;

// Bytes past the header that must be checked for a verdict.
constexpr uint64_t min_checked_bytes = 1;

enum DamageKind {
    damage_misplaced,
    damage_stale,
    damage_blank,
    damage_altered,
    damage_unreadable,
    damage_foreign,
    damage_kind_count
};

struct DamageTotals {
    uint64_t bytes[damage_kind_count];
    uint64_t stretches;
};

enum CheckEnd { check_end_of_input, check_end_interrupted, check_end_read_failed };

// Makes check ready for an input whose run is known: seed is the state
// before the first output, counter 0.
void check_start_run(StreamCheck* check, const GeneratorState* seed);

// The next length bytes of the input could not be read; the check goes on
// after them.
void check_unreadable(StreamCheck* check, uint64_t length);

// The input has ended as end says. expected_size is the length the input
// should have, or 0 when unknown.
void check_finish(StreamCheck* check, CheckEnd end, uint64_t expected_size);

// The bytes found damaged so far.
uint64_t bytes_damaged(const StreamCheck* check);

// The damage within the input offsets [start, end).
void damage_between(const StreamCheck* check, uint64_t start, uint64_t end, DamageTotals* totals);
