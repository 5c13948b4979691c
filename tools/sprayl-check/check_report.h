// The report of a check, as readable lines.
#pragma once

#include "stream_check.h"

#include <cstddef>
#include <cstdio>

// Writes a byte count in binary units with two decimals ("1.50 GiB"), or
// in bytes below one KiB. Always zero-terminated.
void format_size(uint64_t bytes, char* text, size_t capacity);

// Writes the report of check to out. read_to_end is false when reading
// failed before the end of the input, so the bytes read are not all of it.
void print_report(std::FILE* out, const StreamCheck* check, bool read_to_end);
