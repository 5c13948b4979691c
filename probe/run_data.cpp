#include "run_data.h"

#include "stream_position.h"

#include <cstring>

namespace {

unsigned char block_buffer[block_bytes];

// Word index i of the run and word index i + 2^32 share their counter: the
// words name an index mod 2^32, the register tells which.
constexpr uint64_t index_period = uint64_t{1} << 32;

uint32_t load_word(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

bool same_register(const GeneratorState* a, const GeneratorState* b) {
    return a->word[0] == b->word[0] && a->word[1] == b->word[1] && a->word[2] == b->word[2] &&
           a->word[3] == b->word[3];
}

// Compares length bytes of data with the run's bytes at offset.
bool equals_run(const GeneratorState* seed, const unsigned char* data, size_t length,
                uint64_t offset) {
    uint64_t block = offset / block_bytes;
    GeneratorState state = state_after_outputs(seed, block * block_words);
    size_t skip = static_cast<size_t>(offset - block * block_bytes);
    size_t done = 0;
    while (done < length) {
        size_t piece = block_bytes - skip;
        if (piece > length - done) {
            piece = length - done;
        }
        if (skip == 0 && piece == block_bytes) {
            if (!match_block(&state, data + done)) {
                return false;
            }
        } else {
            fill_block(&state, block_buffer);
            if (std::memcmp(block_buffer + skip, data + done, piece) != 0) {
                return false;
            }
        }
        done += piece;
        skip = 0;
    }
    return true;
}

} // namespace

void run_bytes(const GeneratorState* seed, uint64_t offset, size_t length, unsigned char* out) {
    uint64_t block = offset / block_bytes;
    GeneratorState state = state_after_outputs(seed, block * block_words);
    size_t skip = static_cast<size_t>(offset - block * block_bytes);
    size_t done = 0;
    while (done < length) {
        size_t piece = block_bytes - skip;
        if (piece > length - done) {
            piece = length - done;
        }
        if (skip == 0 && piece == block_bytes) {
            fill_block(&state, out + done);
        } else {
            fill_block(&state, block_buffer);
            std::memcpy(out + done, block_buffer + skip, piece);
        }
        done += piece;
        skip = 0;
    }
}

bool find_run_offset(const GeneratorState* seed, const unsigned char* data, size_t length,
                     uint64_t limit, uint64_t* offset) {
    uint32_t words[recognised_words];
    for (uint32_t k = 0; k < recognised_words; ++k) {
        words[k] = load_word(data + 4 * k);
    }
    WordPlace place;
    if (!recognise_words(words, &place)) {
        return false;
    }
    for (uint64_t index = place.index; index * 4 < limit; index += index_period) {
        GeneratorState expected = state_after_outputs(seed, index + recognised_words);
        if (same_register(&expected, &place.after)) {
            if (!equals_run(seed, data, length, index * 4)) {
                return false;
            }
            *offset = index * 4;
            return true;
        }
    }
    return false;
}
