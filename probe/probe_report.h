// The reports of a probe and of a restore, as readable lines, in the words
// of the drive test's verdicts. The text is made here; where it goes is the
// caller's.
#pragma once

#include "probe.h"
#include "report_text.h"

#include <cstddef>

// What a finished probe found, as the drive's verdict.
DriveVerdict probe_drive_verdict(const ProbeResult* result);

// One line that says what the drive holds, without its "verdict: ". Only a
// finished probe names a capacity; any other says why it stopped and that
// the capacity is not known.
void format_probe_verdict(const ProbeResult* result, char* text, size_t capacity);

// The word of the report's last line ("genuine", "FAKE", "UNSTABLE",
// "INCOMPLETE, ...").
const char* probe_result_word(const ProbeResult* result);

// The partition that keeps to the real storage, in the drive's own
// sectors: from 1 MiB up to the last whole MiB of the capacity. No sectors
// when the real storage holds no more than that first MiB, or 1 MiB is no
// whole number of the drive's sectors.
struct PartitionAdvice {
    uint64_t start;   // the first sector
    uint64_t sectors; // how many
};
PartitionAdvice partition_advice(const ProbeResult* result);

// Hands the report of a probe of device to write, line by line. backup:
// where the saved sectors went ("" for none), and whether it was removed
// after they were all put back. drive_lines: what the drive says it is,
// whole lines, given after the claimed size.
void write_probe_report(const ProbeResult* result, const char* device, const char* backup,
                        bool backup_removed, ReportWriter write, void* context,
                        const char* drive_lines = "");

// The word of a restore report's last line.
const char* restore_result_word(RestoreVerdict verdict);

// Hands the report of a restore from backup to write: what the backup
// holds and whether it shows it is whole, what was written back, what may
// still hold the probe's data or lack the user's, and whether the backup
// was removed.
void write_restore_report(const BackupContents* backup, const RestoreOutcome* outcome,
                          const char* backup_path, bool backup_removed, ReportWriter write,
                          void* context);
