// What sprayl-check asks of an operating system: files and devices to read
// around the cache, files to write and flush, where they lie on their drive,
// the terminal and stop requests. One implementation for POSIX systems
// (the *_posix.cpp files, with what only Linux answers in the *_linux.cpp
// ones) and one for Windows (the *_windows.cpp files); what is the same on
// every system in system_common.cpp. The rest of the program calls only
// these names. Error codes are the system's own
// (errno, GetLastError), to be told apart with the error_is_* questions.
#pragma once

#include "drive_identity.h"

#include <csignal>
#include <cstddef>
#include <cstdint>

// ---- Errors ----

bool error_is_interruption(int error); // EINTR: try again
bool error_is_misalignment(int error); // a read around the cache was refused
bool error_is_full(int error);         // no room left: the file system is full
bool error_is_not_found(int error);
bool error_is_existing(int error);        // something has that name already
bool error_is_drive_failure(int error);   // the device failed at a read or write (EIO)
bool error_is_write_protected(int error); // the device or its file system takes no writes
bool error_is_gone(int error); // the file system is no longer there to ask (a FUSE daemon gone)
bool error_is_elsewhere(int error); // a new file landed on another file system

// The system's text for error, without a trailing period.
void error_text(int error, char* text, size_t capacity);

// ---- Paths ----

// The separator that fill file paths are joined with.
extern const char path_separator;

// An argument that asks for help besides -h and --help ("/?" on Windows),
// or nullptr.
extern const char* const system_help_option;

struct PathStatus {
    bool is_directory;
    uint64_t size; // of a file or a block device; 0 for anything else
};

// What is at path; false with the error when nothing is, or it cannot be
// looked at.
bool path_status(const char* path, PathStatus* status, int* error);

// What is at a path, and which file it is: two paths name the same file
// where their volume and index agree (device and inode on POSIX systems,
// volume serial number and file index on Windows).
enum FileKind {
    file_kind_regular,
    file_kind_directory,
    file_kind_device, // a block device: a drive or a partition
    file_kind_stream, // a character device, a pipe, a socket, a console
};

struct FileIdentity {
    FileKind kind;
    bool known; // volume and index tell the file (not for a Windows stream)
    uint64_t volume;
    uint64_t index;
    uint64_t size; // of a regular file
};

// The identity of what is at path ("-": standard input), following links;
// false with the error when nothing is, or it cannot be looked at.
bool file_identity(const char* path, FileIdentity* identity, int* error);

// The directory that holds what path names, as a path ("." for a bare
// name); the path need not exist.
void parent_directory(const char* path, char* parent, size_t capacity);

// Calls each(name, context) for every entry of directory. False with the
// error when it cannot be listed.
bool list_directory(const char* directory, void (*each)(const char* name, void* context),
                    void* context, int* error);

// ---- Reading ----

// How an input was read. Where it may have come from memory rather than
// from the drive that holds it, the check cannot confirm the drive.
enum ReadMethod {
    read_missing,        // a fill file that is not there
    read_around_cache,   // O_DIRECT, FILE_FLAG_NO_BUFFERING
    read_dropped_cache,  // flushed and dropped from the cache first (tmpfs refuses O_DIRECT)
    read_device_flushed, // FUSE on a block device: the device's cache dropped (BLKFLSBUF)
    read_device_advised, // the same with fdatasync and POSIX_FADV_DONTNEED on the device
    read_device_cached,  // FUSE on a block device whose cache could not be dropped
    read_fuse_unbacked,  // FUSE with no block device under it: its daemon may answer from memory
    read_network,        // a network file system: the server may answer from its memory
    read_through_cache,  // neither around the cache nor after dropping it
    read_as_it_comes,    // standard input, a pipe, a terminal
    read_method_count
};

// How reading around the cache is called here ("O_DIRECT").
extern const char* const around_cache_text;

