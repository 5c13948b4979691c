// Reads around the cache that keep the drive busy: threads of their own
// read the next pieces of a file into a small ring of buffers while the
// caller works on the piece before, so that a request is always waiting at
// the drive. Through the cache, the single read-then-check loop is the
// faster one (check_input.cpp says why); this is for the reads that go to
// the drive.
#pragma once

#include "check_input.h"

#include <cstddef>
#include <cstdint>

// The size of each request, the pieces in the ring and the threads that
// read into it. Measured on ext4 in an image on tmpfs through a loop
// device (bench/drive-speed, AMD EPYC, a machine shared with other work,
// twelve alternating rounds): a check of a fill's 1.95 GiB took a median
// 0.72 s this way, 0.99 s with 4 MiB requests (two readers, or none), and
// 1.21 s reading 256 KiB at a time in one thread.
constexpr size_t ahead_piece_bytes = size_t{1} << 20;
constexpr unsigned ahead_pieces = 4;
constexpr unsigned ahead_readers = 2;

// The ring's buffers: ahead_pieces of ahead_piece_bytes, aligned for reads
// around the cache; nullptr where there is no memory.
unsigned char* ahead_buffers();

// What takes the pieces read, in the order of the file: false when it
// takes no more (a stop request, a limit reached).
typedef bool (*TakePiece)(void* context, const unsigned char* data, size_t size);

// Reads input (seekable) from offset from (a whole 4 KiB page) up to limit
// with read, in pieces of ahead_piece_bytes (the last in whole pages), and
// hands each to take in order, as far as limit. Stops at the first read
// that does not give its whole piece (an error, the end of the file, a
// short read): what that read gave is handed on, and the offset returned
// is the first byte not handed on, where the caller reads on, one read at
// a time, to meet the error itself. Also stops where take takes no more.
// Nothing is handed on twice, and nothing after a gap. buffers: of
// ahead_buffers.
uint64_t read_ahead(const OpenInput* input, ReadFunction read, uint64_t from, uint64_t limit,
                    unsigned char* buffers, TakePiece take, void* context);
