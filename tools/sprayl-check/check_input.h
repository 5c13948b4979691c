// The inputs of a check: files read one after another as one stream, past
// the cache where the system allows it, with unreadable ranges skipped.
#pragma once

#include "progress.h"
#include "stream_check.h"

#include <csignal>
#include <cstddef>
#include <cstdint>

// The most files one check reads, or one fill writes (64 TiB of 1 GiB files).
constexpr size_t max_inputs = size_t{1} << 16;

// The piece that a read error is narrowed down to: the largest sector size
// in common use, and a multiple of every smaller one.
constexpr size_t error_step_bytes = 4096;

// How an input was read. Where it may have come from memory rather than
// from the drive that holds it, the check cannot confirm the drive.
enum ReadMethod {
    read_missing,         // a fill file that is not there
    read_around_cache,    // O_DIRECT, FILE_FLAG_NO_BUFFERING
    read_dropped_cache,   // flushed and dropped from the cache first (tmpfs refuses O_DIRECT)
    read_device_flushed,  // FUSE on a block device: the device's cache dropped (BLKFLSBUF)
    read_device_advised,  // the same with fdatasync and POSIX_FADV_DONTNEED on the device
    read_device_cached,   // FUSE on a block device whose cache could not be dropped
    read_fuse_unbacked,   // FUSE with no block device under it: its daemon may answer from memory
    read_network,         // a network file system: the server may answer from its memory
    read_through_cache,   // neither around the cache nor after dropping it
    read_as_it_comes,     // standard input, a pipe, a terminal
    read_method_count
};

// Whether what was read this way came from the drive (or from a stream,
// where there is no drive to speak of), not possibly from memory.
bool read_reaches_drive(ReadMethod method);

// Why the last input that was read possibly from memory could not be read
// from its drive ("cannot open /dev/sdb: Permission denied"); empty when
// every input so far reached its drive.
const char* unreached_drive_reason();

struct InputList {
    const char* directory; // fill files in this directory; otherwise...
    char** paths;          // ...these files, or standard input when count is 0
    size_t count;
    uint64_t total_size;             // of all inputs, or 0 when unknown
    uint64_t starts[max_inputs + 1]; // where each input begins in the stream, and where it ends
    unsigned char methods[max_inputs];
};

// An input open for reading. handle is a file descriptor, or a HANDLE.
struct OpenInput {
    intptr_t handle;
    ReadMethod method;
    bool around_cache; // opened with O_DIRECT or FILE_FLAG_NO_BUFFERING
    bool seekable;     // read at offsets, so a read error can be skipped
    uint64_t size; // when seekable
    const char* path;
};

// Reads up to size bytes at offset (a seekable input), or the next bytes (a
// stream). Returns the bytes read, 0 at the end, or -1 with the system's
// error code in *error. Tests put a function of their own in its place.
typedef int64_t (*ReadFunction)(const OpenInput* input, unsigned char* buffer, size_t size,
                                uint64_t offset, int* error);

int64_t read_input(const OpenInput* input, unsigned char* buffer, size_t size, uint64_t offset,
                   int* error);

// Set by a signal or console handler: the check stops at its next read.
extern volatile std::sig_atomic_t stop_requested;

// Whether name is that of a fill file, "sprayl-NNNNN.bin"; its number.
bool fill_file_number(const char* name, uint32_t* number);

// The path of fill file number in directory.
void fill_file_path(const char* directory, uint32_t number, char* path, size_t capacity);

// The path of input i ("-" for standard input).
void input_path(const InputList* list, size_t i, char* path, size_t capacity);

// The highest number of the fill files in directory, 0 when there are none,
// or -1 when the directory cannot be listed (message says why).
int64_t last_fill_file(const char* directory, char* message, size_t capacity);

// Makes list ready for the files given on the command line (a single
// directory: the fill files in it). Returns false with message when an
// input cannot be used.
bool prepare_inputs(InputList* list, char** paths, size_t count, char* message, size_t capacity);

// The same for the fill files 1..count in directory.
void prepare_fill_inputs(InputList* list, const char* directory, size_t count);

// Reads every input in turn into check, which is started already. Returns
// how the input ended; message says why when reading failed.
CheckEnd check_inputs(InputList* list, StreamCheck* check, ReadFunction read, Progress* progress,
                      char* message, size_t capacity);

// How an input was read, for the report ("around the cache (O_DIRECT)").
const char* read_method_text(ReadMethod method);

// The system's text for error.
void error_text(int error, char* text, size_t capacity);

// path as the system names it: on Windows, UTF-8 made wide.
#if defined(_WIN32)
const wchar_t* wide_path(const char* path);
#endif