// An input open for reading; handle is the system's (a descriptor plus one,
// a HANDLE), 0 when not open.
struct OpenInput {
    intptr_t handle;
    ReadMethod method;
    bool around_cache; // opened with O_DIRECT or FILE_FLAG_NO_BUFFERING
    bool seekable;     // read at offsets, so a read error can be skipped
    uint64_t size;     // when seekable
    const char* path;  // "-" for standard input
    // On a file system in memory (tmpfs): known after reach_the_drive.
    bool in_memory = false;
};

// Opens path ("-": standard input) for reading, around the cache where the
// file system allows it. Returns 0, or the error code (with input->handle
// set when the open worked but what followed did not).
int open_input(const char* path, OpenInput* input);

// Makes the next reads of input come from its drive where something else
// might answer from memory (the device under a FUSE file system), and sets
// input->method to how it is read, and input->in_memory. Where the drive
// cannot be reached, why says so.
void reach_the_drive(OpenInput* input, char* why, size_t capacity);

// Reads up to size bytes at offset (a seekable input), or the next bytes (a
// stream). Returns the bytes read, 0 at the end, or -1 with the error.
int64_t read_input(const OpenInput* input, unsigned char* buffer, size_t size, uint64_t offset,
                   int* error);

// After a read around the cache was refused: reads the file through the
// cache from now on, dropped from it first where that can be done. Returns
// 0, or the error code.
int reopen_through_cache(OpenInput* input);

void close_input(OpenInput* input);

// size bytes aligned for reads around the cache (to the page), for the
// whole run; nullptr when there is no memory.
unsigned char* aligned_buffer(size_t size);

// Gives back a buffer that aligned_buffer gave (nullptr: none).
void free_aligned_buffer(unsigned char* buffer);

// ---- Writing ----

// Creates (or empties) the file at path for writing; returns its handle,
// or 0 with the error.
intptr_t create_file(const char* path, int* error);

// Creates the file at path for writing where nothing is there yet; returns
// its handle, or 0 with the error (also when something is there).
intptr_t create_new_file(const char* path, int* error);

// Writes up to size bytes; returns how many, or -1 with the error.
int64_t write_file(intptr_t file, const unsigned char* data, size_t size, int* error);

// Writes to file go around the cache from now on (on: O_DIRECT), or
// through it again (off); around it, each write takes whole 4 KiB pages
// from a buffer aligned to one, and is refused otherwise
// (error_is_misalignment). Returns whether the file is written around the
// cache now: false where the system or the file system does not do it.
bool write_around_cache(intptr_t file, bool on);

// Flushes the file to its device and closes it; returns 0 or the error.
int flush_and_close(intptr_t file);

// Closes the file without flushing it: a stream, such as a pipe or
// /dev/null, that has no device to flush to. Returns 0 or the error.
int close_file(intptr_t file);

// Removes the file at path (nothing there is no error); returns 0 or the
// error.
int remove_file(const char* path);

// Renames the file at from to to, in the same directory, in one step: a file
// at to is replaced. Returns 0 or the error.
int rename_file(const char* from, const char* to);

// The bytes that the file system holding directory has free for this
// user, or 0 when it cannot tell.
uint64_t free_space(const char* directory);

// The files that can still be made there (free inodes, statvfs's
// f_favail), or no_file_limit where the file system sets no such limit or
// does not tell of one.
constexpr uint64_t no_file_limit = UINT64_MAX;
uint64_t free_files(const char* directory);

// Whether directory is on the file system of the running system (that of
// "/", or of the Windows directory): filling it would fill the system's
// own disk.
bool holds_running_system(const char* directory);

// The bytes of the drive that holds directory: the size of the device under
// its file system where that can be read, else the file system's own size;
// 0 when neither can be told.
uint64_t drive_size(const char* directory);

