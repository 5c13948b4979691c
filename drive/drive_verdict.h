// What a drive really holds of what it claims, as the probe and the fill
// find it: one verdict, and the one sentence that every report, the text
// and the JSON alike, says it in.
#pragma once

#include <cstddef>
#include <cstdint>

// What the drive does with addresses from its real capacity up.
enum PastCapacity {
    past_nothing,     // nothing: the whole claimed size holds data
    past_wraps,       // they reach storage of lower addresses
    past_zeros,       // writes are lost; reads give zeros
    past_ones,        // writes are lost; reads give bytes of FF
    past_old_data,    // writes are lost; reads give what was there before
    past_other_data,  // writes are lost; reads give other data
    past_read_errors, // reads fail (nothing is written where reads fail)
    past_other_run,   // writes are lost; reads give another run's data (an earlier fill)
    past_read_only,   // at its first write past the capacity it turned read-only
    past_gone,        // at its first write past the capacity it stopped answering
    past_capacity_count
};

// What lies past the capacity in a few words: "wraps around to lower
// addresses", "writes lost, reads give zeros".
const char* past_capacity_name(PastCapacity past);

enum DriveFinding {
    drive_says_nothing,  // the evidence says nothing of what the drive holds
    drive_holds_all,     // all it claims, as far as the probe looked
    drive_holds_less,    // holds bytes from its start; past says what lies beyond
    drive_kept_estimate, // no map of the drive: what came back intact of what was written
};

struct DriveVerdict {
    DriveFinding finding;
    uint64_t claims;        // the drive's size as it says, 0 when unknown
    uint64_t holds;         // holds_less: the bytes it holds, from its start
    uint64_t holds_at_most; // more than holds where the evidence cannot tell whether the
                            // drive keeps a low area apart, or (past_read_only, past_gone)
                            // where its first write past what it holds came
    PastCapacity past;
    uint64_t wrap;     // past_wraps: addresses a and a + wrap reach the same storage
    uint64_t low_area; // past_wraps: the bytes at the start that the wrap leaves alone,
                       // where the evidence names them; 0 where it does not
    uint64_t kept;     // kept_estimate: bytes that came back intact
    uint64_t written;  // kept_estimate: bytes written
    uint64_t cache;    // lost writes: the latest of them that reads still answered as written,
                       // from a cache in the drive's memory; 0 where none did
};

// The largest caches reported in real drives: up to this many bytes of the
// latest writes may read back as written from a drive's memory.
constexpr uint64_t largest_reported_cache = uint64_t{256} << 20;

// The verdict as a line without its end: "the drive holds 512.00 MiB of the
// 4.00 GiB it claims: it wraps around every 512.00 MiB".
void format_drive_verdict(const DriveVerdict* verdict, char* text, size_t capacity);

// The greatest common divisor of a and b (gcd(0, b) = b): of the distances
// that shared storage shows, the wrap.
uint64_t greatest_common_divisor(uint64_t a, uint64_t b);
