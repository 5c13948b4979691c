// Before a fill writes a byte: what the directory holds already, which of
// it the fill may touch (only what is provably a fill's own), the run it
// goes on with (--resume), and whether its files can cover the file
// system's free room at all.
#pragma once

#include "check_input.h"
#include "check_options.h"
#include "fill.h"
#include "fill_record.h"
#include "generator.h"
#include "stream_check.h"
#include "system.h"

#include <cstddef>
#include <cstdint>

// What a file's first bytes are.
enum FileStart {
    start_unreadable, // it cannot be read, or is too short to tell
    start_foreign,    // not sprayl data
    start_of_run,     // a run's first 16 bytes, and that run's data after them
    start_in_run,     // sprayl data from its first byte, not at a run's start
};

// What bytes[0..size) are, by their data alone; a run's start gives its
// first 16 bytes in run.
FileStart file_start_of(const unsigned char* bytes, size_t size, unsigned char* run);

// The same for fill file number in directory, read from its drive.
FileStart read_file_start(const OpenDirectory* directory, uint32_t number, unsigned char* run);

// The first 16 bytes of the run from seed: they define it.
void run_header(const GeneratorState* seed, unsigned char* run);

// The run whose first 16 bytes are run.
GeneratorState seed_of_header(const unsigned char* run);

// What a new fill removes before it writes: the fill files of an earlier
// fill and its record.
struct Removal {
    uint32_t last_fill_file;
    uint64_t files; // fill files and records there
    uint64_t bytes; // in them
};

// Whether directory may take a new fill. Where it holds fill files or a
// fill record already, refuses unless replace; with replace, they may go
// only where every one of them is provably a fill's (sprayl data from its
// first byte, or listed in a sound record; a record that reads as one),
// and otherwise refuses with the name of the one that is not. False with
// message when refused.
bool plan_removal(const OpenDirectory* directory, bool replace, Removal* removal, char* message,
                  size_t capacity);

// Removes what plan_removal found. False with message when one cannot be
// removed.
bool remove_earlier_fill(const OpenDirectory* directory, const Removal* removal, char* message,
                         size_t capacity);

// --resume: checks the fill there (against its record, where it has one)
// as one stream with inputs and check, cuts the last file back to its last
// intact sector where it is the fill's unfinished one, and fills in what
// the fill goes on with: the seed, the plan and the record. Refuses with
// message where the directory does not hold one intact run of one fill
// from its start, or a file there is not provably that fill's.
bool prepare_resume(const OpenDirectory* directory, const FillPlan* wanted, InputList* inputs,
                    StreamCheck* check, GeneratorState* seed, FillPlan* plan, FillRecord* record,
                    char* message, size_t capacity);

// The fill files, of at most file_size bytes each and numbered from
// files_there + 1, that free_bytes take; more than max_inputs where they
// are more than that.
uint64_t files_to_cover(uint64_t file_size, uint32_t files_there, uint64_t free_bytes);

// Whether fill files of at most file_size bytes after files_there can
// cover the free_bytes of directory within the most files a fill writes
// and the free_files the file system can still make. False with one line
// saying why and what --file-size would do.
bool fill_can_cover(const char* directory, uint64_t file_size, uint32_t files_there,
                    uint64_t free_bytes, uint64_t free_files, char* message, size_t capacity);

// What a fill starts from.
struct FillStart {
    GeneratorState seed;
    FillPlan plan;
    FillRecord record;
};

// Readies the fill that options ask for in directory: a new one, with the
// run from new_seed, where the earlier fill there may go (plan_removal),
// its files removed only once the fill's files can cover the free room;
// or one that goes on (--resume, with inputs and check). Its record
// started with the drive's size and room. False with message where
// refused.
bool prepare_fill(const OpenDirectory* directory, const CheckOptions* options,
                  const GeneratorState* new_seed, InputList* inputs, StreamCheck* check,
                  FillStart* start, char* message, size_t capacity);
