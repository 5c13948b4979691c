// --fill: fills a file system with files that hold one run's stream,
// reading back samples as it goes.
#pragma once

#include "drive_verdict.h"
#include "fill_record.h"
#include "generator.h"
#include "progress.h"
#include "read_back.h"
#include "system.h"
#include "text_sizes.h"

#include <cstddef>
#include <cstdint>

// The stream is made this many bytes at a time, in whole blocks.
constexpr size_t fill_stream_bytes = 64 * block_bytes;

// What a fill works with, too large for the stack: the stream as it is
// made, where each fill file begins in it, and the reading back. Had once
// for the run, however many fills it starts.
struct FillWork {
    alignas(4096) unsigned char stream[fill_stream_bytes]; // aligned for writes around the cache
    uint64_t starts[max_inputs + 1]; // of each fill file, and where the last one ends
    ReadBack read_back;
};

struct FillPlan {
    uint64_t file_size;           // the largest fill file
    bool keep_going;              // write on to the end after a sample found damage
    uint32_t files_there;         // fill files there already, to go on after (--resume)
    uint64_t bytes_there;         // the stream bytes that they hold
    const uint64_t* starts_there; // where each of them begins in the stream
};

// Why a fill stopped writing.
enum FillStop {
    stop_none,          // it goes on
    stop_full,          // a write found the file system full, or a file at its largest
    stop_no_more_files, // the file system made no more files
    stop_file_limit,    // the fill wrote the most files it writes (max_inputs)
    stop_flush_failed,  // a file's flush failed: what the drive lost shows in the check
    stop_sample,        // a piece read back was not what was written (not --keep-going)
    stop_interrupted,   // a stop request
    stop_drive_event,   // at a write, the drive turned read-only or stopped answering
    stop_failed,        // an error that leaves nothing to check there (message says which)
};

struct FillOutcome {
    uint32_t files;          // fill files there in all, the last possibly short
    uint64_t bytes;          // of the stream in all of them
    uint64_t bytes_this_run; // written by this run
    double seconds;          // writing, flushing and reading back
    double read_back_seconds;
    double generating_seconds; // of seconds, making the stream rather than writing it
    uint64_t pieces_read;      // pieces read back
    bool interrupted;          // stopped by a stop request
    bool stopped_early;        // a piece read back was not what was written
    SampleFinding finding;     // the first piece that was not
    FillStop stop;
    PastCapacity event;    // stop_drive_event: past_gone, or past_read_only where the check
                           // of what the drive took finds it kept it; else past_nothing
    uint64_t bytes_before; // stop_drive_event: the bytes of the files written, flushed and
                           // sampled before the write that failed
    char why[512];         // why it stopped, in a few words ("the file system is full")
    char record_error[message_capacity]; // why the record could not be written, "" where it was
};

// The largest size of fill file number (from 1): the first files are
// smaller, doubling up to file_size, so that a drive that holds far less
// than it claims is found after little was written.
uint64_t fill_file_limit(uint64_t file_size, uint32_t number);

// Whether directory may be filled: not on the file system of the running
// system, whose disk a fill would fill to the last byte. False with message
// when not.
bool fill_allowed(const char* directory, char* message, size_t capacity);

// Writes fill files after plan->files_there into directory, each of at
// most its fill_file_limit, created there only where no file has its name,
// flushed to the device and sampled before the next begins, until the file
// system takes no more (or, unless keep_going, a sample shows that the
// drive lost what it was given). The bytes of all files together are the
// stream of one run from seed (counter 0 at the first byte of file 1).
// record, which lists the files there already, is written at the start,
// after each file and at the end, with how the fill ended. Returns false
// with message on an error other than a full file system; where the
// directory is no longer in place (removed, unmounted, its file system
// gone), message says what became of it, and nothing is blamed on the
// drive. A write that failed because the drive under the directory
// turned read-only or stopped answering ends the fill with
// stop_drive_event: that is the drive's doing, and message says so. work
// is the fill's room to work in.
bool fill_directory(FillWork* work, const OpenDirectory* directory, const FillPlan* plan,
                    const GeneratorState* seed, FillRecord* record, Progress* progress,
                    FillOutcome* outcome, char* message, size_t capacity);
