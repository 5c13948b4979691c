// A system layer for the tests, in memory, linked in place of the real one:
// files in a table, a file system that takes a set number of bytes and
// files, and failures, stop requests and a directory that goes away where
// a test puts them.
#pragma once

#include "system.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct ScriptedSystem {
    std::map<std::string, std::vector<unsigned char>> files; // by path
    uint64_t free_bytes; // what the file system takes before it is full
    uint64_t free_files; // the files it still makes (no_file_limit: any number)
    int create_error;    // the error of every create, 0 for none
    // Writes to fill files: the bytes written to them in all when they
    // start to fail, with this error (0: never); the error of every fill
    // file's flush, 0 for none; the write call that sees a stop request
    // (0: none).
    uint64_t write_error_at;
    int write_error;
    int flush_error;
    // Whether the first failed write or flush leaves every write after it
    // failing too (with write_error), the record's as well, as on a drive
    // that turned read-only; and whether it has.
    bool read_only_after_error;
    bool turned_read_only;
    unsigned stop_at_write;
    ReadMethod file_method; // how every file opens for reading, once past the cache
    bool lands_elsewhere;   // every new file is on another file system
    // From this write call on (0: never), the directory is gone: every file
    // call fails with gone_error, and directory_state says gone_state.
    unsigned gone_at_write;
    DirectoryState gone_state;
    int gone_error;
    // A file that does not open for reading (its path; empty: none), with
    // this error.
    std::string unopenable;
    int open_error;
    // A file that someone else makes just before the first create (its
    // path; empty: none), with these bytes.
    std::string appears;
    std::vector<unsigned char> appearing_bytes;
    // Whether files take writes around the cache; those are refused where
    // they are not whole aligned 4 KiB pages (EINVAL), or where the room
    // left does not take them whole (ENOSPC), as O_DIRECT's are.
    bool takes_writes_around_cache;
    unsigned writes_around_cache; // write calls taken around the cache so far
    unsigned writes;              // write calls to fill files so far
    uint64_t written;             // bytes written to fill files so far
};

extern ScriptedSystem scripted;

// A file system that takes free_bytes and any number of files, with no
// files and nothing scripted.
void reset_scripted_system(uint64_t free_bytes);
