// What the check found where, as it counts it: spans of input that match
// the run at a delta, settled as intact, as a slip or as misplaced data;
// damaged stretches; jumps held open as lost bytes, and taken back where
// the stream comes back. Used by stream_check.cpp alone.
#pragma once

#include "stream_check.h"

#include <cstdint>

// Counts stretch as damage and lists it (merged with the last one where
// they make one).
void add_stretch(StreamCheck* check, const Stretch& stretch);

// Settles the matching span [span_start, span_end), not yet counted: intact
// where the run's data belongs, else a slip or misplaced data. input_ends:
// the span runs to the end of the input.
void settle_match(StreamCheck* check, bool input_ends);

// The input [start, end) matches the run at check->state.delta.
void extend_match(StreamCheck* check, uint64_t start, uint64_t end);

// The input [start, end) is damage of kind: the span before is settled
// first.
void note_damage(StreamCheck* check, uint64_t start, uint64_t end, DamageKind kind, uint64_t source,
                 uint64_t bits);

// Whether data after the header has shown the run, or the open span will.
bool run_is_confirmed(const StreamCheck* check);
