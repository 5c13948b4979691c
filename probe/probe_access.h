// The probe's access to the drive, shared by its first pass (probe.cpp)
// and its searches (capacity_search.cpp), and not part of its interface:
// every read and write counted and timed, every sector saved before it is
// first written, the failures that stop the probe, and what a sector read
// back is.
#pragma once

#include "probe.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace probe_internal {

constexpr uint64_t mib = uint64_t{1} << 20;
// The largest single read or write.
constexpr size_t io_chunk = mib;

// Byte ranges [start, end), disjoint and merged.
using Intervals = std::map<uint64_t, uint64_t>;

bool intersects(const Intervals* set, uint64_t start, uint64_t end);

struct Range {
    uint64_t offset;
    uint64_t length;
};

// What one sector read back as.
enum SectorKind {
    sector_own,   // the run's data written at this address
    sector_moved, // the run's data written at another address
    sector_zeros,
    sector_ones,
    sector_old, // what it held before the probe wrote it
    sector_other,
    sector_unreadable,
};

struct Observation {
    uint64_t address;
    SectorKind kind;
    uint64_t named; // sector_moved: the address its data was written to
};

// One write to the drive: position counts the bytes written before it.
struct WriteEntry {
    uint64_t offset;
    uint64_t length;
    uint64_t position;
};

struct Probe {
    const ProbeDevice* device;
    BackupJournal journal;
    const ProbeOptions* options;
    ProbeResult* result;
    uint64_t size; // the claimed size in whole sectors
    uint64_t sector;
    SavedData saved;
    Intervals saved_ranges;
    std::map<uint64_t, size_t> saved_by_offset; // a saved range's offset: its index
    Intervals written_ranges;
    std::vector<WriteEntry> write_log; // every write, in order
    uint64_t written_total;            // bytes written so far
    std::vector<unsigned char> buffer;
    std::vector<unsigned char> batch; // pieces read together, kept from one batch to the next
    bool failed;         // the drive or the backup failed: stop and restore
    ProbeEnd failed_how; // which: probe_stopped_by_drive or probe_stopped_by_backup
    bool stopped;        // a stop request
    // The drive turned read-only (past_read_only) or stopped answering
    // (past_gone) at the write that failed, whose last sector is event_at;
    // past_nothing: it did neither.
    PastCapacity event;
    uint64_t event_at;
    bool back; // after such an event: unplugged and plugged in again, it answers
    // The drive that came back after a replug does not hold the probe's
    // first write: another drive, or one that lost it all. Nothing more is
    // written to it.
    bool foreign;
    char* message;
    size_t capacity;
};

uint64_t align_down(uint64_t value, uint64_t unit);

// Marks the probe failed (it stops and restores) with the first failure's
// message and cause.
bool fail(Probe* probe, ProbeEnd how, const char* what);
// A failed backup stops the probe: nothing is written that is not saved.
bool backup_failed(Probe* probe);
// Whether the probe should stop: a stop request, or a failure.
bool should_stop(Probe* probe);

// Reads, counted and timed. A read that fails is tried once more: a drive
// whose reads fail past its capacity fails again, and that is what it does
// there; one that answers the second time failed by chance, and the probe
// cannot trust what it reads: it stops.
bool read_device(Probe* probe, uint64_t offset, size_t length, unsigned char* buffer);

// The age of a write: the bytes written since the sector's last write
// began, its own included. A cache of the latest K bytes written answers
// for a sector while its age is at most K.
constexpr uint64_t never_written = UINT64_MAX;
uint64_t write_age(const Probe* probe, uint64_t address);
// The sector whose last write has this age, or never_written when the
// sector written then was written again later.
uint64_t address_of_age(const Probe* probe, uint64_t age);

// Saves the ranges, commits the backup, then writes the run's data to them
// in the order given. written[k] tells whether range k was written: a range
// the drive could not read for saving is left alone.
std::vector<char> save_and_write(Probe* probe, const std::vector<Range>& ranges);

// What the sector data read back at address is, and what reading it gives.
Observation classify(const Probe* probe, uint64_t address, const unsigned char* data);
Observation look_at(Probe* probe, uint64_t address);
// The sectors at addresses looked at, in order, several reads in flight
// where the drive can take them: the same reads as look_at one by one.
constexpr size_t looks_at_once = 256;
std::vector<Observation> look_at_all(Probe* probe, const std::vector<uint64_t>& addresses);

} // namespace probe_internal
