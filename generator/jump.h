// Jumping the shift register ahead. The register step is linear over GF(2):
// the register k steps ahead is a fixed 128x128 bit matrix times the
// register now. Bit b of word w is bit 32*w + b of the 128-bit vector.
#pragma once

#include "generator.h"

#include <cstdint>

constexpr uint32_t register_bits = 128;

// column[i] is the register k steps after the register holding bit i alone.
struct JumpMatrix {
    uint32_t column[register_bits][4];
};

// Sets to the register `matrix` steps after from.
constexpr void apply_jump(const JumpMatrix& matrix, const uint32_t from[4], uint32_t to[4]) {
    uint32_t result[4] = {0, 0, 0, 0};
    for (uint32_t i = 0; i < register_bits; ++i) {
        uint32_t mask = 0u - ((from[i / 32] >> (i % 32)) & 1u);
        for (uint32_t w = 0; w < 4; ++w) {
            result[w] ^= matrix.column[i][w] & mask;
        }
    }
    for (uint32_t w = 0; w < 4; ++w) {
        to[w] = result[w];
    }
}

// The jump by the steps of first and then those of second.
constexpr JumpMatrix compose_jumps(const JumpMatrix& first, const JumpMatrix& second) {
    JumpMatrix matrix{};
    for (uint32_t i = 0; i < register_bits; ++i) {
        apply_jump(second, first.column[i], matrix.column[i]);
    }
    return matrix;
}

// Built by repeated squaring of the one-step matrix, which keeps the work at
// compile time well inside the compiler's limits.
constexpr JumpMatrix make_jump_matrix(uint32_t steps) {
    JumpMatrix power{};
    JumpMatrix result{};
    for (uint32_t i = 0; i < register_bits; ++i) {
        power.column[i][i / 32] = 1u << (i % 32);
        result.column[i][i / 32] = 1u << (i % 32);
        step_register(power.column[i]);
    }
    for (; steps != 0; steps >>= 1) {
        if ((steps & 1u) != 0) {
            result = compose_jumps(result, power);
        }
        if (steps > 1) {
            power = compose_jumps(power, power);
        }
    }
    return result;
}

// The rows of a jump matrix, kept as the register of 128 rows that the
// register step moves like words: row (w, b) says which register bits make
// up bit b of word w after the jump. Stepping all 128 rows at once is far
// cheaper at compile time than stepping 128 registers.
struct JumpRows {
    uint64_t row[4][32][2]; // [slot][bit][half]; word w is in slot (newest + w) % 4
    uint32_t newest;
};

constexpr JumpRows identity_rows() {
    JumpRows rows{};
    for (uint32_t i = 0; i < register_bits; ++i) {
        rows.row[i / 32][i % 32][i / 64] = uint64_t{1} << (i % 64);
    }
    return rows;
}

constexpr void step_rows(JumpRows& rows) {
    const uint32_t newest = rows.newest;
    const uint32_t oldest = (newest + 3) % 4;
    uint64_t t[32][2] = {};
    for (uint32_t b = 0; b < 32; ++b) {
        for (uint32_t h = 0; h < 2; ++h) {
            // bit b of word3 ^ (word3 >> 2)
            t[b][h] = rows.row[oldest][b][h] ^ (b + 2 < 32 ? rows.row[oldest][b + 2][h] : 0);
        }
    }
    for (uint32_t b = 0; b < 32; ++b) {
        for (uint32_t h = 0; h < 2; ++h) {
            // bit b of t ^ (t << 1) ^ word0 ^ (word0 << 4)
            rows.row[oldest][b][h] = t[b][h] ^ (b >= 1 ? t[b - 1][h] : 0) ^ rows.row[newest][b][h] ^
                                     (b >= 4 ? rows.row[newest][b - 4][h] : 0);
        }
    }
    rows.newest = oldest;
}

// Word w of column i: bit b of it is bit i of row (w, b).
constexpr uint32_t column_word(const JumpRows& rows, uint32_t i, uint32_t w) {
    const uint32_t slot = (rows.newest + w) % 4;
    uint32_t word = 0;
    for (uint32_t b = 0; b < 32; ++b) {
        word |= static_cast<uint32_t>((rows.row[slot][b][i / 64] >> (i % 64)) & 1u) << b;
    }
    return word;
}

// The jumps that a lane path needs, laid out for its vectors: for bit i of
// the register and word w, entry[(4 * i + w) * lanes + lane] is word w of
// column i of the jump by lane * (block_words / lanes) steps. Lane 0 is the
// identity, so that all lanes are jumped alike.
template <uint32_t lanes> struct LaneJumpTable { uint32_t entry[register_bits * 4 * lanes]; };

template <uint32_t lanes> constexpr LaneJumpTable<lanes> make_lane_jump_table() {
    LaneJumpTable<lanes> table{};
    JumpRows rows = identity_rows();
    for (uint32_t lane = 0; lane < lanes; ++lane) {
        if (lane > 0) {
            for (uint32_t s = 0; s < block_words / lanes; ++s) {
                step_rows(rows);
            }
        }
        for (uint32_t i = 0; i < register_bits; ++i) {
            for (uint32_t w = 0; w < 4; ++w) {
                table.entry[(4 * i + w) * lanes + lane] = column_word(rows, i, w);
            }
        }
    }
    return table;
}
