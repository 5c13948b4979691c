// What a fill directory adds to the check's report: the files that its
// record says are missing, short, longer or not part of the fill, files
// that could not be read, a last file that nothing vouches for (no record),
// and the share of the free room at the fill's start that it tested. Where
// these decide, they make the verdict line and the run's outcome
// (run_verdict); the check's own verdict speaks of the data read.
#pragma once

#include "check_input.h"
#include "fill.h"
#include "run_verdict.h"
#include "stream_check.h"

#include <cstdint>
#include <cstdio>

// How much of the room a fill tested.
struct Coverage {
    bool known;         // the room at the fill's start is known (a fill, or its record)
    uint64_t tested;    // the bytes the fill wrote, which the check read
    uint64_t room;      // the fill's bytes there at its start, and the free bytes then
    bool short_of_room; // tested ends short of room by more than the file system's own needs
};

// The bytes a fill that ran until the file system was full may end short
// of the free space at its start, for the file system's own needs.
uint64_t coverage_tolerance(uint64_t room, uint64_t files);

// The coverage that record tells.
Coverage coverage_of(const FillRecord* record);

struct DirectoryReport {
    bool applies; // a directory of fill files was checked
    Coverage coverage;
    uint32_t missing; // fill files the record lists that are not there
    uint32_t short_files;
    uint32_t longer_files;
    uint32_t outside;    // files that are not part of the fill
    uint32_t not_read;   // files that were not read (whole)
    bool last_unvouched; // no record: the last file may have been cut short
    char verdict[1024];  // the verdict where these decide it, else ""
    RunOutcome outcome;  // the run's outcome with these
    char result[256];    // the result line (without "result: ") where they change it, else ""
};

// Judges the directory of list after check, whose outcome so far was
// check_outcome and whose verdict on the data read was data_verdict.
void judge_directory(const InputList* list, const StreamCheck* check, RunOutcome check_outcome,
                     const char* data_verdict, DirectoryReport* report);

// The report's lines about the fill's record and its coverage.
void print_directory_lines(std::FILE* out, const InputList* list, const DirectoryReport* report);

// Says on out (standard error) that a piece read back while filling
// directory was not what was written there.
void explain_finding(std::FILE* out, const FillOutcome* outcome, const char* directory,
                     bool keep_going);
