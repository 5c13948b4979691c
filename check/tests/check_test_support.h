// Streams as sprayl writes them, and the check run over a whole input.
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

// Runs the whole check over input, handing it over chunk bytes at a time.
inline void check_in_chunks(StreamCheck* check, const Bytes& input, size_t chunk,
                            CheckEnd end = check_end_of_input) {
    check_start(check);
    for (size_t offset = 0; offset < input.size(); offset += chunk) {
        size_t size = input.size() - offset < chunk ? input.size() - offset : chunk;
        check_bytes(check, input.data() + offset, size);
    }
    check_finish(check, end, 0);
}
