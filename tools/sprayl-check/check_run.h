// One run of sprayl-check's check or fill: what it works with and what it
// came to, made once (check_main) and handed to every part of the run. The
// check's run is in check_run.cpp, the fill's in fill_run.cpp, the reports
// they end with in run_outputs.cpp.
#pragma once

#include "check_input.h"
#include "check_options.h"
#include "fill.h"
#include "fill_capacity.h"
#include "fill_report.h"
#include "fill_start.h"
#include "identity_report.h"
#include "output_file.h"
#include "run_verdict.h"
#include "speed_profile.h"
#include "stream_check.h"
#include "system.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// The most places on the drive that the fill files' bytes are mapped to,
// of one file and of all of them.
constexpr size_t most_extents = size_t{1} << 16;

// The fill's part of a run.
struct FillRun {
    bool started;         // fill_directory was reached
    OpenDirectory folder; // the directory filled, held open
    FillStart start;      // its run, its plan and its record
    FillOutcome outcome;
    FillWork work;
    double read_seconds; // the check of what it wrote
    // After damage: what the drive holds, as the verdict says it; "" where
    // the damage does not tell.
    char drive_verdict[512];
    DriveVerdict capacity; // what the drive holds where drive_verdict says it; finding
                           // drive_says_nothing otherwise
    StreamExtent stream_extents[most_extents]; // where the fill files lie on the drive
    FileExtent file_extents[most_extents];     // of one file
};

struct CheckRun {
    CheckOptions options;
    GeneratorState new_seed; // the run that a new fill writes
    std::FILE* report_out;   // the text report: standard output, or standard error where the
                             // report for programs takes standard output
    std::FILE* messages;     // standard error
    char message[4096 + 256];
    std::string notes; // what the check says on standard error after its report
    InputList inputs;
    StreamCheck check;
    bool check_ran;
    RateTable write_rates;
    RateTable read_rates;
    FillRun fill;
    DriveIdentity drive;       // what the drive filled says it is, where it lies on one
    YearMonth today;           // the month of the run
    DirectoryReport directory; // what a fill directory adds to the check
    RunVerdict verdict;        // what the run came to
    OutputFile output;         // the report file being written
};

// Makes run ready to carry out options (a check or a fill); a new fill
// writes the run from new_seed.
void start_run(CheckRun* run, const CheckOptions* options, const GeneratorState* new_seed);

// Gives back what the run took for its reading: its buffers.
void end_run(CheckRun* run);

// The check of the inputs that run->options names, or of standard input;
// ends with run->verdict, and prints no report.
void run_check(CheckRun* run);

// The fill of run->options.fill_directory and the check of what it wrote;
// the same.
void run_fill(CheckRun* run);

// Reads the inputs into run->check, which is started already, expecting
// expected_size bytes (0: as many as there are). How the reading ended.
CheckEnd read_inputs(CheckRun* run, uint64_t expected_size);

// Judges the check that ended so: run->verdict, and the notes for standard
// error. header_given: the input's first bytes define the run (not a
// fill's seed or its record's).
void judge_the_check(CheckRun* run, CheckEnd end, bool header_given);

// The fill's lines of the text report: what it wrote, how fast, what it
// read back while writing.
void print_fill_lines(const CheckRun* run);

// Says on standard error why the run failed (why), and makes that its
// verdict.
void fail_run(CheckRun* run, const char* why);

// Runs the check or the fill, then writes the chart, the report for
// programs and the text report, in that order, however the run ended;
// returns the exit code, which the verdict of every report written gives.
int run_and_record(CheckRun* run);
