// The report of a probe, as readable lines, in the words of the drive
// test's verdicts. The text is made here; where it goes is the caller's.
#pragma once

#include "check_report.h"
#include "probe.h"

#include <cstddef>

// One line that says what the drive holds, without its "verdict: ".
void format_probe_verdict(const ProbeResult* result, char* text, size_t capacity);

// The sectors a new partition may span so that it uses only real storage:
// from sector 2048 (1 MiB) up to the capacity, in whole MiB. 0 when the
// real storage holds no more than that first MiB.
uint64_t partition_sectors(const ProbeResult* result);

// Hands the report of a finished probe of device to write, line by line.
// backup: where the saved sectors went ("" for none), and whether it was
// removed after they were all put back.
void write_probe_report(const ProbeResult* result, const char* device, const char* backup,
                        bool backup_removed, ReportWriter write, void* context);
