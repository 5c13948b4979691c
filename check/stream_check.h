// Checks bytes that sprayl wrote against the stream they must continue, and
// says what became of every byte that is not where it belongs.
//
// Every run of sprayl starts its Weyl counter at 0, so the first four outputs
// give back the whole register and with it the rest of the stream. The check
// takes the first 16 bytes as given (or a run it is told), predicts the
// stream block by block with the generator's own fill and compares. Where
// the input stops matching, it looks at the data itself: output word i of
// any run is a register word plus (i + 1) times the Weyl increment, so a few
// words of sprayl data tell which stream offset they belong at and which
// run wrote them. Damage is sorted into kinds, and a stream that lost or
// repeated bytes is followed from where it goes on.
#pragma once

#include "check_result.h"
#include "check_state.h"
#include "generator.h"

#include <cstddef>
#include <cstdint>

struct StreamCheck {
    CheckResult result; // what the check found: all that callers read
    CheckState state;   // the check's own working state
};

// Makes check ready for the first byte of an input whose first 16 bytes
// define the run.
void check_start(StreamCheck* check);

// Makes check ready for an input that must hold the run that starts from
// seed (the state before the first output, counter 0), as when the checker
// wrote it itself: then a header from another run is damage too.
void check_start_run(StreamCheck* check, const GeneratorState* seed);

// Makes check ready for a piece of the run from seed: the input's byte 0
// should be the run's stream byte stream_offset, as in a sample read back
// from the middle of a fill. Damage is counted in the piece's own offsets;
// misplaced data says which stream offset it belongs at. stream_span, the
// run's bytes written in all, tells how far that offset may lie.
void check_start_piece(StreamCheck* check, const GeneratorState* seed, uint64_t stream_offset,
                       uint64_t stream_span);

// The run's state before its first output (its seed), from the state after
// the first four outputs that the header gives.
GeneratorState seed_of_run(const GeneratorState* header_state);

// Checks the next size bytes of the input.
void check_bytes(StreamCheck* check, const unsigned char* data, size_t size);

// Notes that the next length bytes of the input could not be read: they are
// damage, and the check goes on after them.
void check_unreadable(StreamCheck* check, uint64_t length);

// Ends the check and sets its outcome. expected_size, where not 0, is the
// length the input should have had: missing bytes at its end are then
// damage.
void check_finish(StreamCheck* check, CheckEnd end, uint64_t expected_size);
