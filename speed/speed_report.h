// The lines of a speed test's report, exactly so, for scripts and for
// comparison with other tools:
//
//   sequential write: N MB/s
//   sequential read: N MB/s
//   random 4 KiB reads: N IOPS
//   random 4 KiB writes: N IOPS
//   classes: C10 yes|no, U1 yes|no, ...
//
// MB are 1,000,000 bytes; the write is the sustained one, after any cliff;
// the random figures are at queue depth 1. A line for the deeper queue
// follows where one was measured, then the note on what the marks cannot
// tell from here.
#pragma once

#include "speed_class.h"

// Megabytes (1,000,000 bytes) a second, the unit of the lines.
double megabytes_per_second(double bytes_per_second);

// The five lines, the deeper queue's line and the note.
void write_speed_lines(const SpeedFigures* figures, unsigned deep_queue, ReportWriter write,
                       void* context);
