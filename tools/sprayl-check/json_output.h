// The report for programs (--json FILE): the whole run as one JSON
// document, the check's findings with what only the program knows: the
// inputs, the fill, the rates, the exit code. doc/json-report.md describes
// it.
#pragma once

#include "check_input.h"
#include "drive_identity.h"
#include "drive_verdict.h"
#include "fill.h"
#include "fill_report.h"
#include "identity_report.h"
#include "json_writer.h"
#include "run_verdict.h"
#include "speed_class.h"
#include "speed_cliff.h"
#include "speed_profile.h"
#include "stream_check.h"

#include <cstddef>

// The version of the document's layout: a new member leaves it as it is,
// a member that changes its meaning or goes away raises it.
constexpr int json_schema_version = 1;

// What was run.
enum RunMode {
    mode_stream,
    mode_files,
    mode_directory,
    mode_fill,
    mode_probe,
    mode_speed,
    run_mode_count
};

struct RunRecord {
    RunMode mode;
    const InputList* inputs;
    const StreamCheck* check;   // nullptr when no check ran
    const char* fill_directory; // a fill: where it wrote
    const FillOutcome* fill;    // nullptr unless a fill ran
    const char* drive_verdict;  // after a fill: what the drive holds, as the text verdict says it;
                                // "" when unknown
    const DriveVerdict* capacity; // the same as figures; nullptr where no fill ran
    const RunVerdict* verdict;    // what the run came to: its verdict, result, exit code and error
    const RateTable* write_rates; // nullptr when not measured
    const RateTable* read_rates;
    const FillRecord* record;   // the fill's record, or the directory's; nullptr: none
    const DriveIdentity* drive; // what the drive filled says it is; nullptr: none
    YearMonth today;            // the month of the run, for the drive's warning signs
};

// What lies past a drive's capacity, in a word for programs ("wraps",
// "read_only"), as the probe's and the fill's documents give it.
const char* past_word(PastCapacity past);

// Writes the document.
void write_run_json(const RunRecord* run, TextWriter write, void* context);

// The members every document begins with: the version, the mode, the
// result and exit code of outcome, the verdict (nullptr: null) and the
// error ("": null). The caller has begun the document's object.
void write_run_head(JsonText* json, RunMode mode, RunOutcome outcome, const char* verdict,
                    const char* error);

// The members of a check's and a fill's document that another mode's
// document gives as null (or empty), so that every document has them all:
// from "fill" to "inputs", and "rates".
void write_check_members_absent(JsonText* json);

// A speed test (--speed), as the report for programs gives it.
struct SpeedRecord {
    const char* directory;
    uint64_t bytes;    // written and read back in the scratch file
    bool around_cache; // the scratch file was opened around the system's cache
    const SpeedCliff* cliff;
    const SpeedFigures* figures; // nullptr: none measured
    unsigned deep_queue;         // the deeper queue's depth; 0: none
    const ClaimList* claims;     // nullptr: none claimed
    const RateTable* write_rates;
    const RateTable* read_rates;
    RunOutcome outcome;
    const char* error; // why it failed, "" where it did not
};

// Writes the document of a speed test: the version and mode members as
// write_run_json writes them, the figures, the classes, each claim's
// verdict, the rates.
void write_speed_json(const SpeedRecord* speed, TextWriter write, void* context);

// Whether the first length bytes of a file are those of a document that
// write_run_json wrote, of any schema: it opens with the version member,
// its schema and its program, "sprayl-check " and the version (whitespace
// between the tokens as it may be).
bool is_run_json(const char* start, size_t length);