// What the drive that holds directory says it is: the disk under its file
// system (the whole disk of a partition). Not known (identity->known
// false) where the system cannot tell: a loop device, a network or memory
// file system. On Linux from sysfs, on Windows from the volume's storage
// descriptor.
void directory_drive_identity(const char* directory, DriveIdentity* identity);

// The shell that the user types commands into on this system: a POSIX
// shell, or cmd.exe on Windows. The commands the program tells the user to
// run are quoted for it.
enum CommandShell { shell_posix, shell_cmd };
CommandShell command_shell();

// ---- A directory held open ----

// A directory held open while the program works in it. Its files are made,
// opened, cut, renamed and removed through the handle, so that they stay
// where the work began even when the path has come to lead elsewhere: the
// directory renamed or removed, or its file system unmounted, when the
// path would reach whatever lies under the mount point (on POSIX systems
// the *at calls; on Windows the handle, held without FILE_SHARE_DELETE,
// keeps the directory from being renamed or removed).
struct OpenDirectory {
    intptr_t handle;  // the system's (a descriptor plus one, a HANDLE); 0 when not open
    uint64_t volume;  // the file system it is on (st_dev, the volume's serial number)
    uint64_t node;    // the directory itself there (st_ino, the file index)
    const char* path; // as given, for messages
};

// Opens the directory at path; 0 or the error.
int open_directory(const char* path, OpenDirectory* directory);
void close_directory(OpenDirectory* directory);

// Calls each(name, context) for every entry of directory. False with the
// error when it cannot be listed.
bool list_open_directory(const OpenDirectory* directory,
                         void (*each)(const char* name, void* context), void* context, int* error);

// What is at name in directory; false with the error when nothing is.
bool status_in(const OpenDirectory* directory, const char* name, PathStatus* status, int* error);

// open_input for the file name in directory; input->path is left as the
// caller set it (the path that messages give).
int open_input_in(const OpenDirectory* directory, const char* name, OpenInput* input);

// Creates the file name in directory for writing, only where nothing has
// that name yet (then the error is one that error_is_existing tells): an
// existing file is never emptied. A file that lands on another file system
// than the directory's is removed again (error_is_elsewhere). Returns its
// handle, or 0 with the error.
intptr_t create_file_in(const OpenDirectory* directory, const char* name, int* error);

// Opens the existing file name in directory for writing over its bytes
// from the start, without emptying it first; its handle, or 0 with the
// error.
intptr_t open_for_writing_in(const OpenDirectory* directory, const char* name, int* error);

// Cuts an open file to size bytes; 0 or the error.
int cut_file(intptr_t file, uint64_t size);

// Removes the file name in directory (nothing there is no error); 0 or the
// error.
int remove_file_in(const OpenDirectory* directory, const char* name);

// Cuts the file name in directory back to size bytes, flushed; 0 or the
// error.
int truncate_file_in(const OpenDirectory* directory, const char* name, uint64_t size);

// Renames from to to in directory, replacing to, and flushes the directory
// so that the change outlives a power cut; 0 or the error.
int replace_file_in(const OpenDirectory* directory, const char* from, const char* to);

// What became of a directory since open_directory, as far as the system
// tells; the first that applies. Where the directory is not in place, the
// files in it cannot be written or read as they were, and nothing said of
// them is the drive's doing. A file system that merely returns errors
// stays in place: a drive that lies breaks its file system too.
enum DirectoryState {
    directory_in_place,
    directory_unreachable, // its file system does not answer (a FUSE daemon gone)
    directory_removed,     // removed, with what was in it
    directory_unmounted,   // its file system is no longer mounted (umount -l)
    directory_moved,       // its path leads elsewhere, or nowhere: renamed
    directory_shut_down,   // its file system was shut down, or went read-only
    directory_drive_gone,  // the device under it does not answer a read of its start
    directory_state_count
};
DirectoryState directory_state(const OpenDirectory* directory, int* error);

// ---- A scratch file, to measure a drive by ----

