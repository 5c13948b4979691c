// Where a piece of sprayl data belongs, and the register of a run at any
// offset.
//
// Output word i of a run (from 0) is n_i + (i + 1) * weyl_increment, where
// the register words follow n_i = f(n_(i-4), n_(i-1)) with the step's
// f(a, b) = t ^ (t << 1) ^ b ^ (b << 4), t = a ^ (a >> 2). Eight words of
// data give four such relations in one unknown, the counter; bit j of a
// relation involves the counter's bits 0 to j + 2 and bit j + 2 only
// linearly, so the counter falls out bit by bit from below, and with it the
// word index (mod 2^32) and the register: no search over offsets.
#pragma once

#include "generator.h"

#include <cstdint>

// The consecutive words that recognise_words needs.
constexpr uint32_t recognised_words = 8;

struct WordPlace {
    uint32_t index;       // output index (from 0, mod 2^32) of the first word
    GeneratorState after; // the state after the last of the words
};

// Whether the eight outputs in words[] are consecutive outputs of some run
// of the generator; if so, where they stand in it. A random choice of words
// passes with a chance of about 2^-96.
bool recognise_words(const uint32_t words[recognised_words], WordPlace* place);

// The register word[0..3] moved by steps steps, forward or (negative) back.
// Jump tables are built on the first call; after that a jump takes
// microseconds.
void jump_register(uint32_t word[4], int64_t steps);

// The state of the run whose state after four outputs is header_state, after
// outputs outputs (before output number outputs, from 0).
GeneratorState state_after_outputs(const GeneratorState* header_state, uint64_t outputs);
