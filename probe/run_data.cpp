#include "run_data.h"

#include "stream_position.h"

#include <cstring>
#include <vector>

namespace {

unsigned char block_buffer[block_bytes];

// Word index i of the run and word index i + 2^32 share their counter: the
// words name an index mod 2^32, the register tells which.
constexpr uint64_t index_period = uint64_t{1} << 32;

uint32_t load_word(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Compares length bytes of data with the run's bytes at offset, a block's
// worth at a time (the data is a sector or two: one jump of the register).
bool equals_run(const GeneratorState* seed, const unsigned char* data, size_t length,
                uint64_t offset) {
    static unsigned char expected[block_bytes];
    for (size_t done = 0; done < length; done += block_bytes) {
        size_t piece = length - done < block_bytes ? length - done : block_bytes;
        run_bytes(seed, offset + done, piece, expected);
        if (std::memcmp(expected, data + done, piece) != 0) {
            return false;
        }
    }
    return true;
}

// The run's register at the start of each period of 2^32 outputs, for the
// last run asked about: a recognised register jumped back to its period's
// start is looked up here, one jump whatever the size of the drive.
struct PeriodStarts {
    GeneratorState seed;
    std::vector<uint32_t> registers; // four words a period
};

PeriodStarts period_table;

const uint32_t* period_starts(const GeneratorState* seed, uint64_t periods) {
    PeriodStarts* table = &period_table;
    if (std::memcmp(table->seed.word, seed->word, sizeof seed->word) != 0) {
        table->seed = *seed;
        table->registers.clear();
    }
    for (uint64_t period = table->registers.size() / 4; period < periods; ++period) {
        GeneratorState state = state_after_outputs(seed, period * index_period);
        table->registers.insert(table->registers.end(), state.word, state.word + 4);
    }
    return table->registers.data();
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
    // The register at the start of the words' period of 2^32 outputs.
    uint32_t start[4];
    std::memcpy(start, place.after.word, sizeof start);
    jump_register(start, -static_cast<int64_t>(uint64_t{place.index} + recognised_words));
    const uint32_t* known = period_starts(seed, limit / 4 / index_period + 1);
    for (uint64_t period = 0; period * index_period * 4 < limit; ++period) {
        if (std::memcmp(known + 4 * period, start, sizeof start) == 0) {
            uint64_t found = (period * index_period + place.index) * 4;
            if (found >= limit || !equals_run(seed, data, length, found)) {
                return false;
            }
            *offset = found;
            return true;
        }
    }
    return false;
}
