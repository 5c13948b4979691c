// The report for programs of a probe (--probe DEVICE --json FILE): a
// document of the same family as a check's and a fill's (json_output.h),
// in mode "probe", with what the probe found, did and left in "probe" and
// what the drive says it is in "drive". doc/json-report.md describes it.
#pragma once

#include "drive_identity.h"
#include "identity_report.h"
#include "json_writer.h"
#include "probe.h"
#include "run_verdict.h"

// What a probe came to, for its document.
struct ProbeRecord {
    const char* device;
    const ProbeResult* result; // nullptr: the probe did not run (refused)
    const char* backup;        // where the saved sectors went; "" for none
    bool backup_removed;
    const DriveIdentity* drive; // nullptr: the drive could not be opened
    YearMonth today;
    RunOutcome outcome;
    const char* error; // why the run failed, as on standard error; "" where it did not
};

void write_probe_json(const ProbeRecord* probe, TextWriter write, void* context);
