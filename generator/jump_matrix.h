// The jump as a bit matrix, for any distance: the register step is linear
// over GF(2), so the register k steps ahead (or back) is a fixed 128x128 bit
// matrix times the register now. Bit b of word w is bit 32*w + b. The tests
// take it as an independent way to the registers that the lane paths' jump
// tables hold; sprayl-check jumps a run's register with its powers.
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

// The matrix of one step: step_register, or step_register_back.
inline JumpMatrix matrix_of_step(void (*step)(uint32_t word[4])) {
    JumpMatrix matrix{};
    for (uint32_t i = 0; i < register_bits; ++i) {
        matrix.column[i][i / 32] = 1u << (i % 32);
        step(matrix.column[i]);
    }
    return matrix;
}

inline void step_forward(uint32_t word[4]) {
    step_register(word);
}

// By repeated squaring of the one-step matrix.
inline JumpMatrix make_jump_matrix(uint32_t steps) {
    JumpMatrix power = matrix_of_step(step_forward);
    JumpMatrix result{};
    for (uint32_t i = 0; i < register_bits; ++i) {
        result.column[i][i / 32] = 1u << (i % 32);
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
