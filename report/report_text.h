// The text of every report: a line writer that hands whole lines to the
// caller's function, and how sizes, amounts and rates are written. Used by
// the checking engine, the probe and the command line alike; depends on
// nothing.
#pragma once

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
