// Reading back while filling: after each fill file, a few pieces of it and
// of the files before it are read from the drive and checked against the
// run, so that a drive that does not keep what it is given is found while
// the fill is still near the drive's real capacity.
#pragma once

#include "check_input.h"
#include "check_result.h"
#include "generator.h"
#include "text_sizes.h"
#include "stream_check.h"

#include <cstddef>
#include <cstdint>

// The bytes of one piece read back.
constexpr uint32_t sample_piece_bytes = 64 * 1024;

// Pieces read back from the file just written (its last one, and one at
// random), and from the files before it: one in each of as many equal parts
// of them, so that the earliest part, which a drive that wraps around
// overwrites first, is always among them.
constexpr uint32_t pieces_in_new_file = 2;
constexpr uint32_t pieces_in_earlier_files = 8;

// A piece counts as not kept where at least this share of it (a quarter)
// is damaged: fill data that a drive lost or wrapped around fills whole
// pieces, while a block of the file system's own that it wrapped onto the
// fill is small, and shows nothing yet about where the fill's data goes.
// The full check afterwards finds every damaged byte either way.
constexpr uint32_t sample_damaged_share = 4;

// What a piece read back showed first, where it was not what was written.
struct SampleFinding {
    bool found;
    DamageKind kind;
    uint32_t file;        // the fill file's number
    uint64_t file_offset; // where in that file the damage begins
    uint64_t stream_offset;
    uint64_t source; // as a Stretch's: misplaced, the stream offset the data belongs at
};

struct ReadBack {
    const OpenDirectory* directory;
    GeneratorState seed;
    uint64_t random;       // where the pseudo-random places come from
    unsigned char* buffer; // had once, however many fills the run starts
    StreamCheck check;     // of one piece
    uint64_t pieces_read;
    SampleFinding finding;
    int error;                       // piece_not_read: why its file could not be opened
    char failed_path[path_capacity]; // and which file it was
};

// Makes read_back ready for a fill of directory with the run from seed,
// keeping its buffer where it has one. False when no buffer can be had.
bool read_back_start(ReadBack* read_back, const OpenDirectory* directory,
                     const GeneratorState* seed);

enum ReadBackResult {
    pieces_kept,    // every piece was what was written there
    piece_not_kept, // one was not: read_back->finding says what, and where
    piece_not_read, // a file could not be opened: that says nothing of the drive's data
};

// Reads back pieces of fill file files (the last written) and of the files
// before it, which begin in the stream at starts[0..files) and end at
// starts[files]; a piece counts as not kept where enough of it is damaged
// (sample_damaged_share).
ReadBackResult read_back_files(ReadBack* read_back, const uint64_t* starts, uint32_t files);

// The piece at the stream offsets [start, end) (within one file) that the
// stretch number `part` of `parts` equal stretches gives for the number
// `choice`: aligned to 4 KiB in its file, at most sample_piece_bytes long.
// Exposed for the tests.
struct SamplePlace {
    uint32_t file; // index into starts
    uint64_t stream_offset;
    uint32_t size;
};
SamplePlace sample_place(const uint64_t* starts, uint32_t files, uint64_t from, uint64_t to,
                         uint64_t choice);
