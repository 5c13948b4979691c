// --speed: a drive's speed, measured in a scratch file of its own in a
// directory on it, unbuffered: a sequential write over enough data to pass
// the drive's write cache, a sequential read of it, and random 4 KiB reads
// and writes over all of it, at queue depth 1 and at a deeper queue of
// threads side by side. The data written is sprayl's stream, which no
// drive can compress. doc/speed.md says what each figure means.
#pragma once

#include "generator.h"
#include "speed_class.h"
#include "speed_cliff.h"
#include "speed_profile.h"
#include "system.h"

#include <cstddef>
#include <cstdint>

// The sequential writes and reads go a MiB at a time.
constexpr size_t speed_piece_bytes = size_t{1} << 20;
// The random accesses: 4 KiB each.
constexpr size_t random_access_bytes = 4096;
// How long each run of random accesses goes on.
constexpr double random_phase_seconds = 2.0;
// The threads of the deeper queue, each with one access at a time.
constexpr unsigned deep_queue_threads = 4;
// The most a speed test writes unless told otherwise, and the least it
// can tell a cliff from.
constexpr uint64_t most_speed_bytes = uint64_t{4} << 30;
constexpr uint64_t least_speed_bytes = uint64_t{16} << 20;

// The bytes to write: asked (0: most_speed_bytes), or less where the file
// system has less room, leaving it a sixteenth of its free room and at
// least 8 MiB; in whole pieces. 0 where that is less than
// least_speed_bytes.
uint64_t plan_speed_bytes(uint64_t free_bytes, uint64_t asked);

// The stretch of the write's rate profile for a test of size bytes: a
// 128th of it, in whole MiB, at least one.
uint64_t speed_stretch_bytes(uint64_t size);

// How a phase of the measuring ended.
enum SpeedEnd { speed_done, speed_interrupted, speed_failed };

// What the measuring works with and what it found. Too large for the
// stack.
struct SpeedWork {
    intptr_t file;         // the scratch file, open
    uint64_t size;         // the bytes to write; after the write, those written
    GeneratorState stream; // the data written, from a seed
    unsigned char* piece;  // aligned, speed_piece_bytes; the threads' own 4 KiB after it
    RateTable write_rates;
    RateTable read_rates;
    SpeedCliff cliff;
    SpeedFigures figures;
    unsigned deep_queue; // threads that ran side by side; 0: no deeper queue
    int error;           // the system's, where a phase failed
    const char* failed;  // what failed ("write", "read"), where one did
};

// The bytes that work->piece must hold.
constexpr size_t speed_buffer_bytes = speed_piece_bytes + most_side_by_side * random_access_bytes;

// Writes work->size bytes of the stream to work->file a piece at a time,
// then flushes it; a full file system ends the write early (work->size
// says how much it took). Then reads it back a piece at a time.
SpeedEnd measure_sequential(SpeedWork* work);

// The random accesses over what was written: reads, then writes, at queue
// depth 1, then both again with deep_queue_threads threads side by side.
SpeedEnd measure_random(SpeedWork* work);

// The cliff and the figures, from the rates and the accesses counted.
void find_speed_figures(SpeedWork* work);
