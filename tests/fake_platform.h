// A scripted stand-in for the platform layer, linked into the unit tests in
// place of the real one. Every operation records what it was asked and
// answers from the script below.
#pragma once

#include "platform.h"

#include <cstdint>
#include <string>
#include <vector>

struct ClockSample {
    uint32_t filetime_low;
    uint32_t filetime_high;
    uint32_t counter_low;
    uint32_t counter_high;
    uint32_t ticks;
};

// What one WriteFile call on the output does: take up to `take` bytes
// (take_all for everything asked), or fail.
struct WriteStep {
    int64_t take;
};
constexpr int64_t take_all = INT64_MAX;
constexpr WriteStep write_fails{-1};

struct FakePlatform {
    // Script.
    uint32_t thread_id = 11;
    uint32_t process_id = 22;
    std::vector<ClockSample> clock_samples{{5, 1, 1000, 0, 7}}; // the last one repeats
    HANDLE output_handle = reinterpret_cast<HANDLE>(0x100);
    HANDLE error_handle = reinterpret_cast<HANDLE>(0x200);
    DWORD output_file_type = FILE_TYPE_PIPE;
    bool event_creation_fails = false;
    std::vector<WriteStep> writes; // output writes, in order
    WriteStep after_writes = write_fails;
    uint64_t stop_at_write = 0; // raise CTRL_C_EVENT during this output write (1-based)

    // Record.
    std::vector<unsigned char> output; // every byte the output took
    std::string error_text;            // every byte written to standard error
    uint64_t output_write_calls = 0;
    std::vector<DWORD> write_lengths; // what each output write was asked
    // How often each clock was read; each reading of a clock takes that
    // clock's value from the next sample. clock_samples_taken: the most
    // samples any clock has used.
    uint64_t system_time_reads = 0;
    uint64_t counter_reads = 0;
    uint64_t tick_reads = 0;
    uint64_t clock_samples_taken = 0;
    std::vector<DWORD> sleeps;
    std::vector<uint64_t> polls_after_write; // output_write_calls at each poll
    bool event_signalled = false;
    std::vector<std::string> calls; // names of the platform calls, in order
};

extern FakePlatform fake;

// Restores the default script and clears the record.
void reset_fake_platform();

// The handle that CreateEventW hands out.
HANDLE fake_event_handle();
