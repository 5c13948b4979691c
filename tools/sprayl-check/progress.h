// The progress line on standard error, when that is a terminal.
#pragma once

#include <cstddef>
#include <cstdint>

// No damage count on the line (a fill).
constexpr uint64_t no_damage_count = UINT64_MAX;

struct Progress {
    bool enabled;     // standard error is a terminal
    const char* verb; // "checked", "written"
    uint64_t total;   // bytes expected in all, or 0 when unknown
    double started;   // seconds on the system's clock (clock_seconds)
    double last_shown;
};

// Times come from clock_seconds (system.h). Not std::chrono: with
// mingw-w64 that pulls in a thread library that needs a later Windows than
// XP.

// Bytes per second as GB/s (10^9 bytes), with two decimals.
void format_rate(uint64_t bytes, double seconds, char* text, size_t capacity);

// The progress line, at most width - 1 characters so that it never wraps:
// the parts that do not fit are left off from the last.
void format_progress(char* line, size_t capacity, int width, const char* verb, uint64_t done,
                     uint64_t total, double seconds, uint64_t damaged);

void progress_start(Progress* progress, const char* verb, uint64_t total);

// Shows the line again when it is a quarter second old.
void progress_tick(Progress* progress, uint64_t done, uint64_t damaged);

// Shows the final figures and ends the line.
void progress_end(Progress* progress, uint64_t done, uint64_t damaged);
