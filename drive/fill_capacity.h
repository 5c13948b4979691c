// What a drive really holds, from a check of the fill files on it: where
// the file system can tell where each file lies on the drive, the damage
// is mapped back to drive offsets, and data found misplaced, where it shows
// that the drive gives two offsets one place, tells the distance the drive
// wraps around by; where it cannot, an estimate from the bytes that came
// back intact, which never speaks of a wrap.
#pragma once

#include "check_result.h"
#include "drive_verdict.h"

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

// The drive offset of stream offset offset; false where it lies in no
// extent.
bool drive_offset_of(const DriveMap* map, uint64_t offset, uint64_t* drive_offset);

// What the damage in result (of the whole fill, stream offsets) says about
// the size of the drive the fill lay on; claims is the size it says it has.
// With a map, a wrap (from misplaced data) or lost writes, or nothing
// where the damage shows neither; without one, an estimate.
DriveVerdict find_capacity(const CheckResult* result, const DriveMap* map, uint64_t claims);

// Where the stream that result read stops being intact: its first damage
// or jump, or the end of what it read.
uint64_t intact_end_of(const CheckResult* result);

// What a drive that turned read-only or stopped answering (event, past_read_only
// or past_gone) at a write of the fill shows it holds: the fill's stream up to
// vouched was taken and came back as written. With a map, the drive holds up to
// the highest drive offset of that data; without one, at least as many bytes.
// At most what it claims: the fill cannot tell where the write that failed lay.
DriveVerdict event_capacity(const DriveMap* map, uint64_t vouched, uint64_t claims,
                            PastCapacity event);
