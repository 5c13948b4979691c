// The scalar paths: the reference for the lane paths.
#include "generator.h"

#include "fill_paths.h"

namespace {

// next_word, with the newest word going through two operations only (an
// exclusive-or beside its shift, then one more) before the next step can use
// it. Left to itself, the compiler regroups the exclusive-ors into a longer
// chain for the newest word; each empty assembly statement hides how its
// operand was made, so that the grouping stays as written (about 1.5 times
// as fast).
inline uint32_t next_word_grouped(GeneratorState* state) {
    uint32_t* word = state->word;
    uint32_t t = word[3] ^ (word[3] >> 2);
    uint32_t older = t ^ (t << 1);
    __asm__("" : "+r"(older));
    uint32_t part = older ^ word[0];
    __asm__("" : "+r"(part));
    uint32_t n = part ^ (word[0] << 4);
    word[3] = word[2];
    word[2] = word[1];
    word[1] = word[0];
    word[0] = n;
    state->counter += weyl_increment;
    return state->counter + n;
}

} // namespace

void fill_block_scalar(GeneratorState* state, unsigned char* block) {
    // Work on a local copy: stores through the byte pointer could alias
    // *state and would force a reload of every word on every step. Unrolled
    // by the register's length, so that shifting the register costs no
    // moves.
    GeneratorState local = *state;
#pragma GCC unroll 4
    for (uint32_t i = 0; i < block_words; ++i) {
        uint32_t v = next_word_grouped(&local);
        block[4 * i + 0] = static_cast<unsigned char>(v);
        block[4 * i + 1] = static_cast<unsigned char>(v >> 8);
        block[4 * i + 2] = static_cast<unsigned char>(v >> 16);
        block[4 * i + 3] = static_cast<unsigned char>(v >> 24);
    }
    *state = local;
}
