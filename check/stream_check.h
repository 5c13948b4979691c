// Checks bytes that sprayl wrote against the stream they must continue, and
// says what became of every byte that is not where it belongs.
//
// Every run of sprayl starts its Weyl counter at 0, so the first four outputs
// give back the whole register and with it the rest of the stream. The check
// takes the first 16 bytes as given (or a run it is told), predicts the
// stream block by block with the generator's own fill and compares. Where
// the input stops matching, it looks at the data itself: output word i of
// any run is a register word plus (i + 1) times the Weyl increment, so a few
// words of sprayl data tell which stream offset they belong at and which
// run wrote them. Damage is sorted into kinds, and a stream that lost or
// repeated bytes is followed from where it goes on.
#pragma once

#include "generator.h"

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

// Exit codes of sprayl-check.
constexpr int exit_intact = 0;
constexpr int exit_differs = 1;
constexpr int exit_unverifiable = 2;
constexpr int exit_interrupted = 130;

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

struct DamageTotals {
    uint64_t bytes[damage_kind_count];
    uint64_t stretches;
    uint64_t slips;
};

// How the reading of the input ended.
enum CheckEnd {
    check_end_of_input,    // the whole input was read
    check_end_interrupted, // the user stopped the check
    check_end_read_failed  // the input could not be read on, nor skipped
};

// How many stretches and slips are kept for the report; beyond that they
// are only counted.
constexpr uint32_t kept_stretches = 1 << 16;
constexpr uint32_t kept_slips = 256;

// Room for the piece of input looked at in one go when it does not match:
// up to the end of a sector, and at least enough to recognise data in.
constexpr uint32_t unit_capacity = 2 * sector_bytes;

struct StreamCheck {
    // The run: its state after the four outputs of the header.
    GeneratorState run;
    bool run_known;      // given by check_start_run, not taken from the header
    bool run_confirmed;  // data after the header has shown it to be the run
    bool header_damaged; // the header is not the start of the run found after it
    unsigned char header[header_bytes];

    // The prediction: the run's stream from stream offset block_start, and
    // the state after that block. A block that the input matched in one pass
    // is not held: block_end_state is then after it, and block stale.
    alignas(64) unsigned char block[block_bytes];
    int64_t block_start; // -1: nothing predicted yet
    bool block_held;     // block holds the bytes from block_start
    GeneratorState block_end_state;
    int64_t delta;          // stream offset minus input offset of the data followed
    int64_t expected_delta; // where the run's data belongs: 0, or as moved by slips
    bool in_sequence;       // the data before the current place was where it belongs

    // The matching data that goes with delta: [run_start, run_end) of the
    // input, not yet counted.
    bool run_open;
    uint64_t run_start;
    uint64_t run_end;
    int64_t run_delta;

    // Input that did not match, gathered for a closer look.
    bool slow;
    uint64_t unit_start;
    uint32_t unit_size;
    uint32_t unit_used;
    bool unit_in_damage; // the unit before was damage too
    unsigned char unit[unit_capacity];

    // The last data of another run recognised, to know its next sectors.
    // The last data of another run recognised, predicted on: its stream
    // from input offset stale_start on, and the state after that block.
    bool stale_known;
    uint64_t stale_start;
    GeneratorState stale_end_state;
    alignas(64) unsigned char stale_block[block_bytes];

    uint64_t bytes_read; // header included
    uint64_t bytes_intact;
    DamageTotals totals;    // the bytes of each kind; the counts are stretch_count, slip_count
    uint64_t stretch_count; // all of them, kept or not
    Stretch stretches[kept_stretches];
    uint64_t slip_count;
    Slip slips[kept_slips];
    int64_t slip_total; // lost bytes less repeated ones

    CheckEnd end;
    uint64_t expected_size; // 0: not known
};

// The generator state after the four outputs stored little-endian in
// header[0..15], on the assumption that the counter started at 0.
GeneratorState recover_generator_state(const unsigned char* header);

// Makes check ready for the first byte of an input whose first 16 bytes
// define the run.
void check_start(StreamCheck* check);

// Makes check ready for an input that must hold the run that starts from
// seed (the state before the first output, counter 0), as when the checker
// wrote it itself: then a header from another run is damage too.
void check_start_run(StreamCheck* check, const GeneratorState* seed);

// Checks the next size bytes of the input.
void check_bytes(StreamCheck* check, const unsigned char* data, size_t size);

// Notes that the next length bytes of the input could not be read: they are
// damage, and the check goes on after them.
void check_unreadable(StreamCheck* check, uint64_t length);

// Ends the check. expected_size, where not 0, is the length the input
// should have had: missing bytes at its end are then damage.
void check_finish(StreamCheck* check, CheckEnd end, uint64_t expected_size);

// Bytes compared against the prediction: all but the header.
uint64_t bytes_checked(const StreamCheck* check);

// Damaged bytes found so far (for a progress display).
uint64_t bytes_damaged(const StreamCheck* check);

// Bytes the input lacks against the expected size, after check_finish.
uint64_t bytes_missing(const StreamCheck* check);

// Whether enough was checked for an intact verdict to mean something.
bool check_is_conclusive(const StreamCheck* check);

// The damage of the kept stretches that lies in input offsets [start, end),
// as for one of several files checked as one stream.
void damage_between(const StreamCheck* check, uint64_t start, uint64_t end, DamageTotals* totals);

// Whether anything was damaged, lost or missing.
bool check_found_damage(const StreamCheck* check);

// The process exit code, after check_finish: 0 intact, 1 damaged, 2 too
// short or unreadable to the end, 130 interrupted.
int check_exit_code(const StreamCheck* check);
