// Streams as sprayl writes them, and an independent byte-by-byte tally of
// how an input differs from the stream its header defines.
#pragma once

#include "stream_check.h"

#include <cstdint>
#include <vector>

using Bytes = std::vector<unsigned char>;

// size bytes of the stream that sprayl writes from the register words
// (newest first), made of whole blocks as sprayl makes them.
inline Bytes make_stream(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, size_t size) {
    GeneratorState state = {{w0, w1, w2, w3}, 0};
    Bytes stream((size / block_bytes + 1) * block_bytes);
    for (size_t offset = 0; offset < stream.size(); offset += block_bytes) {
        fill_block(&state, stream.data() + offset);
    }
    stream.resize(size);
    return stream;
}

inline Bytes test_stream(size_t size) {
    return make_stream(0x9E3779B9, 0x7F4A7C15, 0xF39CC060, 0x5CEDC834, size);
}

struct Tally {
    uint64_t differing;
    uint64_t first; // offset of the first differing byte, or 0
    uint64_t last;  // offset of the last differing byte, or 0
};

// Predicts one word at a time with next_word, without blocks or chunks.
inline Tally tally_differences(const Bytes& input) {
    Tally tally = {0, 0, 0};
    GeneratorState state = recover_generator_state(input.data());
    uint32_t word = 0;
    for (size_t i = header_bytes; i < input.size(); ++i) {
        if (i % 4 == 0) {
            word = next_word(&state);
        }
        unsigned char expected = static_cast<unsigned char>(word >> (8 * (i % 4)));
        if (input[i] != expected) {
            if (tally.differing == 0) {
                tally.first = i;
            }
            tally.last = i;
            ++tally.differing;
        }
    }
    return tally;
}

// Runs the check over input, handing it over chunk bytes at a time.
inline void check_in_chunks(StreamCheck* check, const Bytes& input, size_t chunk) {
    check_start(check);
    for (size_t offset = 0; offset < input.size(); offset += chunk) {
        size_t size = input.size() - offset < chunk ? input.size() - offset : chunk;
        check_bytes(check, input.data() + offset, size);
    }
}
