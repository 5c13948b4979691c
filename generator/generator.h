// The generator: a four-word xorshift register with the "xorwow" shift
// triple (2, 1, 4) and a Weyl counter added to every output. Pure
// computation: the seeding from the system is in stream/gather_seed.h.
#pragma once

#include <cstdint>

struct GeneratorState {
    uint32_t word[4]; // word[0] newest ... word[3] oldest
    uint32_t counter; // Weyl counter
};

constexpr uint32_t weyl_increment = 362437;
constexpr uint32_t seed_multiplier = 65599;
constexpr uint32_t block_words = 4096;
constexpr uint32_t block_bytes = block_words * 4;

// Advances the register word[0] (newest) ... word[3] (oldest) by one step.
constexpr void step_register(uint32_t word[4]) {
    uint32_t t = word[3] ^ (word[3] >> 2);
    uint32_t n = t ^ (t << 1) ^ word[0] ^ (word[0] << 4);
    word[3] = word[2];
    word[2] = word[1];
    word[1] = word[0];
    word[0] = n;
}

// Undoes one step_register: n = t ^ (t << 1) ^ w0 ^ (w0 << 4) with
// t = w3 ^ (w3 >> 2) and w0 now in word[1]. x ^ (x << 1) is undone by a
// running exclusive-or from the low bit up, x ^ (x >> 2) by one from the
// high bits down.
constexpr void step_register_back(uint32_t word[4]) {
    uint32_t newest = word[1];
    uint32_t t = word[0] ^ newest ^ (newest << 4);
    t ^= t << 1;
    t ^= t << 2;
    t ^= t << 4;
    t ^= t << 8;
    t ^= t << 16;
    uint32_t oldest = t;
    oldest ^= oldest >> 2;
    oldest ^= oldest >> 4;
    oldest ^= oldest >> 8;
    oldest ^= oldest >> 16;
    word[0] = word[1];
    word[1] = word[2];
    word[2] = word[3];
    word[3] = oldest;
}

// Advances the state by one step and returns one output.
inline uint32_t next_word(GeneratorState* state) {
    step_register(state->word);
    state->counter += weyl_increment;
    return state->counter + state->word[0];
}

// Writes the next block_words outputs into block, least significant byte
// first. Runs the fastest of the equivalent paths in fill_paths.h that the
// machine supports, chosen on the first call.
void fill_block(GeneratorState* state, unsigned char* block);

// Runs the generator over one block exactly as fill_block does, but compares
// the outputs with the block_bytes bytes at input instead of storing them.
// Advances the state by the block either way; true when every byte matched.
// Runs the same path as fill_block.
bool match_block(GeneratorState* state, const unsigned char* input);
