// Many reads of one length at once, several in flight, for the probe's
// drive on Linux: the kernel's own asynchronous I/O on a descriptor opened
// with O_DIRECT, so that a drive that queues requests (and the loop device
// over a file) works on the next while it answers one. Where the system
// has no asynchronous I/O, the pieces are read one after another.
#pragma once

#include <cstddef>
#include <cstdint>

struct ManyReads {
    unsigned long context; // the kernel's; 0: none, read one by one
    unsigned char* buffer; // aligned, room for the pieces in flight
};

// Sets reads up; without the kernel's asynchronous I/O, reads are made
// one by one. False only when there is no memory.
bool start_many_reads(ManyReads* reads);
void end_many_reads(ManyReads* reads);

// Reads count pieces of length bytes (a multiple of the sector, at most
// 1 MiB) at offsets[k] into out + k * length; ok[k] tells whether piece k
// was read whole.
void read_many(ManyReads* reads, int fd, const uint64_t* offsets, size_t count, size_t length,
               unsigned char* out, bool* ok);
