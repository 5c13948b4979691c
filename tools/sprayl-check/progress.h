// The progress line on standard error, when that is a terminal.
#pragma once

#include "speed_profile.h"

#include <cstddef>
#include <cstdint>

// No damage count on the line (a fill).
constexpr uint64_t no_damage_count = UINT64_MAX;

struct Progress {
    bool enabled;         // standard error is a terminal
    const char* verb;     // "checked", "written"
    uint64_t total;       // bytes expected in all, or 0 when unknown
    double started;       // seconds on the system's clock (clock_seconds)
    uint64_t done_before; // bytes done before this run (a resumed fill): not in its rate
    double last_shown;
    // The rate the line shows: that of the last few seconds.
    double window_started;
    uint64_t window_done;
    double rate; // bytes per second
    // Where every tick notes the bytes and the time, or nullptr.
    RateTable* rates;
};

// Times come from clock_seconds (system.h). Not std::chrono: with
// mingw-w64 that pulls in a thread library that needs a later Windows than
// XP.

// The progress line, at most width - 1 characters so that it never wraps:
// the parts that do not fit are left off from the last.
// rate: bytes per second now; average: since the start, which gives the
// time left.
void format_progress(char* line, size_t capacity, int width, const char* verb, uint64_t done,
                     uint64_t total, double average, double rate, uint64_t damaged);

// Starts the line; no rates are noted until progress->rates is set.
void progress_start(Progress* progress, const char* verb, uint64_t total);

// Starts the count at done, the bytes that an earlier run did (a resumed
// fill): they count for neither the rate nor the rates noted. Called after
// progress->rates is set.
void progress_start_at(Progress* progress, uint64_t done);

// Notes done in progress->rates, and shows the line again when it is a
// quarter second old.
void progress_tick(Progress* progress, uint64_t done, uint64_t damaged);

// Notes a single write call at offset that took seconds in
// progress->rates, when there are rates to note.
void progress_note_call(Progress* progress, uint64_t offset, double seconds);

// Shows the final figures and ends the line.
void progress_end(Progress* progress, uint64_t done, uint64_t damaged);
