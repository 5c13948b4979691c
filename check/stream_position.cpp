#include "stream_position.h"

#include "jump_matrix.h"

namespace {

// The multiplicative inverse of the Weyl increment mod 2^32: output index
// i has the counter (i + 1) * weyl_increment.
constexpr uint32_t increment_inverse() {
    uint32_t x = weyl_increment; // correct to 3 bits; each round doubles them
    for (int i = 0; i < 5; ++i) {
        x *= 2 - weyl_increment * x;
    }
    return x;
}
static_assert(increment_inverse() * weyl_increment == 1, "the increment is odd");

uint32_t step_function(uint32_t oldest, uint32_t newest) {
    uint32_t t = oldest ^ (oldest >> 2);
    return t ^ (t << 1) ^ newest ^ (newest << 4);
}

// The four relations n_m = f(n_(m-4), n_(m-1)), m = 4..7, for the register
// words n_m = x[m] - counter; the bits where they fail.
uint32_t relation_errors(const uint32_t x[recognised_words], uint32_t counter, int m) {
    return (x[m] - counter) ^ step_function(x[m - 4] - counter, x[m - 1] - counter);
}

// Completes the counter from its two lowest bits; false when no counter
// with those bits fits.
bool solve_counter(const uint32_t x[recognised_words], uint32_t* counter) {
    uint32_t c = *counter;
    for (uint32_t j = 0; j < 32; ++j) {
        uint32_t bit = 1u << j;
        int first_unsettled = 4;
        if (j + 2 < 32) {
            // Bit j + 2 of the counter enters bit j of the relation once,
            // through the oldest word's shift by 2: the first relation sets it.
            c ^= (relation_errors(x, c, 4) & bit) << 2;
            first_unsettled = 5;
        }
        for (int m = first_unsettled; m < 8; ++m) {
            if ((relation_errors(x, c, m) & bit) != 0) {
                return false;
            }
        }
    }
    *counter = c;
    return true;
}

// Bit 0 of relation m, with the counter's low bits low, asks for the
// counter's bit 2 to be x[m]_0 ^ x[m-4]_0 ^ x[m-1]_0 ^ x[m-4]_2 ^ low_0 ^ b,
// where b is the borrow into bit 2 of x[m-4] - counter. All four relations
// must ask for the same bit: a cheap test that random data fails seven
// times in eight, before the full solution. Returns the lows that pass, as
// bits 0 to 3.
uint32_t agreeing_lows(const uint32_t x[recognised_words]) {
    uint32_t parity[4];
    uint32_t low_bits[4];
    for (int m = 4; m < 8; ++m) {
        parity[m - 4] = (x[m] ^ x[m - 4] ^ x[m - 1] ^ (x[m - 4] >> 2)) & 1u;
        low_bits[m - 4] = x[m - 4] & 3u;
    }
    uint32_t passing = 0;
    for (uint32_t low = 0; low < 4; ++low) {
        uint32_t wanted = 0;
        for (int r = 0; r < 4; ++r) {
            wanted |= (parity[r] ^ (low_bits[r] < low ? 1u : 0u)) << r;
        }
        passing |= (wanted == 0 || wanted == 15 ? 1u : 0u) << low;
    }
    return passing;
}

constexpr int jump_powers = 64;

// The step and the step back to the powers 2^e, built as far as jumps have
// needed them.
struct JumpTables {
    int powers_built;
    JumpMatrix forward[jump_powers];
    JumpMatrix backward[jump_powers];
};

JumpTables tables;

// Builds the powers of the step up to 2^(powers - 1), as far as not yet
// built: a jump needs only as many as its distance has bits.
void build_powers(int powers) {
    if (tables.powers_built == 0) {
        tables.forward[0] = matrix_of_step(step_forward);
        tables.backward[0] = matrix_of_step(step_register_back);
        tables.powers_built = 1;
    }
    for (int e = tables.powers_built; e < powers; ++e) {
        tables.forward[e] = compose_jumps(tables.forward[e - 1], tables.forward[e - 1]);
        tables.backward[e] = compose_jumps(tables.backward[e - 1], tables.backward[e - 1]);
    }
    if (powers > tables.powers_built) {
        tables.powers_built = powers;
    }
}

// Shorter distances are stepped: faster than building the tables.
constexpr uint64_t stepped_distance = 1024;

} // namespace

bool recognise_words(const uint32_t words[recognised_words], WordPlace* place) {
    // x[m] = n_m + counter, where counter belongs to words[0].
    uint32_t x[recognised_words];
    for (uint32_t m = 0; m < recognised_words; ++m) {
        x[m] = words[m] - m * weyl_increment;
    }
    uint32_t lows = agreeing_lows(x);
    for (uint32_t low = 0; low < 4; ++low) {
        uint32_t counter = low;
        if (((lows >> low) & 1u) == 0 || !solve_counter(x, &counter)) {
            continue;
        }
        place->index = counter * increment_inverse() - 1;
        for (int k = 0; k < 4; ++k) {
            place->after.word[k] = x[7 - k] - counter;
        }
        place->after.counter = counter + 7 * weyl_increment;
        return true;
    }
    return false;
}

void jump_register(uint32_t word[4], int64_t steps) {
    uint64_t count = steps >= 0 ? static_cast<uint64_t>(steps) : 0 - static_cast<uint64_t>(steps);
    if (count <= stepped_distance) {
        for (uint64_t i = 0; i < count; ++i) {
            if (steps > 0) {
                step_register(word);
            } else {
                step_register_back(word);
            }
        }
        return;
    }
    build_powers(64 - __builtin_clzll(count));
    const JumpMatrix* powers = steps >= 0 ? tables.forward : tables.backward;
    for (int e = 0; count != 0; ++e, count >>= 1) {
        if ((count & 1) != 0) {
            apply_jump(powers[e], word, word);
        }
    }
}

GeneratorState state_after_outputs(const GeneratorState* header_state, uint64_t outputs) {
    GeneratorState state = *header_state;
    jump_register(state.word, static_cast<int64_t>(outputs) - 4);
    state.counter = static_cast<uint32_t>(outputs) * weyl_increment;
    return state;
}
