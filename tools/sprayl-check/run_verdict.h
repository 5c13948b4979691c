// What a run of sprayl-check comes to, said once: its verdict line, its
// result line and word, its exit code and why it failed. The text report,
// the report for programs and the process's exit code all take them from
// here, so they never disagree; a step that fails after the verdict (a
// report file that cannot be written) changes it for every output written
// after that step.
#pragma once

#include "check_input.h"
#include "check_result.h"
#include "read_back.h"

#include <cstddef>

// How a run ended, one row each in run_verdict.cpp: its word for programs
// and its exit code. A probe and a restore end in these too.
enum RunOutcome {
    run_intact,      // every byte where it belongs; the drive genuine; all restored
    run_unconfirmed, // no damage found, but it confirms nothing (read from memory, not all tested)
    run_damaged,     // damage found; a fake drive; not all restored
    run_too_short,   // too few bytes to tell
    run_incomplete,  // the input could not be read to its end
    run_interrupted, // stopped on request
    run_failed,      // the run could not do what was asked, or a step after the check failed
    run_measured,    // a speed test measured the drive, and met every class claimed
    run_claim_not_met, // a speed test measured the drive, short of a class claimed
    run_outcome_count
};

const char* run_outcome_word(RunOutcome outcome);
int run_exit_code(RunOutcome outcome);

// The outcome that a check's own outcome is.
RunOutcome run_outcome_of(CheckOutcome outcome);

struct RunVerdict {
    bool checked;       // a check ran: the text report has its verdict and result lines
    char verdict[1024]; // the verdict line without "verdict: "; "" when no check ran
    char result[320];   // the result line without "result: "; "" when no check ran
    RunOutcome outcome;
    char error[4096 + 256]; // why the run failed, "" where it did not
};

// The run ended before a check could say anything, for why.
void verdict_failed(RunVerdict* verdict, const char* why);

// A fill was stopped on request before its check.
void verdict_interrupted(RunVerdict* verdict);

// A step after the verdict failed (a report file that could not be
// written), for why: the run failed, whatever the check found, and the
// result line says so; the verdict line stands.
void verdict_fails_after(RunVerdict* verdict, const char* why);

// The verdict of a fill whose drive turned read-only or stopped answering
// at a write: drive_verdict says what it holds and what it did; the run's
// outcome is damaged, whatever the data read back said.
void verdict_drive_event(RunVerdict* verdict, const char* drive_verdict);

struct DirectoryReport;

// What a finished check's verdict is made from.
struct CheckFacts {
    const InputList* inputs;
    const StreamCheck* check;
    const char* drive_verdict;    // after a fill: what the drive holds, where the damage tells; ""
    const SampleFinding* finding; // what the fill read back while writing; nullptr: no fill
    const char* failure;          // why the reading stopped, or ""
};

// The verdict of a finished check: the check's own, what the drive holds
// after a fill, fill files that are missing, what the fill directory adds
// (into directory), and a piece that the fill read back not as written
// while every byte checked later was in place: true where that piece
// decided it.
bool judge_check(const CheckFacts* facts, DirectoryReport* directory, RunVerdict* verdict);
