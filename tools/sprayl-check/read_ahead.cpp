#include "read_ahead.h"

#include "system.h"

#include <atomic>

namespace {

// The buffers go round: the reader fills one while the check looks at the
// other. empty counts the buffers the reader may fill, filled the pieces
// the check may take; each piece's fields are written before its post and
// read after the matching wait.
struct ReadAhead {
    const OpenInput* input;
    ReadFunction read;
    uint64_t offset;
    unsigned char* buffers[read_ahead_buffers];
    size_t size;
    ReadAheadPiece pieces[read_ahead_buffers];
    unsigned next_taken; // the buffer of the piece the check takes next
    // Set by the check, read by the reader after each wait: the reader may
    // be reading at the time, and sees it at its next wait.
    std::atomic<bool> stopping;
    bool running;
    intptr_t thread;
    intptr_t empty;
    intptr_t filled;
};

ReadAhead ahead;

void read_pieces(void*) {
    unsigned slot = 0;
    for (;;) {
        semaphore_wait(ahead.empty);
        if (ahead.stopping.load(std::memory_order_relaxed)) {
            return;
        }
        ReadAheadPiece* piece = &ahead.pieces[slot];
        piece->data = ahead.buffers[slot];
        piece->offset = ahead.offset;
        int error = 0; // the check reads a failed piece again by itself, and learns why then
        piece->got = ahead.read(ahead.input, ahead.buffers[slot], ahead.size, ahead.offset, &error);
        bool data = piece->got > 0;
        if (data) {
            ahead.offset += static_cast<uint64_t>(piece->got);
        }
        semaphore_post(ahead.filled);
        if (!data) {
            return;
        }
        slot = (slot + 1) % read_ahead_buffers;
    }
}

} // namespace

bool read_ahead_start(const OpenInput* input, ReadFunction read, uint64_t offset,
                      unsigned char* const buffers[read_ahead_buffers], size_t size) {
    ahead.input = input;
    ahead.read = read;
    ahead.offset = offset;
    for (unsigned i = 0; i < read_ahead_buffers; ++i) {
        ahead.buffers[i] = buffers[i];
    }
    ahead.size = size;
    ahead.next_taken = 0;
    ahead.stopping.store(false, std::memory_order_relaxed);
    ahead.empty = semaphore_create(read_ahead_buffers, read_ahead_buffers);
    ahead.filled = semaphore_create(0, read_ahead_buffers);
    ahead.thread = 0;
    if (ahead.empty != 0 && ahead.filled != 0) {
        ahead.thread = thread_start(read_pieces, nullptr);
    }
    if (ahead.thread == 0) {
        if (ahead.empty != 0) {
            semaphore_destroy(ahead.empty);
        }
        if (ahead.filled != 0) {
            semaphore_destroy(ahead.filled);
        }
        return false;
    }
    ahead.running = true;
    return true;
}

ReadAheadPiece read_ahead_next() {
    semaphore_wait(ahead.filled);
    ReadAheadPiece piece = ahead.pieces[ahead.next_taken];
    ahead.next_taken = (ahead.next_taken + 1) % read_ahead_buffers;
    return piece;
}

void read_ahead_release() {
    semaphore_post(ahead.empty);
}

void read_ahead_stop() {
    if (!ahead.running) {
        return;
    }
    // The reader waits for an empty buffer, or reads, or has ended: it sees
    // stopping at its next wait.
    ahead.stopping.store(true, std::memory_order_relaxed);
    semaphore_post(ahead.empty);
    thread_join(ahead.thread);
    semaphore_destroy(ahead.empty);
    semaphore_destroy(ahead.filled);
    ahead.running = false;
}
