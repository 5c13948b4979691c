// Sorting input that does not match what was expected: how many bits
// differ and where, whether that is the right data with bits changed, and
// whether bytes are blank.
#pragma once

#include "check_result.h"

#include <cstdint>

struct Difference {
    uint64_t bits;
    uint32_t first; // first and last differing byte
    uint32_t last;
};

// The bits in which a[0..size) and b[0..size) differ, eight bytes at a
// time; the first and last differing bytes only where the bits are no
// more than bit_limit.
Difference difference(const unsigned char* a, const unsigned char* b, uint32_t size,
                      uint64_t bit_limit);

// The most differing bits that size bytes of altered data may hold.
uint64_t altered_bit_limit(uint32_t size);

// Whether the difference is the right data with some bits changed.
bool is_altered(const Difference& d);

// Blank (00 or FF, *source the byte) or foreign: what bytes of no data
// recognised are.
DamageKind kind_of_bytes(const unsigned char* bytes, uint32_t size, uint64_t* source);
