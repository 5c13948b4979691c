// What a check of sprayl data found, as plain data: the report, the program
// and the tests read it, and ask it the questions below.
#pragma once

#include <cstddef>
#include <cstdint>

// The bytes that define the stream: the first four outputs.
constexpr uint32_t header_bytes = 16;

// Bytes that must be checked, beyond the header, before an input may be
// called intact: random data passes n checked bytes with chance 2^-8n.
constexpr uint64_t min_checked_bytes = 16;

// Damage is told apart sector by sector: a drive maps data in sectors of
// 512 bytes (or multiples), and a few words suffice to recognise data.
constexpr uint32_t sector_bytes = 512;

// The kinds of damage; damage_kinds.h has a row for each.
enum DamageKind {
    damage_misplaced,  // this run's data, from another offset of the stream
    damage_stale,      // sprayl data of another run (left from an earlier fill)
    damage_blank,      // all 00 or all FF: erased or never written
    damage_altered,    // the right data with some bits changed
    damage_unreadable, // the input could not be read there
    damage_foreign,    // anything else
    damage_kind_count
};

// A damaged stretch of the input, offsets counted in the input.
struct Stretch {
    uint64_t start;
    uint64_t end; // exclusive
    DamageKind kind;
    uint64_t source; // misplaced: the stream offset the data at start belongs at;
                     // blank: the byte it holds (0x00 or 0xFF)
    uint64_t bits;   // altered: how many bits differ
};

// A place where the input goes on with the same run, but the stream has
// jumped by shift bytes: lost bytes (shift > 0) or repeated ones (< 0), as
// when a transfer drops or repeats data.
struct Slip {
    uint64_t offset; // input offset of the first byte after the jump
    int64_t shift;
};

// The damage within a part of the input, as for one of several files.
struct DamageTotals {
    uint64_t bytes[damage_kind_count];
    uint64_t slips;
};

// How the reading of the input ended.
enum CheckEnd {
    check_end_of_input,    // the whole input was read
    check_end_interrupted, // the user stopped the check
    check_end_read_failed  // the input could not be read on, nor skipped
};

// What the check comes to, once finished.
enum CheckOutcome {
    outcome_intact,      // enough was checked, and every byte is where it belongs
    outcome_unconfirmed, // so it seemed, but what was read may have come from memory
    outcome_damaged,     // bytes were damaged, lost or missing
    outcome_too_short,   // too few bytes were checked to tell
    outcome_incomplete,  // the input could not be read to its end
    outcome_interrupted  // the user stopped the check
};

// The shortest damaged end of an input that may be read as writes lost
// past its start: 64 KiB, 128 sectors, sixteen 4 KiB flash pages. A drive
// that loses writes loses all it is given past a point, which a fill or a
// stream written to the drive runs far beyond; a shorter damaged end is as
// well explained by one bad sector, page or last write, and is reported as
// the damage it is.
constexpr uint64_t min_lost_bytes = 64 * 1024;

// How many stretches and slips are kept for the report; beyond that they
// are only counted.
constexpr uint32_t kept_stretches = 1 << 16;
constexpr uint32_t kept_slips = 256;

struct CheckResult {
    // The input's first 16 bytes, as read where the run is taken from them
    // (unreadable ones as zeros).
    unsigned char header[header_bytes];
    bool run_known;      // the run was given (check_start_run), not taken from the header
    bool header_damaged; // the header is not the start of the run found after it

    uint64_t bytes_read; // header included
    uint64_t bytes_intact;
    uint64_t damaged_bytes[damage_kind_count];
    uint64_t stretch_count; // all of them, kept or not
    Stretch stretches[kept_stretches];
    uint64_t slip_count; // all of them, kept or not
    Slip slips[kept_slips];

    CheckEnd end;
    uint64_t expected_size; // 0: not known; of a stopped check, what it would have read
    // Set by the reader: some input may have been read from memory rather
    // than from its drive, so finding no damage confirms nothing.
    bool possibly_from_memory;
    CheckOutcome outcome;
};

// Bytes compared against the prediction: all but the header.
uint64_t bytes_checked(const CheckResult* result);

// Damaged bytes found so far (for a progress display).
uint64_t bytes_damaged(const CheckResult* result);

// Bytes the input lacks against the expected size, once finished.
uint64_t bytes_missing(const CheckResult* result);

// Whether enough was checked for an intact verdict to mean something.
bool check_is_conclusive(const CheckResult* result);

// Whether anything was damaged, lost or missing.
bool check_found_damage(const CheckResult* result);

// The stretches kept: the count, up to kept_stretches.
uint64_t kept_stretch_count(const CheckResult* result);

// The damage of the kept stretches and slips that lies in input offsets
// [start, end), as for one of several files checked as one stream.
void damage_between(const CheckResult* result, uint64_t start, uint64_t end, DamageTotals* totals);

// The stream offset minus the input offset of the run's data followed at
// input offset at, in a check of a whole input: the shifts of the slips up
// to it added up.
int64_t followed_delta_at(const CheckResult* result, uint64_t at);

// The input offset that followed the stream to stream offset offset, or
// false where none did (it lies in bytes lost at a slip, or past the input).
bool input_offset_of(const CheckResult* result, uint64_t offset, uint64_t* at);

// What shows that misplaced data (of a whole input's check) came from a
// drive that gives two offsets one place, rather than from a stream that
// skipped ahead to it: a skip never repeats a place, nor comes back.
enum MisplacedEvidence {
    misplaced_unexplained,  // nothing: the stream may have skipped to it
    misplaced_written_over, // it is later data, and the stream comes back below
                            // it after it: what was written there is gone
    misplaced_read_twice    // the place it was written to reads it too
};

MisplacedEvidence misplaced_evidence(const CheckResult* result, const Stretch& stretch);
