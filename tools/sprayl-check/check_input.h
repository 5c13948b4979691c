// The inputs of a check: files read one after another as one stream, past
// the cache where the system allows it, with unreadable ranges skipped.
#pragma once

#include "fill_record.h"
#include "progress.h"
#include "stream_check.h"
#include "system.h"
#include "text_sizes.h"

#include <cstddef>
#include <cstdint>

// The most files one check reads, or one fill writes (64 TiB of 1 GiB files).
constexpr size_t max_inputs = size_t{1} << 16;

// The piece that a read error is narrowed down to: the largest sector size
// in common use, and a multiple of every smaller one.
constexpr size_t error_step_bytes = 4096;

// What became of an input in the check, beside how it was read.
enum FileStanding {
    file_in_stream, // read into the check at its place (or missing: methods say so)
    file_not_read,  // it could not be opened or read on, or the check ended before it
    file_outside,   // not part of the fill: its record lists fewer files; not read
};

struct InputList {
    const char* directory; // fill files in this directory, held open in folder; otherwise...
    char** paths;          // ...these files, or standard input when count is 0
    size_t count;
    OpenDirectory folder;
    uint64_t total_size;             // of all inputs, or 0 when unknown
    uint64_t largest_size;           // of one input, or 0 when unknown
    uint64_t read_limit;             // the most bytes to check (--size); 0: all
    bool went_on;                    // the inputs held more than read_limit bytes
    uint64_t starts[max_inputs + 1]; // where each input begins in the stream, and where it ends
    unsigned char methods[max_inputs];
    unsigned char standings[max_inputs];
    uint64_t sizes[max_inputs]; // each input's size as found, 0 where it is missing
    // The directory's fill record (record_read: it has a sound one), which
    // gives each fill file its size and its place in the stream, also
    // where it is missing or short.
    RecordState record_state;
    FillRecord record;
    // Why the last input that was read possibly from memory could not be
    // read from its drive ("cannot open /dev/sdb: Permission denied"); empty
    // while every input so far reached its drive.
    char unreached_reason[4096 + 128];
    unsigned char* read_buffer;   // every read's, had at the first and kept
    unsigned char* ahead_buffers; // the reads ahead's (read_ahead.h), had and kept likewise
    // The system's reads kept in flight, which read ahead where the caller
    // started them (start_read_queue); empty: the ring of threads does.
    ReadQueue queue;
    double checking_seconds; // spent in the check itself, apart from reading
};

// How an input was read, for the report ("around the cache (O_DIRECT)").
const char* read_method_text(ReadMethod method);

// The same as a word for programs ("around_cache", "as_it_comes").
const char* read_method_name(ReadMethod method);

// Whether what was read this way came from the drive (or from a stream,
// where there is no drive to speak of), not possibly from memory.
bool read_reaches_drive(ReadMethod method);

// The system's read of an input (read_input), or the tests' own.
typedef int64_t (*ReadFunction)(const OpenInput* input, unsigned char* buffer, size_t size,
                                uint64_t offset, int* error);

// Whether name is that of a fill file, "sprayl-NNNNN.bin"; its number.
bool fill_file_number(const char* name, uint32_t* number);

// Whether directory is no longer in place to work in (directory_state):
// then text says what became of it, in a sentence that blames nothing on
// the drive's keeping of data.
bool directory_gone(const OpenDirectory* directory, char* text, size_t capacity);

// The path of the file name in directory.
void file_path_in(const char* directory, const char* name, char* path, size_t capacity);

// The name of fill file number ("sprayl-00001.bin"), and its path in
// directory; fill_name_capacity holds the name.
constexpr size_t fill_name_capacity = 64;
void fill_file_name(uint32_t number, char* name, size_t capacity);
void fill_file_path(const char* directory, uint32_t number, char* path, size_t capacity);

// The path of input i ("-" for standard input).
void input_path(const InputList* list, size_t i, char* path, size_t capacity);

// The input at path as messages name it: the path in quotes, or standard
// input for "-"; quoted_path_capacity holds it.
constexpr size_t quoted_path_capacity = path_capacity + 8;
void quoted_input_name(const char* path, char* name, size_t capacity);

// The highest number of the fill files in directory, 0 when there are none,
// or -1 when the directory cannot be listed (message says why).
int64_t last_fill_file(const OpenDirectory* directory, char* message, size_t capacity);

// Makes list ready for the files given on the command line (a single
// directory: the fill files in it, and its fill record). Returns false
// with message when an input cannot be used, or the directory's record is
// damaged.
bool prepare_inputs(InputList* list, char** paths, size_t count, char* message, size_t capacity);

// The same for the fill files 1..count in directory, and those that
// record (nullptr: none) lists.
void prepare_fill_inputs(InputList* list, const OpenDirectory* directory, size_t count,
                         const FillRecord* record);

// The size the directory's record gives input i, 0 where it gives none.
uint64_t recorded_size(const InputList* list, size_t i);

// Reads every input in turn into check, which is started already, up to
// list->read_limit bytes. Fill files are read through the directory held
// open; where the record gives a file's size, a file missing, or the part
// of it that is, counts as unreadable, and the files after it are checked
// at their own places. Returns how the input ended; message says why when
// reading failed, and the files from there on are not read.
CheckEnd check_inputs(InputList* list, StreamCheck* check, ReadFunction read, Progress* progress,
                      char* message, size_t capacity);
