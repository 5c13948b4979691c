// Reading ahead, over a file in memory whose reads are scripted, both ways:
// in the ring of threads, and through a queue of reads kept in flight that
// end in another order than they were asked for. Every byte handed on once,
// in order, and the run ending where a read did not give its whole piece,
// so that the caller meets the error at its offset. Then the system's own
// queue over a real file.
#include "read_ahead.h"

#include "program_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// The file, and what its reads do at one offset.
struct ScriptedFile {
    std::vector<unsigned char> bytes;
    uint64_t odd_offset; // the read that starts here...
    int64_t odd_result;  // ...gives this many bytes, or -1 with EIO
    size_t most_asked;   // the largest read allowed
};
ScriptedFile file;

int64_t scripted_read(const OpenInput*, unsigned char* buffer, size_t size, uint64_t offset,
                      int* error) {
    EXPECT_EQ(offset % 4096, 0u);
    EXPECT_EQ(size % 4096, 0u);
    EXPECT_LE(size, file.most_asked);
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

// A queue whose reads end newest first, and that refuses one request.
struct ScriptedQueue {
    struct Request {
        unsigned char* buffer;
        size_t size;
        uint64_t offset;
        unsigned slot;
    };
    std::vector<Request> in_flight;
    size_t most_in_flight;
    uint64_t asked;     // requests asked for so far
    uint64_t refuse_at; // the number of the request refused (from 0)
};
ScriptedQueue queued;

bool overlaps_in_flight(const unsigned char* data, size_t size) {
    for (const ScriptedQueue::Request& request : queued.in_flight) {
        if (data < request.buffer + request.size && request.buffer < data + size) {
            return true;
        }
    }
    return false;
}

bool scripted_submit(uintptr_t, const OpenInput*, unsigned char* buffer, size_t size,
                     uint64_t offset, unsigned slot) {
    if (queued.asked++ == queued.refuse_at) {
        return false;
    }
    EXPECT_FALSE(overlaps_in_flight(buffer, size)) << "a buffer asked for twice";
    queued.in_flight.push_back({buffer, size, offset, slot});
    queued.most_in_flight = std::max(queued.most_in_flight, queued.in_flight.size());
    return true;
}

void scripted_wait(uintptr_t, unsigned* slot, int64_t* got, int* error) {
    ASSERT_FALSE(queued.in_flight.empty()) << "waited with nothing in flight";
    ScriptedQueue::Request request = queued.in_flight.back();
    queued.in_flight.pop_back();
    *slot = request.slot;
    *got = scripted_read(nullptr, request.buffer, request.size, request.offset, error);
}

// What was handed on, and after how many pieces the taker takes no more.
struct Taken {
    std::vector<unsigned char> bytes;
    unsigned pieces;
    unsigned most_pieces;
};

bool take(void* context, const unsigned char* data, size_t size) {
    Taken* taken = static_cast<Taken*>(context);
    EXPECT_FALSE(overlaps_in_flight(data, size)) << "handed on while being read into";
    taken->bytes.insert(taken->bytes.end(), data, data + size);
    return ++taken->pieces < taken->most_pieces;
}

// One way of reading ahead: the ring, or the queue (which refuses the
// request numbered refuse_at).
struct Way {
    const char* name;
    bool queue;
    size_t piece; // the size of its requests
    uint64_t refuse_at;
};

TEST(ReadAhead, EveryByteIsHandedOnOnceInOrderUpToWhereAReadFellShort) {
    const Way ways[] = {
        {"ring", false, ahead_piece_bytes, UINT64_MAX},
        {"queue", true, queued_piece_bytes, UINT64_MAX},
        // The queue refuses its first request: the ring reads instead.
        {"queue refusing at first", true, ahead_piece_bytes, 0},
    };
    unsigned char* buffers = ahead_buffers();
    ASSERT_NE(buffers, nullptr);
    OpenInput input = {};
    input.around_cache = true;
    input.seekable = true;
    const ReadQueue queue = {0, scripted_submit, scripted_wait};
    for (const Way& way : ways) {
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
        const uint64_t piece = way.piece;
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
            {"nothing left before the limit", size, 8 * 4096, 8 * 4096, UINT64_MAX, 0, 99,
             8 * 4096},
        };
        for (const Case& c : cases) {
            file.bytes.resize(c.size);
            for (uint64_t i = 0; i < c.size; ++i) {
                file.bytes[i] = static_cast<unsigned char>(i * 7 + i / 4096);
            }
            file.odd_offset = c.odd_offset;
            file.odd_result = c.odd_result;
            file.most_asked = way.piece;
            queued = {{}, 0, 0, way.refuse_at};
            Taken taken = {{}, 0, c.most_pieces};
            uint64_t end = read_ahead(&input, scripted_read, way.queue ? &queue : nullptr, c.from,
                                      c.limit, buffers, take, &taken);
            std::string name = std::string(way.name) + ": " + c.name;
            EXPECT_EQ(end, c.end) << name;
            ASSERT_EQ(taken.bytes.size(), c.end - c.from) << name;
            EXPECT_TRUE(std::equal(taken.bytes.begin(), taken.bytes.end(),
                                   file.bytes.begin() + static_cast<std::ptrdiff_t>(c.from)))
                << name;
            EXPECT_TRUE(queued.in_flight.empty()) << name << ": reads left in flight";
            EXPECT_LE(queued.most_in_flight, queued_pieces) << name;
        }
    }
    free_aligned_buffer(buffers);
}

