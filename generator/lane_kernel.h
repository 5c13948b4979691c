// The lane kernel: the block fill and the block match of every lane path,
// written once. Lane j of a path with L lanes runs words j*S ... j*S+S-1 of
// the block (S = block_words / L) from the state jumped ahead by j*S steps;
// every group of steps, the lanes' outputs are transposed into place.
//
// Included by each lane path's file, once, inside its unnamed namespace,
// after it has defined for its vector type:
//   LANE_INLINE          the attributes of its inline functions (its
//                        instruction set, always_inline)
//   Lanes                the vector type, one 32-bit word per lane
//   lanes, group_steps   the lane count (its row's in fill_paths), and the
//                        steps between transposes
//   lanes_zero, lanes_splat, lanes_load (aligned), lanes_loadu, lanes_xor,
//   lanes_xor3, lanes_add, lanes_shift_right_2, lanes_shift_left_4,
//   lanes_last (the last lane's word), lanes_all_zero
//                        the operations that the names say, lane by lane
//   store_steps          v[k] holds step k of every lane: puts steps
//                        0 .. group_steps-1 of lane j at block + 4*j*S
//   differ_steps         the same steps compared with the input there: the
//                        differences or'ed into the last argument
// and after generator.h and jump.h.

// The row in fill_paths gives the lane count; the vector must hold as many
// words.
static_assert(sizeof(Lanes) == lanes * sizeof(uint32_t), "one 32-bit word per lane");

constexpr uint32_t segment = block_words / lanes;

// The register and the counter of every lane.
struct LaneState {
    Lanes w0; // newest word
    Lanes w1;
    Lanes w2;
    Lanes w3; // oldest word
    Lanes counter;
};

// Lane j: the state's register jumped by j*segment steps, the exclusive-or
// of the table's rows for the register's nibbles, two nibbles at a time; and
// the counter j*segment increments on (it is a plain sum).
LANE_INLINE LaneState start_lanes(const GeneratorState* state) {
    const uint32_t* table = lane_jumps(lanes);
    constexpr uint32_t row_words = 4 * lanes;
    Lanes r0 = lanes_zero();
    Lanes r1 = lanes_zero();
    Lanes r2 = lanes_zero();
    Lanes r3 = lanes_zero();
    for (uint32_t p = 0; p < register_nibbles; p += 2) {
        const uint32_t word = state->word[p / 8];
        const uint32_t low = (word >> (4 * (p % 8))) & 15u;
        const uint32_t high = (word >> (4 * (p % 8) + 4)) & 15u;
        const uint32_t* a = table + (16 * p + low) * row_words;
        const uint32_t* b = table + (16 * (p + 1) + high) * row_words;
        // word w of every lane ^= word w of rows a and b
        r0 = lanes_xor3(r0, lanes_load(a), lanes_load(b));
        r1 = lanes_xor3(r1, lanes_load(a + lanes), lanes_load(b + lanes));
        r2 = lanes_xor3(r2, lanes_load(a + 2 * lanes), lanes_load(b + 2 * lanes));
        r3 = lanes_xor3(r3, lanes_load(a + 3 * lanes), lanes_load(b + 3 * lanes));
    }
    uint32_t counters[lanes];
    for (uint32_t j = 0; j < lanes; ++j) {
        counters[j] = state->counter + j * segment * weyl_increment;
    }
    LaneState lane_state;
    lane_state.w0 = r0;
    lane_state.w1 = r1;
    lane_state.w2 = r2;
    lane_state.w3 = r3;
    lane_state.counter = lanes_loadu(counters);
    return lane_state;
}

// group_steps steps of every lane; v[k] gets the outputs of step k.
LANE_INLINE void step_lanes(LaneState* s, Lanes v[group_steps]) {
    const Lanes increment = lanes_splat(weyl_increment);
#pragma GCC unroll 8
    for (uint32_t k = 0; k < group_steps; ++k) {
        const Lanes t = lanes_xor(s->w3, lanes_shift_right_2(s->w3)); // t = w3 ^ (w3 >> 2)
        const Lanes u = lanes_xor(t, lanes_add(t, t));                // u = t ^ (t << 1)
        // The newest word last but one, so that it goes through two
        // operations only before the next step can use it.
        const Lanes n = lanes_xor3(u, s->w0, lanes_shift_left_4(s->w0)); // n = u ^ w0 ^ (w0 << 4)
        s->w3 = s->w2;
        s->w2 = s->w1;
        s->w1 = s->w0;
        s->w0 = n;
        s->counter = lanes_add(s->counter, increment); // counter += 362437
        v[k] = lanes_add(n, s->counter);               // output = n + counter
    }
}

// The state after the block: the last lane ends where the block ends.
LANE_INLINE void finish_lanes(const LaneState* s, GeneratorState* state) {
    state->word[0] = lanes_last(s->w0);
    state->word[1] = lanes_last(s->w1);
    state->word[2] = lanes_last(s->w2);
    state->word[3] = lanes_last(s->w3);
    state->counter += block_words * weyl_increment;
}

LANE_INLINE void fill_lanes(GeneratorState* state, unsigned char* block) {
    LaneState s = start_lanes(state);
    for (uint32_t i = 0; i < segment; i += group_steps) {
        Lanes v[group_steps];
        step_lanes(&s, v);
        store_steps(v, block + 4 * i);
    }
    finish_lanes(&s, state);
}

LANE_INLINE bool match_lanes(GeneratorState* state, const unsigned char* input) {
    LaneState s = start_lanes(state);
    Lanes differences = lanes_zero();
    for (uint32_t i = 0; i < segment; i += group_steps) {
        Lanes v[group_steps];
        step_lanes(&s, v);
        differences = differ_steps(v, input + 4 * i, differences);
    }
    finish_lanes(&s, state);
    return lanes_all_zero(differences);
}
