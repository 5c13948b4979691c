#include "damage_sort.h"

#include <cstring>

namespace {

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

// Bits that differ in a piece of a sector that matches otherwise are the
// right data with those bits changed: a few of them however they fall,
// even all in one byte or word; more where they are far fewer than the half
// that unrelated data has between the first and the last differing byte.
constexpr uint64_t few_bits = 8;

} // namespace

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
