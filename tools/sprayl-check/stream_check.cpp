#include "stream_check.h"

#include <cstring>

namespace {

uint32_t load_word(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void store_word(unsigned char* bytes, uint32_t value) {
    bytes[0] = static_cast<unsigned char>(value);
    bytes[1] = static_cast<unsigned char>(value >> 8);
    bytes[2] = static_cast<unsigned char>(value >> 16);
    bytes[3] = static_cast<unsigned char>(value >> 24);
}

// The header sits in expected[0..15]; the rest of the first block continues
// from the recovered state, after which whole blocks follow.
void predict_first_block(StreamCheck* check) {
    check->generator = recover_generator_state(check->expected);
    for (uint32_t i = header_bytes / 4; i < block_words; ++i) {
        store_word(check->expected + 4 * i, next_word(&check->generator));
    }
    check->expected_used = header_bytes;
}

// The input is compared eight bytes at a time as a little-endian word, so
// that byte k of the word is byte k of the input.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the slow path assumes little-endian");

uint64_t load_eight(const unsigned char* bytes) {
    uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// The number of non-zero bytes in x.
uint32_t nonzero_bytes(uint64_t x) {
    x |= x >> 4;
    x |= x >> 2;
    x |= x >> 1;
    // Sums the eight 0-or-1 bytes into the top byte; no popcount instruction
    // needed.
    return static_cast<uint32_t>(((x & 0x0101010101010101ull) * 0x0101010101010101ull) >> 56);
}

// The counts of note_differences, kept in locals while it runs.
struct Tally {
    uint64_t differing;
    uint64_t range_count;
    uint64_t range_end;
};

// Notes the differences x (the xor of input and prediction) of the word at
// offset. Differences within one word are always less than range_join_gap
// apart, so they all belong to one range.
inline void note_word(StreamCheck* check, Tally* tally, uint64_t offset, uint64_t x) {
    uint64_t first = offset + static_cast<uint64_t>(__builtin_ctzll(x) / 8);
    uint64_t last = offset + 7 - static_cast<uint64_t>(__builtin_clzll(x) / 8);
    tally->differing += nonzero_bytes(x);
    if (tally->range_count == 0 || first - tally->range_end >= range_join_gap) {
        if (tally->range_count > 0 && tally->range_count <= kept_ranges) {
            check->ranges[tally->range_count - 1].end = tally->range_end;
        }
        ++tally->range_count;
        if (tally->range_count <= kept_ranges) {
            check->ranges[tally->range_count - 1].start = first;
        }
    }
    tally->range_end = last + 1;
}

// The slow path, for a span that memcmp found to differ somewhere. Eight
// bytes at a time and on locals, as a damaged area is often long: on a drive
// that lost its data, everything from some offset on differs.
void note_differences(StreamCheck* check, const unsigned char* data, const unsigned char* predicted,
                      size_t size) {
    const uint64_t base = check->bytes_read;
    Tally tally = {check->bytes_differing, check->range_count, check->last_range_end};
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t x = load_eight(data + i) ^ load_eight(predicted + i);
        if (x != 0) {
            note_word(check, &tally, base + i, x);
        }
    }
    if (i < size) {
        // The last few bytes, as a word whose missing bytes match.
        uint64_t tail_data = 0;
        uint64_t tail_predicted = 0;
        std::memcpy(&tail_data, data + i, size - i);
        std::memcpy(&tail_predicted, predicted + i, size - i);
        uint64_t x = tail_data ^ tail_predicted;
        if (x != 0) {
            note_word(check, &tally, base + i, x);
        }
    }
    if (tally.range_count > 0 && tally.range_count <= kept_ranges) {
        check->ranges[tally.range_count - 1].end = tally.range_end;
    }
    check->bytes_differing = tally.differing;
    check->range_count = tally.range_count;
    check->last_range_end = tally.range_end;
}

} // namespace

GeneratorState recover_generator_state(const unsigned char* header) {
    // Output i (from 1) is the register's new word plus i times the Weyl
    // increment; after four steps the newest word is the fourth.
    GeneratorState state;
    for (uint32_t i = 0; i < 4; ++i) {
        uint32_t output = load_word(header + 4 * i);
        state.word[3 - i] = output - weyl_increment * (i + 1);
    }
    state.counter = weyl_increment * 4;
    return state;
}

void check_start(StreamCheck* check) {
    std::memset(check, 0, sizeof *check);
}

void check_bytes(StreamCheck* check, const unsigned char* data, size_t size) {
    while (size > 0 && check->bytes_read < header_bytes) {
        check->expected[check->bytes_read] = *data;
        ++check->bytes_read;
        ++data;
        --size;
        if (check->bytes_read == header_bytes) {
            predict_first_block(check);
        }
    }
    while (size > 0) {
        if (check->expected_used == block_bytes) {
            fill_block(&check->generator, check->expected);
            check->expected_used = 0;
        }
        size_t room = block_bytes - check->expected_used;
        size_t span = size < room ? size : room;
        const unsigned char* predicted = check->expected + check->expected_used;
        if (std::memcmp(data, predicted, span) != 0) {
            note_differences(check, data, predicted, span);
        }
        check->expected_used += static_cast<uint32_t>(span);
        check->bytes_read += span;
        data += span;
        size -= span;
    }
}

uint64_t bytes_checked(const StreamCheck* check) {
    return check->bytes_read > header_bytes ? check->bytes_read - header_bytes : 0;
}

bool check_is_conclusive(const StreamCheck* check) {
    return check->bytes_read > header_bytes;
}

int check_exit_code(const StreamCheck* check) {
    if (!check_is_conclusive(check)) {
        return exit_unverifiable;
    }
    return check->bytes_differing == 0 ? exit_intact : exit_differs;
}
