// The files that reports are written to (--json FILE, --plot FILE), or
// standard output for "-". Nothing of the user's is written over: before
// the run, each path is held against what the run reads and against what
// is there; a document is written to a new file beside its path and
// renamed onto it once it is whole.
#pragma once

#include "text_sizes.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// A document that the run writes beside its text report.
struct OutputTarget {
    const char* option; // "--json", as the messages name it
    const char* what;   // "JSON report"
    const char* path;   // nullptr: not asked for; "-": standard output
    // Whether a file's first bytes are those of a document of this kind
    // that sprayl-check wrote: only such a file (or an empty one) is
    // replaced.
    bool (*is_own)(const char* start, size_t length);
};

// Whether every target may be written, asked before the run reads or
// writes a byte. reads are the paths the run reads or fills ("-": standard
// input; a directory: everything in it). A target may not be one of them,
// nor lie in such a directory, nor be a directory or a drive, nor an
// existing file that is not an earlier document of its kind; nor may two
// targets be the same file. False with a one-line message when one may not.
bool outputs_allowed(const OutputTarget* targets, size_t count, const char* const* reads,
                     size_t read_count, char* message, size_t capacity);

struct OutputFile {
    const OutputTarget* target;
    intptr_t file; // the system's handle, or 0 for standard output
    int error;     // the first error, 0 while there is none
    size_t used;
    char temporary[path_capacity + 64]; // the new file beside the path; "" when written in place
    char buffer[1 << 16];
};

// Starts the document of target: a new file beside its path (or the path
// itself where that is a stream, such as /dev/null; standard output for
// "-"). False with message when it cannot be made.
bool output_open(OutputFile* output, const OutputTarget* target, char* message, size_t capacity);

// Adds text to the output (a TextWriter, with the OutputFile as context).
void output_text(void* output, const char* text);

// Writes what is left, flushes it to its device and puts it in place of
// the path, where it is still free to be replaced. False with message
// when that fails: no part of the document is left then.
bool output_close(OutputFile* output, char* message, size_t capacity);