// A queue that refuses a request after the first: what was asked for before
// it is handed on, and the run ends at the piece refused, where the caller
// reads on.
TEST(ReadAhead, AQueueThatRefusesARequestEndsTheRunAtItsPiece) {
    const uint64_t piece = queued_piece_bytes;
    const struct {
        uint64_t refuse_at;
        uint64_t end;
    } cases[] = {
        {1, piece},
        {queued_pieces - 1, (queued_pieces - 1) * piece},
        {queued_pieces, queued_pieces * piece}, // the first asked for in a slot freed
    };
    unsigned char* buffers = ahead_buffers();
    ASSERT_NE(buffers, nullptr);
    OpenInput input = {};
    const ReadQueue queue = {0, scripted_submit, scripted_wait};
    file.bytes.assign(9 * piece, 0x5a);
    file.odd_offset = UINT64_MAX;
    file.most_asked = piece;
    for (const auto& c : cases) {
        queued = {{}, 0, 0, c.refuse_at};
        Taken taken = {{}, 0, 99};
        EXPECT_EQ(read_ahead(&input, scripted_read, &queue, 0, UINT64_MAX, buffers, take, &taken),
                  c.end)
            << "refused at " << c.refuse_at;
        EXPECT_EQ(taken.bytes.size(), c.end);
        EXPECT_TRUE(queued.in_flight.empty());
    }
    free_aligned_buffer(buffers);
}

// The system's queue over a real file, whose last page is not whole: the
// same bytes as the file, up to its end.
TEST(ReadAhead, TheSystemsQueueReadsAFileToItsEnd) {
    ReadQueue queue;
    if (!start_read_queue(&queue, queued_pieces)) {
        GTEST_SKIP() << "no reads kept in flight here";
    }
    Bytes bytes(5 * queued_piece_bytes + 3 * 4096 + 100);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<unsigned char>(i * 13 + i / 4096);
    }
    std::string path = write_file("read-ahead.bin", bytes);
    OpenInput input = {};
    input.path = path.c_str();
    ASSERT_EQ(open_input(path.c_str(), &input), 0);
    unsigned char* buffers = ahead_buffers();
    ASSERT_NE(buffers, nullptr);
    queued = {};
    Taken taken = {{}, 0, 1000};
    uint64_t end = read_ahead(&input, read_input, &queue, 0, UINT64_MAX, buffers, take, &taken);
    EXPECT_EQ(end, bytes.size());
    EXPECT_TRUE(taken.bytes == std::vector<unsigned char>(bytes.begin(), bytes.end()));
    free_aligned_buffer(buffers);
    close_input(&input);
    end_read_queue(&queue);
}

} // namespace
