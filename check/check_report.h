// The report of a check, as readable lines. The text is made here; where it
// goes is the caller's.
#pragma once

#include "check_result.h"

#include <cstddef>
#include <cstdint>

// Takes the report a line at a time (a note: two), each ending in a newline.
using ReportWriter = void (*)(void* context, const char* line);

// Writes a byte count in binary units with two decimals ("1.50 GiB"), or
// in bytes below one KiB. Always zero-terminated.
void format_size(uint64_t bytes, char* text, size_t capacity);

// One line that says what happened to the input, without its "verdict: ".
void format_verdict(const CheckResult* result, char* text, size_t capacity);

// "intact", or "DAMAGED: " and the damage by kind, as for one of several
// files.
void describe_damage(const DamageTotals* totals, char* text, size_t capacity);

// Hands the report of a finished check to write, line by line.
void write_report(const CheckResult* result, ReportWriter write, void* context);
