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

void note_bad_byte(StreamCheck* check, uint64_t offset) {
    ++check->bytes_differing;
    bool joins = check->range_count > 0 && offset - check->last_range_end < range_join_gap;
    if (!joins) {
        ++check->range_count;
        if (check->range_count <= kept_ranges) {
            check->ranges[check->range_count - 1].start = offset;
        }
    }
    check->last_range_end = offset + 1;
    if (check->range_count <= kept_ranges) {
        check->ranges[check->range_count - 1].end = offset + 1;
    }
}

// The slow path, for a span that memcmp found to differ somewhere.
void note_differences(StreamCheck* check, const unsigned char* data, const unsigned char* predicted,
                      size_t size) {
    uint64_t base = check->bytes_read;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] != predicted[i]) {
            note_bad_byte(check, base + i);
        }
    }
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
