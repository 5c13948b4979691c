// The stream as the generator defines it, to check other code against.
#pragma once

#include "generator.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// The next `count` bytes from `state`, built word by word with next_word,
// least significant byte first.
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

// Whether `bytes` (at least 16 of them) is the start of a run's stream.
//
// Deliberately not sprayl-check's way (recover the register from the first
// 16 bytes, then generate and compare) nor the generator's step: this is the
// independent judge of both. It checks the defining relation of every word
// against the four before it. Output i (from 1) of a run is its register
// word r(i) plus i times the Weyl increment, the counter starting at 0, and
// each register word follows from the one four steps and the one one step
// before it. A last, partial word is checked as far as it goes.
inline bool is_reference_stream(const std::vector<unsigned char>& bytes) {
    if (bytes.size() < 16) {
        return false;
    }
    std::vector<uint32_t> register_words; // r(1), r(2), ...
    for (size_t at = 0; at < bytes.size(); at += 4) {
        const uint32_t index = static_cast<uint32_t>(at / 4 + 1);
        const uint32_t counter = index * weyl_increment;
        uint32_t predicted = 0;
        if (index > 4) {
            const uint32_t oldest = register_words[index - 5];
            const uint32_t newest = register_words[index - 2];
            const uint32_t t = oldest ^ (oldest >> 2);
            predicted = (t ^ (t << 1) ^ newest ^ (newest << 4)) + counter;
        }
        uint32_t output = 0;
        for (size_t b = 0; b < 4 && at + b < bytes.size(); ++b) {
            const uint32_t byte = bytes[at + b];
            output |= byte << (8 * b);
            if (index > 4 && byte != ((predicted >> (8 * b)) & 0xFF)) {
                return false;
            }
        }
        register_words.push_back(output - counter);
    }
    return true;
}
