// The jump as a bit matrix, for the tests: an independent way to the
// registers that the lane paths' jump tables hold. The register step is
// linear over GF(2), so the register k steps ahead is a fixed 128x128 bit
// matrix times the register now. Bit b of word w is bit 32*w + b.
#pragma once

#include "generator.h"

#include <cstdint>

constexpr uint32_t register_bits = 128;

// column[i] is the register k steps after the register holding bit i alone.
struct JumpMatrix {
    uint32_t column[register_bits][4];
};

// Sets to the register `matrix` steps after from.
inline void apply_jump(const JumpMatrix& matrix, const uint32_t from[4], uint32_t to[4]) {
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
inline JumpMatrix compose_jumps(const JumpMatrix& first, const JumpMatrix& second) {
    JumpMatrix matrix{};
    for (uint32_t i = 0; i < register_bits; ++i) {
        apply_jump(second, first.column[i], matrix.column[i]);
    }
    return matrix;
}

// By repeated squaring of the one-step matrix.
inline JumpMatrix make_jump_matrix(uint32_t steps) {
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