// Creates the file name in directory for reading and writing, only where
// nothing has that name yet (as create_file_in), around the cache where
// the file system allows it: O_DIRECT; FILE_FLAG_NO_BUFFERING with
// FILE_FLAG_WRITE_THROUGH. *around_cache says whether it is; its reads and
// writes then take buffers of aligned_buffer, and sizes and offsets in
// whole 4 KiB. Returns its handle, or 0 with the error.
intptr_t create_scratch_in(const OpenDirectory* directory, const char* name, bool* around_cache,
                           int* error);

// Writes size bytes of data at offset in file; how many, or -1 with the
// error.
int64_t write_at(intptr_t file, const unsigned char* data, size_t size, uint64_t offset,
                 int* error);

// Reads up to size bytes at offset of file into buffer; how many (0 at the
// end), or -1 with the error.
int64_t read_at(intptr_t file, unsigned char* buffer, size_t size, uint64_t offset, int* error);

// Writes what the system still holds of file to its device and drops it
// from the system's cache, so that the reads that follow come from the
// device; 0 or the error.
int flush_file(intptr_t file);

// Reads kept in flight with no thread of their own (Linux: the kernel's
// asynchronous I/O), for inputs read around the cache: the caller asks for
// several pieces and takes each as it ends, in whatever order the drive
// answers. The tests give their own.
struct ReadQueue {
    uintptr_t context; // the system's; 0 with submit nullptr: none
    // Asks for size bytes at offset of input (both whole pages, buffer
    // aligned_buffer's); slot comes back with its end. False where the
    // request was not taken: nothing of it follows.
    bool (*submit)(uintptr_t context, const OpenInput* input, unsigned char* buffer, size_t size,
                   uint64_t offset, unsigned slot);
    // Waits for a read asked for to end (only while one is in flight):
    // its slot, and what it gave as read_input gives it.
    void (*wait)(uintptr_t context, unsigned* slot, int64_t* got, int* error);
};

// Makes queue ready for up to depth reads in flight at once. False, with
// queue empty, where the system has no such reads or refuses them.
bool start_read_queue(ReadQueue* queue, unsigned depth);

// Ends queue (none in flight); it is empty then.
void end_read_queue(ReadQueue* queue);

// The most threads that run_side_by_side runs.
constexpr unsigned most_side_by_side = 16;

// Runs work(context, i) for each i below count (at most
// most_side_by_side), each in a thread of its own, all at once, and waits
// for them all. Returns how many ran: fewer where the system made no more
// threads.
unsigned run_side_by_side(unsigned count, void (*work)(void* context, unsigned index),
                          void* context);

// ---- Where a file lies on its drive ----

// length bytes of a file from file_offset lie on the drive from
// drive_offset (counted from the start of the device the file system is on).
struct FileExtent {
    uint64_t file_offset;
    uint64_t drive_offset;
    uint64_t length;
};

// Where the bytes of the file at path lie on the drive (FIEMAP,
// FSCTL_GET_RETRIEVAL_POINTERS), in file order, into extents[0..capacity).
// Returns how many, or -1 where the file system cannot say or they do not
// fit.
int64_t file_extents(const char* path, FileExtent* extents, size_t capacity);

// ---- The terminal and stop requests ----

bool stdin_is_terminal();
bool stderr_is_terminal();

// The width of the terminal behind standard error in columns, or 0 when it
// cannot tell.
int terminal_width();

// Set when the user asks the program to stop (Ctrl+C, SIGTERM, SIGHUP,
// console close): the work stops at its next read or write.
extern volatile std::sig_atomic_t stop_requested;

// From now on a stop request sets stop_requested instead of ending the
// process; a read waiting on a pipe then ends at once.
void catch_stop_requests();

// Seconds on a clock that only goes forward, from an arbitrary start: the
// platform's monotonic clock, the one clock of sprayl-check's rates and
// times.
double clock_seconds();
