// The stream as the generator defines it, built word by word with next_word,
// to check other code against.
#pragma once

#include "generator.h"

#include <algorithm>
#include <cstddef>
#include <vector>

// The next `count` bytes from `state`, least significant byte first.
inline std::vector<unsigned char> reference_bytes(GeneratorState state, size_t count) {
    std::vector<unsigned char> bytes;
    bytes.reserve(count + 3);
    while (bytes.size() < count) {
        uint32_t v = next_word(&state);
        for (int shift = 0; shift < 32; shift += 8) {
            bytes.push_back(static_cast<unsigned char>(v >> shift));
        }
    }
    bytes.resize(count);
    return bytes;
}

// The state of a run after its first four outputs, recovered from its first
// 16 bytes: the counter starts at 0, so output i (from 1) is the new register
// word plus 362437 * i, and four outputs make up the whole register.
inline GeneratorState state_after_first_words(const unsigned char* first) {
    GeneratorState state{};
    for (int i = 0; i < 4; ++i) {
        uint32_t output = static_cast<uint32_t>(first[4 * i]) |
                          static_cast<uint32_t>(first[4 * i + 1]) << 8 |
                          static_cast<uint32_t>(first[4 * i + 2]) << 16 |
                          static_cast<uint32_t>(first[4 * i + 3]) << 24;
        state.word[3 - i] = output - weyl_increment * static_cast<uint32_t>(i + 1);
    }
    state.counter = 4 * weyl_increment;
    return state;
}

// Whether `bytes` (at least 16 of them) is the start of a run's stream.
inline bool is_reference_stream(const std::vector<unsigned char>& bytes) {
    if (bytes.size() < 16) {
        return false;
    }
    std::vector<unsigned char> rest =
        reference_bytes(state_after_first_words(bytes.data()), bytes.size() - 16);
    return std::equal(rest.begin(), rest.end(), bytes.begin() + 16);
}
