// A system layer for the tests, in memory, linked in place of the real one:
// files in a table, a file system that takes a set number of bytes, and
// failures and stop requests where a test puts them.
#pragma once

#include "system.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct ScriptedSystem {
    std::map<std::string, std::vector<unsigned char>> files; // by path
    uint64_t free_bytes;      // what the file system takes before it is full
    int create_error;         // the error of every create, 0 for none
    uint64_t write_error_at;  // bytes written in all when writes start to fail
    int write_error;          // with this error (0: never)
    int flush_error;          // the error of every flush, 0 for none
    unsigned stop_at_write;   // the write call that sees a stop request (0: none)
    ReadMethod file_method;   // how every file opens for reading, once past the cache
    unsigned writes;          // write calls so far
    uint64_t written;         // bytes written so far
};

extern ScriptedSystem scripted;

// A file system that takes free_bytes, with no files and nothing scripted.
void reset_scripted_system(uint64_t free_bytes);
