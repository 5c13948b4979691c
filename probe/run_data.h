// The probe's data: the stream of one run laid over the whole drive, byte a
// of the drive getting byte a of the run. A sector read back from anywhere
// then names the address it was written to.
#pragma once

#include "generator.h"

#include <cstddef>
#include <cstdint>

// The smallest piece that can name its address: the words that
// recognise_words needs.
constexpr size_t run_recognisable_bytes = 32;

// Writes bytes [offset, offset + length) of the run whose state after its
// four header words is seed. offset is a multiple of 4.
void run_bytes(const GeneratorState* seed, uint64_t offset, size_t length, unsigned char* out);

// Whether the length bytes at data (at least run_recognisable_bytes, a
// multiple of 4) are exactly the run's bytes at some offset below limit;
// if so, that offset.
bool find_run_offset(const GeneratorState* seed, const unsigned char* data, size_t length,
                     uint64_t limit, uint64_t* offset);
