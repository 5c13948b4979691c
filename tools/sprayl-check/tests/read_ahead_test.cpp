// Reading ahead in a ring of buffers, over a file in memory whose reads are
// scripted: every byte handed on once, in order, and the run ending where a
// read did not give its whole piece, so that the caller meets the error at
// its offset.
#include "read_ahead.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t piece = ahead_piece_bytes;

// The file, and what its reads do at one offset.
struct ScriptedFile {
    std::vector<unsigned char> bytes;
    uint64_t odd_offset; // the read that starts here...
    int64_t odd_result;  // ...gives this many bytes, or -1 with EIO
};
ScriptedFile file;

int64_t scripted_read(const OpenInput*, unsigned char* buffer, size_t size, uint64_t offset,
                      int* error) {
    EXPECT_EQ(offset % 4096, 0u);
    EXPECT_EQ(size % 4096, 0u);
    EXPECT_LE(size, ahead_piece_bytes);
    if (offset == file.odd_offset && file.odd_result < 0) {
        *error = EIO;
        return -1;
    }
    uint64_t left = offset < file.bytes.size() ? file.bytes.size() - offset : 0;
    uint64_t got = std::min<uint64_t>(size, left);
    if (offset == file.odd_offset) {
        got = std::min<uint64_t>(got, static_cast<uint64_t>(file.odd_result));
    }
    std::memcpy(buffer, file.bytes.data() + offset, got);
    return static_cast<int64_t>(got);
}

// What was handed on, and after how many pieces the taker takes no more.
struct Taken {
    std::vector<unsigned char> bytes;
    unsigned pieces;
    unsigned most_pieces;
};

bool take(void* context, const unsigned char* data, size_t size) {
    Taken* taken = static_cast<Taken*>(context);
    taken->bytes.insert(taken->bytes.end(), data, data + size);
    return ++taken->pieces < taken->most_pieces;
}

TEST(ReadAhead, EveryByteIsHandedOnOnceInOrderUpToWhereAReadFellShort) {
    struct Case {
        const char* name;
        uint64_t size;        // of the file
        uint64_t from;        // where reading starts
        uint64_t limit;       // the most to read
        uint64_t odd_offset;  // a read there...
        int64_t odd_result;   // ...gives this, or fails
        unsigned most_pieces; // the taker stops after this many
        uint64_t end;         // the first byte not handed on
    };
    const uint64_t size = 9 * piece + 5000;
    const Case cases[] = {
        {"to the end of the file", size, 0, UINT64_MAX, UINT64_MAX, 0, 99, size},
        {"a file of whole pieces", 6 * piece, 0, UINT64_MAX, UINT64_MAX, 0, 99, 6 * piece},
        {"from a page in the middle", size, 3 * 4096, UINT64_MAX, UINT64_MAX, 0, 99, size},
        {"up to a limit inside a page", size, 0, 4 * piece + 100, UINT64_MAX, 0, 99,
         4 * piece + 100},
        {"a read error", size, 0, UINT64_MAX, 3 * piece, -1, 99, 3 * piece},
        {"a read error at the first piece", size, 0, UINT64_MAX, 0, -1, 99, 0},
        {"a short read", size, 0, UINT64_MAX, 2 * piece, 8192, 99, 2 * piece + 8192},
        {"a read that gives nothing", size, 0, UINT64_MAX, 5 * piece, 0, 99, 5 * piece},
        {"the taker stops", size, 0, UINT64_MAX, UINT64_MAX, 0, 2, 2 * piece},
        {"the taker stops at the last piece", 3 * piece, 0, UINT64_MAX, UINT64_MAX, 0, 3,
         3 * piece},
        {"nothing left before the limit", size, 8 * 4096, 8 * 4096, UINT64_MAX, 0, 99, 8 * 4096},
    };
    unsigned char* buffers = ahead_buffers();
    ASSERT_NE(buffers, nullptr);
    OpenInput input = {};
    input.around_cache = true;
    input.seekable = true;
    for (const Case& c : cases) {
        file.bytes.resize(c.size);
        for (uint64_t i = 0; i < c.size; ++i) {
            file.bytes[i] = static_cast<unsigned char>(i * 7 + i / 4096);
        }
        file.odd_offset = c.odd_offset;
        file.odd_result = c.odd_result;
        Taken taken = {{}, 0, c.most_pieces};
        uint64_t end = read_ahead(&input, scripted_read, c.from, c.limit, buffers, take, &taken);
        EXPECT_EQ(end, c.end) << c.name;
        ASSERT_EQ(taken.bytes.size(), c.end - c.from) << c.name;
        EXPECT_TRUE(std::equal(taken.bytes.begin(), taken.bytes.end(),
                               file.bytes.begin() + static_cast<std::ptrdiff_t>(c.from)))
            << c.name;
    }
    free_aligned_buffer(buffers);
}

} // namespace
