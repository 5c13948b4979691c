// --fill: fills a file system with files that hold one run's stream,
// reading back samples as it goes.
#pragma once

#include "generator.h"
#include "progress.h"
#include "read_back.h"

#include <cstddef>
#include <cstdint>

struct FillPlan {
    uint64_t file_size;           // the largest fill file
    bool keep_going;              // write on to the end after a sample found damage
    uint32_t files_there;         // fill files there already, to go on after (--resume)
    uint64_t bytes_there;         // the stream bytes that they hold
    const uint64_t* starts_there; // where each of them begins in the stream
};

struct FillOutcome {
    uint32_t files;          // fill files there in all, the last possibly short
    uint64_t bytes;          // of the stream in all of them
    uint64_t bytes_this_run; // written by this run
    double seconds;          // writing, flushing and reading back
    double read_back_seconds;
    uint64_t pieces_read;  // pieces read back
    bool interrupted;      // stopped by a stop request
    bool stopped_early;    // a piece read back was not what was written
    SampleFinding finding; // the first piece that was not
};

// The largest size of fill file number (from 1): the first files are
// smaller, doubling up to file_size, so that a drive that holds far less
// than it claims is found after little was written.
uint64_t fill_file_limit(uint64_t file_size, uint32_t number);

// Whether directory may be filled: not on the file system of the running
// system, whose disk a fill would fill to the last byte. False with message
// when not.
bool fill_allowed(const char* directory, char* message, size_t capacity);

// Writes fill files after plan->files_there, each of at most its
// fill_file_limit, flushed to the device and sampled before the next
// begins, until the file system takes no more (or, unless keep_going, a
// sample shows that the drive lost what it was given). The bytes of all
// files together are the stream of one run from seed (counter 0 at the
// first byte of file 1). Returns false with message on an error other than
// a full file system.
bool fill_directory(const char* directory, const FillPlan* plan, const GeneratorState* seed,
                    Progress* progress, FillOutcome* outcome, char* message, size_t capacity);

// Removes fill files 1..last from directory. Returns false with message
// when one cannot be removed.
bool remove_fill_files(const char* directory, uint32_t last, char* message, size_t capacity);
