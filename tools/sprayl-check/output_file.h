// A file that a report is written to (--json FILE, --plot FILE), or
// standard output for "-": the text gathered and written in large pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct OutputFile {
    intptr_t file; // the system's handle, or 0 for standard output
    int error;     // the first error, 0 while there is none
    size_t used;
    char buffer[1 << 16];
};

// Creates (or empties) the file at path, or takes standard output for
// "-". Returns 0, or the error.
int output_open(OutputFile* output, const char* path);

// Adds text to the output (a TextWriter, with the OutputFile as context).
void output_text(void* output, const char* text);

// Writes what is left, and closes the file. Returns 0, or the first error.
int output_close(OutputFile* output);
