#include "read_ahead.h"

#include "system.h"

#include <condition_variable>
#include <mutex>

namespace {

// The bytes to ask for where left bytes are left before the limit, in
// pieces of piece_bytes: whole pages, as a read around the cache takes them.
size_t asked_bytes(uint64_t left, size_t piece_bytes) {
    return left < piece_bytes ? static_cast<size_t>((left + 4095) / 4096 * 4096) : piece_bytes;
}

// The bytes of a piece read that are handed on: what the read gave, up to
// the limit.
size_t bytes_to_hand_on(uint64_t offset, int64_t got, uint64_t limit) {
    uint64_t bytes = got > 0 ? static_cast<uint64_t>(got) : 0;
    return static_cast<size_t>(bytes < limit - offset ? bytes : limit - offset);
}

enum PieceState { piece_free, piece_reading, piece_read };

// One piece of the ring: where it is read from, and what the read gave.
struct AheadPiece {
    PieceState state;
    uint64_t offset;
    size_t asked;
    int64_t got; // the read's result: bytes, 0 at the end, -1 with error
    int error;
};

// A run of reading ahead, as read_ahead is given it, the same for the ring
// and the queue.
struct AheadRun {
    const OpenInput* input;
    uint64_t from;
    uint64_t limit;
    unsigned char* buffers;
    TakePiece take;
    void* context;
    uint64_t end; // the first byte not handed on (in the ring: once taken_all)
};

// The ring that the readers and the taker share, under lock. Piece number
// n of the run (from 0) lies at from + n * ahead_piece_bytes and is read
// into slot n % ahead_pieces; the readers claim numbers in turn, the taker
// hands them on in turn.
struct AheadRing {
    AheadRun ahead;
    ReadFunction read;
    AheadPiece pieces[ahead_pieces];
    uint64_t next_claimed; // the number of the next piece to read
    uint64_t next_taken;   // of the next piece to hand on
    bool taken_all;        // the taker stopped: read nothing more
    std::mutex lock;
    std::condition_variable piece_read; // a piece was read: the taker waits for it
    std::condition_variable freed;      // a slot is free, or the run is over: the readers wait
};

unsigned char* slot_buffer(const AheadRing* ring, uint64_t number) {
    return ring->ahead.buffers + number % ahead_pieces * ahead_piece_bytes;
}

// Claims the next piece to read, where there is one and room for it in the
// ring: its number in *number. The lock is held.
bool claim_piece(AheadRing* ring, uint64_t* number) {
    uint64_t offset = ring->ahead.from + ring->next_claimed * ahead_piece_bytes;
    if (ring->taken_all || offset >= ring->ahead.limit ||
        ring->next_claimed - ring->next_taken >= ahead_pieces) {
        return false;
    }
    *number = ring->next_claimed++;
    AheadPiece* piece = &ring->pieces[*number % ahead_pieces];
    uint64_t left = ring->ahead.limit - offset;
    piece->state = piece_reading;
    piece->offset = offset;
    piece->asked = asked_bytes(left, ahead_piece_bytes);
    return true;
}

// Reads piece number, claimed, with the lock let go meanwhile.
void read_piece(AheadRing* ring, uint64_t number, std::unique_lock<std::mutex>* held) {
    AheadPiece* piece = &ring->pieces[number % ahead_pieces];
    uint64_t offset = piece->offset;
    size_t asked = piece->asked;
    held->unlock();
    int error = 0;
    int64_t got = ring->read(ring->ahead.input, slot_buffer(ring, number), asked, offset, &error);
    held->lock();
    piece->got = got;
    piece->error = error;
    piece->state = piece_read;
    ring->piece_read.notify_one();
}

// A reader: reads the pieces it claims until there are no more.
void read_pieces(AheadRing* ring) {
    std::unique_lock<std::mutex> held(ring->lock);
    while (!ring->taken_all &&
           ring->ahead.from + ring->next_claimed * ahead_piece_bytes < ring->ahead.limit) {
        uint64_t number;
        if (claim_piece(ring, &number)) {
            read_piece(ring, number, &held);
        } else {
            ring->freed.wait(held);
        }
    }
}

// Hands the next piece on, read; false where the run ends with it.
bool hand_on(AheadRing* ring, AheadPiece* piece, std::unique_lock<std::mutex>* held) {
    uint64_t offset = piece->offset;
    bool whole = piece->got == static_cast<int64_t>(piece->asked);
    size_t got = bytes_to_hand_on(offset, piece->got, ring->ahead.limit);
    const unsigned char* data = slot_buffer(ring, ring->next_taken);
    held->unlock();
    bool more = got == 0 || ring->ahead.take(ring->ahead.context, data, got);
    held->lock();
    ring->ahead.end = offset + got;
    piece->state = piece_free;
    ++ring->next_taken;
    ring->freed.notify_one();
    return whole && more;
}

// The taker: hands the pieces on in turn until one ends the run. Where no
// reader has claimed the next piece (none could be started), it reads it
// itself.
void take_pieces(AheadRing* ring) {
    std::unique_lock<std::mutex> held(ring->lock);
    ring->ahead.end = ring->ahead.from;
    for (;;) {
        AheadPiece* piece = &ring->pieces[ring->next_taken % ahead_pieces];
        uint64_t number;
        if (ring->next_claimed == ring->next_taken) {
            if (!claim_piece(ring, &number)) {
                break; // the limit is reached
            }
            read_piece(ring, number, &held);
        } else if (piece->state != piece_read) {
            ring->piece_read.wait(held);
        } else if (!hand_on(ring, piece, &held)) {
            break;
        }
    }
    ring->taken_all = true;
    ring->freed.notify_all();
}

// Thread index 0 takes, the others read.
void run_ring(void* context, unsigned index) {
    AheadRing* ring = static_cast<AheadRing*>(context);
    if (index == 0) {
        take_pieces(ring);
    } else {
        read_pieces(ring);
    }
}

// ---- Reads kept in flight by the system's queue, in this thread ----

// A run of reads kept in flight: piece number n of the run (from 0) lies at
// from + n * queued_piece_bytes and is read into slot n % queued_pieces.
struct QueuedRun {
    AheadRun ahead;
    const ReadQueue* queue;
    AheadPiece pieces[queued_pieces];
    uint64_t next_asked; // the number of the next piece to ask for
    uint64_t next_taken; // of the next piece to hand on
    unsigned in_flight;
    bool stopped; // ask for nothing more: the run ends, or the queue refused
};

unsigned char* queued_buffer(const QueuedRun* run, uint64_t number) {
    return run->ahead.buffers + number % queued_pieces * queued_piece_bytes;
}

// Asks for the next piece, where there is one and a slot free for it;
// false where nothing was asked for.
bool ask_next(QueuedRun* run) {
    uint64_t offset = run->ahead.from + run->next_asked * queued_piece_bytes;
    if (run->stopped || offset >= run->ahead.limit ||
        run->next_asked - run->next_taken >= queued_pieces) {
        return false;
    }
    unsigned slot = static_cast<unsigned>(run->next_asked % queued_pieces);
    AheadPiece* piece = &run->pieces[slot];
    piece->state = piece_reading;
    piece->offset = offset;
    piece->asked = asked_bytes(run->ahead.limit - offset, queued_piece_bytes);
    if (!run->queue->submit(run->queue->context, run->ahead.input,
                            queued_buffer(run, run->next_asked), piece->asked, offset, slot)) {
        piece->state = piece_free;
        run->stopped = true; // what is in flight is handed on; the caller reads on
        return false;
    }
    ++run->next_asked;
    ++run->in_flight;
    return true;
}

// Waits for one read in flight to end, and notes what it gave.
void note_next_done(QueuedRun* run) {
    unsigned slot = 0;
    int64_t got = -1;
    int error = 0;
    run->queue->wait(run->queue->context, &slot, &got, &error);
    AheadPiece* piece = &run->pieces[slot % queued_pieces];
    piece->got = got;
    piece->error = error;
    piece->state = piece_read;
    --run->in_flight;
}

// Hands the next piece on once it is read; false where the run ends with it.
bool hand_on_queued(QueuedRun* run) {
    AheadPiece* piece = &run->pieces[run->next_taken % queued_pieces];
    while (piece->state != piece_read) {
        note_next_done(run);
    }
    bool whole = piece->got == static_cast<int64_t>(piece->asked);
    size_t got = bytes_to_hand_on(piece->offset, piece->got, run->ahead.limit);
    bool more =
        got == 0 || run->ahead.take(run->ahead.context, queued_buffer(run, run->next_taken), got);
    run->ahead.end = piece->offset + got;
    piece->state = piece_free;
    ++run->next_taken;
    return whole && more;
}

// Keeps the queue full and hands the pieces on in turn until one ends the
// run; then waits for those still in flight, whose buffers are the
// caller's again. False where the queue took not even the first request.
bool take_queued(QueuedRun* run) {
    while (ask_next(run)) {
    }
    if (run->next_asked == 0) {
        return false;
    }
    while (run->next_taken < run->next_asked) {
        if (!hand_on_queued(run)) {
            run->stopped = true;
            break;
        }
        while (ask_next(run)) {
        }
    }
    while (run->in_flight > 0) {
        note_next_done(run);
    }
    return true;
}

// Reads ahead in the ring of threads; as read_ahead.
uint64_t read_in_ring(const AheadRun* ahead, ReadFunction read) {
    AheadRing ring;
    ring.ahead = *ahead;
    ring.read = read;
    ring.next_claimed = 0;
    ring.next_taken = 0;
    ring.taken_all = false;
    if (run_side_by_side(1 + ahead_readers, run_ring, &ring) == 0) {
        take_pieces(&ring); // no thread could be made: one read at a time, here
    }
    return ring.ahead.end;
}

} // namespace

unsigned char* ahead_buffers() {
    size_t ring_bytes = ahead_pieces * ahead_piece_bytes;
    size_t queued_bytes = queued_pieces * queued_piece_bytes;
    return aligned_buffer(ring_bytes > queued_bytes ? ring_bytes : queued_bytes);
}

uint64_t read_ahead(const OpenInput* input, ReadFunction read, const ReadQueue* queue,
                    uint64_t from, uint64_t limit, unsigned char* buffers, TakePiece take,
                    void* context) {
    AheadRun ahead = {input, from, limit, buffers, take, context, from};
    if (queue != nullptr && queue->submit != nullptr) {
        QueuedRun run = {};
        run.ahead = ahead;
        run.queue = queue;
        if (take_queued(&run)) {
            return run.ahead.end;
        }
    }
    return read_in_ring(&ahead, read);
}
