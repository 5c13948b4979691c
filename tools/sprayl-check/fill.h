// --fill: fills a file system with files that hold one run's stream.
#pragma once

#include "generator.h"
#include "progress.h"

#include <cstddef>
#include <cstdint>

struct FillOutcome {
    uint32_t files;   // fill files written, the last possibly short
    uint64_t bytes;   // written in all
    double seconds;   // writing and flushing
    bool interrupted; // stopped by a stop request
};

// Writes fill files 1, 2, ... into directory, each of at most file_size
// bytes, flushed to the device before the next begins, until the file
// system takes no more. The bytes of all files together are the stream of
// one run from seed (counter 0 at the first byte). Returns false with
// message on an error other than a full file system.
bool fill_directory(const char* directory, uint64_t file_size, const GeneratorState* seed,
                    Progress* progress, FillOutcome* outcome, char* message, size_t capacity);

// Removes fill files 1..last from directory. Returns false with message
// when one cannot be removed.
bool remove_fill_files(const char* directory, uint32_t last, char* message, size_t capacity);
