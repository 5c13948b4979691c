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

// ---- interim engine API, replaced by the engine rewrite ----

// The whole report of a finished check, its result line included.
void print_report(std::FILE* out, const StreamCheck* check);

// "intact", or what the damage is ("DAMAGED: 1.00 GiB misplaced, ...").
void describe_damage(const DamageTotals* totals, char* text, size_t capacity);
