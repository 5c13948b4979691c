// The speed of the drive over the stream: the bytes and seconds of every
// stretch of it (a GiB, or a file where files are smaller) as the fill
// writes and as the check reads, the write calls that stalled, and the
// report's lines about them.
#pragma once

#include "report_text.h"
#include "speed_cliff.h"

#include <cstddef>
#include <cstdint>

// The table's size. A longer stream folds it: neighbouring stretches join
// and each covers twice the bytes.
constexpr uint32_t rate_stretches = 4096;

// The stretch that a fill of files this large, or a check of files this
// large at most, keeps a rate for: a GiB, or a file when files are smaller
// (in whole MiB, at least one).
uint64_t rate_stretch_bytes(uint64_t file_size);

// A single write call that took longer than this has stalled.
constexpr double stall_seconds = 1.0;
constexpr uint32_t kept_stalls = 16;

struct Stall {
    uint64_t offset; // of the stream, where the call began
    double seconds;
};

// Neighbouring stretches whose rates differ by less than this factor make
// one steady span of the profile.
constexpr double steady_factor = 1.25;

struct RateTable {
    uint64_t stretch_bytes; // of the stream, each stretch
    uint32_t count;         // stretches that hold bytes or time
    uint64_t bytes[rate_stretches];
    double seconds[rate_stretches];
    uint64_t noted;       // the stream offset noted last: the bytes so far
    double noted_time;    // when, in clock_seconds
    uint64_t stall_count; // all of them; the first kept_stalls are kept
    Stall stalls[kept_stalls];
    Stall longest_stall;
};

// Stretches of steady speed, as the profile gives them.
struct RateSpan {
    uint64_t start; // stream offsets, end exclusive
    uint64_t end;
    uint64_t bytes;
    double seconds;
};

// Starts an empty table at time now.
void rates_start(RateTable* table, uint64_t stretch_bytes, double now);

// Notes that the stream reached offset done at time now: the bytes and the
// time since the last note go to the stretch where they end (time alone,
// as of a flush, to the stretch of the bytes before it).
void rates_note(RateTable* table, uint64_t done, double now);

// The time from the last note to now counts for nothing: it went to work
// that is not the drive's (making the data to write).
void rates_pause(RateTable* table, double now);

// Notes a single write call at offset that took seconds; kept when it
// stalled.
void rates_note_call(RateTable* table, uint64_t offset, double seconds);

// The offsets of stretch i: [start, end).
uint64_t stretch_start(const RateTable* table, uint32_t i);
uint64_t stretch_end(const RateTable* table, uint32_t i);

// Bytes per second of stretch i, 0 when it took no time.
double stretch_rate(const RateTable* table, uint32_t i);

// Bytes per second of a span.
double span_rate(const RateSpan* span);

// The table as spans of steady speed: a stretch joins the span before it
// while its rate lies within steady_factor of that span's. Returns how many
// there are; at most capacity are written.
uint32_t steady_spans(const RateTable* table, RateSpan* spans, uint32_t capacity);

// The stretch with the lowest rate, among those that took time; count when
// none did.
uint32_t slowest_stretch(const RateTable* table);

// The profile's lines for what ("write", "read"): the steady spans, the
// slowest stretch and the stalled writes. Nothing for an empty table.
void write_profile(const RateTable* table, const char* what, ReportWriter write, void* context);

// "limited by this computer: N GB/s", this computer's own rate, where its
// work on the bytes (checking them: working_seconds of the table's time)
// took longer than the waiting for the drive: the pace was not the
// drive's. Nothing otherwise, and nothing for an empty table.
void write_pace_limit(const RateTable* table, double working_seconds, ReportWriter write,
                      void* context);

// Where the table's rate falls off for good (speed_cliff.h), and the rate
// before and after.
SpeedCliff table_cliff(const RateTable* table);

// The bytes a second over the whole table; 0 where it took no time.
double table_rate(const RateTable* table);
// The time the table's stretches took, in all.
double table_seconds(const RateTable* table);
