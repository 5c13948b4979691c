// What a drive really holds, from a check of the fill files on it: where
// the file system can tell where each file lies on the drive, the damage
// is mapped back to drive offsets, and data found misplaced, where it shows
// that the drive gives two offsets one place, tells the distance the drive
// wraps around by; where it cannot, an estimate from the bytes that came
// back intact, which never speaks of a wrap.
#pragma once

#include "check_result.h"

#include <cstddef>
#include <cstdint>

// length bytes of the stream from stream_offset lie on the drive from
// drive_offset. The offsets are those of the check's input; where the
// stream jumped (a missing file), the data's own stream offsets are found
// through the check's slips.
struct StreamExtent {
    uint64_t stream_offset;
    uint64_t drive_offset;
    uint64_t length;
};

// Where the stream lies on the drive, in stream order; count 0 when the
// file system cannot tell.
struct DriveMap {
    StreamExtent* extents;
    size_t count;
};

enum CapacityFinding {
    capacity_not_found, // the damage says nothing about the drive's size
    capacity_wraps,     // writes past what it holds land on what it holds
    capacity_drops,     // writes past what it holds are lost
    capacity_estimated  // no map: what came back intact
};

struct DriveCapacity {
    CapacityFinding finding;
    uint64_t claims;        // the drive's size as it says, 0 when unknown
    uint64_t holds;         // wraps, drops: the bytes it holds, from its start
    uint64_t holds_at_most; // wraps: more than holds where the fill cannot tell
                            // whether the drive keeps a low area apart
    uint64_t wrap;          // wraps: the distance
    uint64_t kept;          // estimated: bytes that came back intact
    uint64_t written;       // estimated: bytes written
    const char* reads_give; // drops: what reads past holds give ("zeros")
};

// The drive offset of stream offset offset; false where it lies in no
// extent.
bool drive_offset_of(const DriveMap* map, uint64_t offset, uint64_t* drive_offset);

// What the damage in result (of the whole fill, stream offsets) says about
// the size of the drive the fill lay on; claims is the size it says it has.
DriveCapacity find_capacity(const CheckResult* result, const DriveMap* map, uint64_t claims);

// The verdict as a line without its end: "the drive holds 512.00 MiB of the
// 4.00 GiB it claims: it wraps around every 512.00 MiB".
void format_capacity(const DriveCapacity* capacity, char* text, size_t size);
