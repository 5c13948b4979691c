#include "generator.h"

#include "fill_paths.h"

// GCC's reassociation regroups the exclusive-ors of the step so that the
// newest word goes through four operations before the next step can use it,
// where two suffice as written; kept as written, the loop runs about 1.5
// times as fast.
__attribute__((optimize("no-tree-reassoc"))) void fill_block_scalar(GeneratorState* state,
                                                                    unsigned char* block) {
    // Work on a local copy: stores through the byte pointer could alias
    // *state and would force a reload of every word on every step.
    GeneratorState local = *state;
    for (uint32_t i = 0; i < block_words; ++i) {
        uint32_t v = next_word(&local);
        block[4 * i + 0] = static_cast<unsigned char>(v);
        block[4 * i + 1] = static_cast<unsigned char>(v >> 8);
        block[4 * i + 2] = static_cast<unsigned char>(v >> 16);
        block[4 * i + 3] = static_cast<unsigned char>(v >> 24);
    }
    *state = local;
}
