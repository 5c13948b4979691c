// Reading the next piece of a file while the check looks at this one: a
// second thread does nothing but the reads, into a few buffers in turn, so
// that the check runs at the speed of reading rather than of reading plus
// checking. One read-ahead at a time.
#pragma once

#include "check_input.h"

#include <cstddef>
#include <cstdint>

// Enough buffers that the reader seldom waits for the check, nor the check
// for a reader that has to be woken.
constexpr unsigned read_ahead_buffers = 4;

struct ReadAheadPiece {
    const unsigned char* data;
    int64_t got;     // as the read function returns it: bytes, 0 at the end, -1
    uint64_t offset; // where the piece was read
};

// Starts reading input from offset on, size bytes at a time, into the
// buffers in turn. False when no thread can be had: then read as usual.
bool read_ahead_start(const OpenInput* input, ReadFunction read, uint64_t offset,
                      unsigned char* const buffers[read_ahead_buffers], size_t size);

// Waits for the next piece. After a piece that is not data (the end, or an
// error) the reading thread has ended; the caller goes on by itself from
// that piece's offset.
ReadAheadPiece read_ahead_next();

// The last piece has been checked: its buffer may be read into again.
void read_ahead_release();

// Ends the reading thread (after the read it is in, if any).
void read_ahead_stop();
