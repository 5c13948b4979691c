// The report of a check, as readable lines. The text is made here; where it
// goes is the caller's.
#pragma once

#include "check_result.h"
#include "report_text.h"

#include <cstddef>
#include <cstdint>

// What the verdict says happened, one value for each way it can read.
enum VerdictKind {
    verdict_too_short,     // too few bytes to tell
    verdict_intact,        // every byte where it belongs
    verdict_unconfirmed,   // so it seems, but possibly read from memory
    verdict_blank,         // the input holds only zeros (or FF bytes)
    verdict_foreign,       // no sprayl data at all
    verdict_wraps,         // offsets hold what was written later: the drive wraps
    verdict_reads_earlier, // offsets hold what was written earlier
    verdict_lost_writes,   // the damage runs to the end: writes past an offset were lost
    verdict_slipped,       // the stream lost or repeated bytes
    verdict_ends_early,    // nothing damaged, but bytes are missing at the end
    verdict_damaged,       // damaged stretches, none of the above
    verdict_stopped,       // the check was stopped before the end (and what it found so far)
    verdict_kind_count
};

// A short word for each kind, for programs ("lost_writes"); indexed by
// VerdictKind.
extern const char* const verdict_kind_names[verdict_kind_count];

// One line that says what happened to the input, without its "verdict: ".
void format_verdict(const CheckResult* result, char* text, size_t capacity);

// The same line, and which kind of verdict it is.
VerdictKind verdict_of(const CheckResult* result, char* text, size_t capacity);

// "intact", or "DAMAGED: " and the damage by kind, as for one of several
// files.
void describe_damage(const DamageTotals* totals, char* text, size_t capacity);

// The result line without its "result: ": how the check came out, in a
// word or a few ("DAMAGED", "INCOMPLETE, stopped at offset 4096").
void format_result(const CheckResult* result, char* text, size_t capacity);

// Hands the report of a finished check to write, line by line.
void write_report(const CheckResult* result, ReportWriter write, void* context);

// The same with the caller's verdict line and result line (without their
// labels) in place of the check's own, as when the caller knows what the
// damage means for the drive, or for the fill files, or that the run
// failed after the check.
void write_report_with_verdict(const CheckResult* result, const char* verdict,
                               const char* result_text, ReportWriter write, void* context);
