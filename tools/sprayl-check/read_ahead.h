// Reads around the cache that keep the drive busy: while the caller works
// on one piece of a file, the next ones are being read, so that a request
// is always waiting at the drive. Where the system keeps reads in flight
// itself (ReadQueue: io_uring on Linux), the caller's thread asks for them
// and takes them as they end; elsewhere threads of their own read into a
// small ring of buffers. Through the cache, the single read-then-check loop
// is the faster one (check_input.cpp says why); this is for the reads that
// go to the drive.
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

// Where the system keeps reads in flight itself (ReadQueue), the caller's
// thread keeps queued_pieces requests of queued_piece_bytes asked for,
// hands each on as it ends, in order, and asks for the next in its place.
// Measured on ext4 on a loop device over tmpfs (2-core AMD EPYC, shared,
// alternating rounds against fio's 1 MiB reads; doc/performance.md, "On a
// fast drive"): four of 1 MiB and four of 2 MiB checked a fill at 0.77 to
// 1.06 of fio's rate, the reading threads at 0.78 to 0.89; two of 2 MiB
// fell to 0.58 when the machine was busy, eight of 1 MiB gave 0.70 and
// four of 4 MiB 0.57. 1 MiB is kept: on a file in memory, 2 MiB pieces
// took longer against cat in two runs of three.
constexpr size_t queued_piece_bytes = size_t{1} << 20;
constexpr unsigned queued_pieces = 4;

// The ring's buffers (or the queue's): ahead_pieces of ahead_piece_bytes,
// or queued_pieces of queued_piece_bytes where that is more, aligned for
// reads around the cache; nullptr where there is no memory.
unsigned char* ahead_buffers();

// What takes the pieces read, in the order of the file: false when it
// takes no more (a stop request, a limit reached).
typedef bool (*TakePiece)(void* context, const unsigned char* data, size_t size);

// Reads input (seekable) from offset from (a whole 4 KiB page) up to limit,
// through queue where it is given (submit not nullptr) and takes the first
// request, otherwise with read in the ring of threads, in pieces of
// ahead_piece_bytes or queued_piece_bytes (the last in whole pages), and
// hands each to take in order, as far as limit. Stops at the first read
// that does not give its whole piece (an error, the end of the file, a
// short read): what that read gave is handed on, and the offset returned
// is the first byte not handed on, where the caller reads on, one read at
// a time, to meet the error itself. Also stops where take takes no more,
// and where the queue refuses a request after the first. Nothing is handed
// on twice, and nothing after a gap; no read is in flight on return.
// buffers: of ahead_buffers.
uint64_t read_ahead(const OpenInput* input, ReadFunction read, const ReadQueue* queue,
                    uint64_t from, uint64_t limit, unsigned char* buffers, TakePiece take,
                    void* context);
