// The report of a check, as readable lines. The text is made here; where it
// goes is the caller's.
#pragma once

#include "check_result.h"

#include <cstddef>
#include <cstdint>

// Takes the report a line at a time (a note: two), each ending in a newline.
using ReportWriter = void (*)(void* context, const char* line);

// Where a report's lines go, and room to make one in: a line is made in
// line, then handed on with put_line.
struct ReportLines {
    ReportWriter write;
    void* context;
    char line[1024];
};

void put_line(ReportLines* lines);

// Writes a byte count in binary units with two decimals ("1.50 GiB"), or
// in bytes below one KiB. Always zero-terminated.
void format_size(uint64_t bytes, char* text, size_t capacity);

// "1 byte", "600 bytes", or "2048 bytes (2.00 KiB)": the exact count, and
// in binary units from one KiB on.
void format_amount(uint64_t bytes, char* text, size_t capacity);

// bytes in seconds as bytes per second; 0 when no time passed.
double bytes_per_second(uint64_t bytes, double seconds);

// A rate in decimal units, the largest that gives at least 1: "2.35 GB/s"
// (two decimals), "412 MB/s", "3.5 MB/s", "850 kB/s" (one decimal below
// ten), "12 B/s". Every rate the program prints is written so.
void format_rate(double bytes_per_second, char* text, size_t capacity);

// What the verdict says happened, one value for each way it can read.
enum VerdictKind {
    verdict_too_short,     // too few bytes to tell
    verdict_intact,        // every byte where it belongs
    verdict_unconfirmed,   // so it seems, but possibly read from memory
    verdict_blank,         // the input holds only zeros (or FF bytes)
    verdict_foreign,       // no sprayl data at all
    verdict_wraps,         // offsets hold what was written later: the drive wraps
    verdict_reads_earlier, // offsets hold what was written earlier
    verdict_lost_writes,   // the damage runs to the end: writes past an offset were lost
    verdict_slipped,       // the stream lost or repeated bytes
    verdict_ends_early,    // nothing damaged, but bytes are missing at the end
    verdict_damaged,       // damaged stretches, none of the above
    verdict_stopped,       // the check was stopped before the end (and what it found so far)
    verdict_kind_count
};

// A short word for each kind, for programs ("lost_writes"); indexed by
// VerdictKind.
extern const char* const verdict_kind_names[verdict_kind_count];

// One line that says what happened to the input, without its "verdict: ".
void format_verdict(const CheckResult* result, char* text, size_t capacity);

// The same line, and which kind of verdict it is.
VerdictKind verdict_of(const CheckResult* result, char* text, size_t capacity);

// "intact", or "DAMAGED: " and the damage by kind, as for one of several
// files.
void describe_damage(const DamageTotals* totals, char* text, size_t capacity);

// Hands the report of a finished check to write, line by line.
void write_report(const CheckResult* result, ReportWriter write, void* context);

// The same with the caller's verdict in place of the check's own, as when
// the caller knows what the damage means for the drive (its capacity).
void write_report_with_verdict(const CheckResult* result, const char* verdict, ReportWriter write,
                               void* context);
