// The fill's record: a small text file beside the fill files that says
// which run the fill wrote, into how many files of which sizes, on a drive
// of what size with how much room, and how the fill ended. The fill writes
// it at its start, after each file and at its end; a later check of the
// directory reads it to name a missing, short or extra file, to check the
// files after a missing one at their own places, and to say how much of
// the drive the fill covered. One "key: value" line each, closed by a
// CRC-32 of the lines before it, so that a person can read it and damage
// shows.
#pragma once

#include "check_result.h"
#include "system.h"

#include <cstddef>
#include <cstdint>

// Its name, and that of the new text before it takes the record's place:
// neither is a fill file's.
extern const char* const fill_record_name;
extern const char* const fill_record_new_name;

// A record is padded to a whole number of these bytes (a padding line of
// dots before its checksum), so that writing it over in place on a full
// file system never needs a block more than it holds.
constexpr size_t fill_record_unit = 4096;

// How the fill ended, as far as the record knows.
enum FillEnd {
    fill_running,       // not ended: the fill is at work, or was cut off (a crash, a power cut)
    fill_complete,      // it wrote until the file system took no more
    fill_interrupted,   // stopped by the user
    fill_stopped_early, // a piece read back was not what was written
    fill_failed,        // an error ended it
    fill_end_count
};

// The words the record uses for each ("stopped early").
extern const char* const fill_end_words[fill_end_count];

// Fill files first..last, each of size bytes.
struct FileRun {
    uint32_t first;
    uint32_t last;
    uint64_t size;
};

// File sizes change only while they double up to the largest size, at a
// resume and at the end: a run of sizes for each.
constexpr uint32_t max_file_runs = 1024;

struct FillRecord {
    unsigned char run[header_bytes]; // the stream's first 16 bytes: they define the run
    uint64_t file_size;              // the largest fill file (--file-size)
    uint64_t drive_bytes;            // the drive's size, 0 when not known
    // When this fill (or its last --resume) began: the fill's bytes there
    // already, and the room left.
    uint64_t bytes_there;
    uint64_t free_bytes;
    uint64_t free_files; // no_file_limit where the file system tells of none
    uint32_t run_count;
    FileRun runs[max_file_runs];
    FillEnd end;
    char end_reason[512]; // in the fill's words, "" for none
};

// What was found where the record should be.
enum RecordState {
    record_absent,     // no record: a fill made before fills kept one
    record_read,       // read, whole and sound
    record_damaged,    // there, but its checksum or its lines are wrong
    record_unreadable, // there, but it cannot be read
};

// A record for a new fill of run from run_bytes, with no files yet.
void start_fill_record(FillRecord* record, const unsigned char* run_bytes, uint64_t file_size,
                       uint64_t drive_bytes, uint64_t free_bytes, uint64_t free_files);

// The fill files the record lists, and the size of file number (from 1),
// 0 where it lists none of that number.
uint32_t record_file_count(const FillRecord* record);
uint64_t record_file_size(const FillRecord* record, uint32_t number);

// The bytes of all the files listed.
uint64_t record_bytes(const FillRecord* record);

// Lists file number, the next one, with size bytes. False where the
// record has no room for another size.
bool record_add_file(FillRecord* record, uint32_t number, uint64_t size);

// Keeps the first files listed, the last of them now last_size bytes (a
// resume that cut it back, or that goes on after the file the fill was
// writing, one past those listed).
void record_keep_files(FillRecord* record, uint32_t files, uint64_t last_size);

// The record as text, at most capacity - 1 characters; its length, or 0
// where it does not fit.
size_t format_fill_record(const FillRecord* record, char* text, size_t capacity);

// Reads a record from text. record_read, or record_damaged with why.
RecordState parse_fill_record(const char* text, size_t length, FillRecord* record, char* why,
                              size_t capacity);

// Whether text begins as a record does: a file of this name that the
// program wrote, damaged or not, and not one of the user's.
bool looks_like_fill_record(const char* text, size_t length);

// Reads the record in directory into record; where it is not read, why
// says what is wrong with it.
RecordState read_fill_record(const OpenDirectory* directory, FillRecord* record, char* why,
                             size_t capacity);

// Whether the file name in directory is a record (or a new one not yet in
// its place): the program's own, to be replaced. False with why where
// something else has that name.
bool record_file_is_own(const OpenDirectory* directory, const char* name, char* why,
                        size_t capacity);

// Writes the record to directory, flushed. Where one of the same size is
// there (its padding keeps the size while it grows by a line or two), it
// is written over in place: no block is given up or taken, so that on
// file systems that place a new file where one was freed (exFAT and FAT,
// where a temporary renamed over the record left a hole before each fill
// file, and on a fake drive that wrapped onto the file system's tables
// the fragmented files could no longer be read) the fill files stay in
// one piece, and a full file system still takes it; its checksum shows a
// write cut short by a power cut. A new record, or one that outgrew its
// size, is written under fill_record_new_name, flushed, and renamed over
// the old (in place where the file system is too full for that). 0 or the
// error.
int write_fill_record(const OpenDirectory* directory, const FillRecord* record);
