#include "read_ahead.h"

#include "system.h"

#include <condition_variable>
#include <mutex>

namespace {

enum PieceState { piece_free, piece_reading, piece_read };

// One piece of the ring: where it is read from, and what the read gave.
struct AheadPiece {
    PieceState state;
    uint64_t offset;
    size_t asked;
    int64_t got; // the read's result: bytes, 0 at the end, -1 with error
    int error;
};

// The ring that the readers and the taker share, under lock. Piece number
// n of the run (from 0) lies at from + n * ahead_piece_bytes and is read
// into slot n % ahead_pieces; the readers claim numbers in turn, the taker
// hands them on in turn.
struct AheadRing {
    const OpenInput* input;
    ReadFunction read;
    uint64_t from;
    uint64_t limit;
    unsigned char* buffers;
    TakePiece take;
    void* context;
    AheadPiece pieces[ahead_pieces];
    uint64_t next_claimed; // the number of the next piece to read
    uint64_t next_taken;   // of the next piece to hand on
    bool taken_all;        // the taker stopped: read nothing more
    uint64_t end;          // the first byte not handed on, once taken_all
    std::mutex lock;
    std::condition_variable piece_read; // a piece was read: the taker waits for it
    std::condition_variable freed;      // a slot is free, or the run is over: the readers wait
};

unsigned char* slot_buffer(const AheadRing* ring, uint64_t number) {
    return ring->buffers + number % ahead_pieces * ahead_piece_bytes;
}

// Claims the next piece to read, where there is one and room for it in the
// ring: its number in *number. The lock is held.
bool claim_piece(AheadRing* ring, uint64_t* number) {
    uint64_t offset = ring->from + ring->next_claimed * ahead_piece_bytes;
    if (ring->taken_all || offset >= ring->limit ||
        ring->next_claimed - ring->next_taken >= ahead_pieces) {
        return false;
    }
    *number = ring->next_claimed++;
    AheadPiece* piece = &ring->pieces[*number % ahead_pieces];
    uint64_t left = ring->limit - offset;
    piece->state = piece_reading;
    piece->offset = offset;
    // Whole pages, as a read around the cache takes them.
    piece->asked = left < ahead_piece_bytes ? static_cast<size_t>((left + 4095) / 4096 * 4096)
                                            : ahead_piece_bytes;
    return true;
}

// Reads piece number, claimed, with the lock let go meanwhile.
void read_piece(AheadRing* ring, uint64_t number, std::unique_lock<std::mutex>* held) {
    AheadPiece* piece = &ring->pieces[number % ahead_pieces];
    uint64_t offset = piece->offset;
    size_t asked = piece->asked;
    held->unlock();
    int error = 0;
    int64_t got = ring->read(ring->input, slot_buffer(ring, number), asked, offset, &error);
    held->lock();
    piece->got = got;
    piece->error = error;
    piece->state = piece_read;
    ring->piece_read.notify_one();
}

// A reader: reads the pieces it claims until there are no more.
void read_pieces(AheadRing* ring) {
    std::unique_lock<std::mutex> held(ring->lock);
    while (!ring->taken_all && ring->from + ring->next_claimed * ahead_piece_bytes < ring->limit) {
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
    uint64_t got = piece->got > 0 ? static_cast<uint64_t>(piece->got) : 0;
    bool whole = got == piece->asked;
    if (got > ring->limit - offset) {
        got = ring->limit - offset;
    }
    const unsigned char* data = slot_buffer(ring, ring->next_taken);
    held->unlock();
    bool more = got == 0 || ring->take(ring->context, data, static_cast<size_t>(got));
    held->lock();
    ring->end = offset + got;
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
    ring->end = ring->from;
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

} // namespace

unsigned char* ahead_buffers() {
    return aligned_buffer(ahead_pieces * ahead_piece_bytes);
}

uint64_t read_ahead(const OpenInput* input, ReadFunction read, uint64_t from, uint64_t limit,
                    unsigned char* buffers, TakePiece take, void* context) {
    AheadRing ring;
    ring.input = input;
    ring.read = read;
    ring.from = from;
    ring.limit = limit;
    ring.buffers = buffers;
    ring.take = take;
    ring.context = context;
    ring.next_claimed = 0;
    ring.next_taken = 0;
    ring.taken_all = false;
    ring.end = from;
    if (run_side_by_side(1 + ahead_readers, run_ring, &ring) == 0) {
        take_pieces(&ring); // no thread could be made: one read at a time, here
    }
    return ring.end;
}
