// The probe: a drive's real capacity found by writing the stream of one run
// to a few chosen places and reading back what the drive kept, every
// overwritten sector saved first and written back at the end.
//
// Byte a of the drive gets byte a of the run, so any sector read back names
// the address it was written to: a read that names another address shows
// two addresses sharing storage, at any distance.
#pragma once

#include "backup.h"
#include "device.h"
#include "drive_verdict.h"
#include "generator.h"
#include "restore.h"

#include <csignal>
#include <cstddef>
#include <cstdint>

// How a probe ended. Only a finished probe knows the drive's capacity.
enum ProbeEnd {
    probe_refused,  // nothing written: a drive or sector size it does not handle
    probe_finished, // it found its answer
    probe_stopped_by_request,
    probe_stopped_by_backup, // the backup failed a write or a flush: nothing unsaved is written
    probe_stopped_by_drive,  // the drive failed a write or a flush
};

struct ProbeOptions {
    GeneratorState run;   // state after the four header words of a fresh run
    const char* identity; // names the drive in the backup
    bool destructive;     // write without saving what is overwritten
    const volatile std::sig_atomic_t* stop_requested; // set by a stop request; may be null
};

struct ProbeResult {
    ProbeEnd end;
    char stop_reason[128]; // what stopped it: "the drive failed a write at byte 512"
    uint64_t claimed_bytes;
    uint32_t sector_size;
    // Known only when finished:
    uint64_t capacity; // bytes from offset 0 that hold what is written, to the sector
    PastCapacity past;
    uint64_t wrap_distance; // past_wraps: address a and a + wrap_distance share storage
    uint64_t low_area;      // past_wraps: addresses below it are reached by no other
    bool cache_measured;    // the cache shows only where writes are lost
    uint64_t cache_bytes;   // the most recent writes that reads answer from a cache
    uint64_t cache_at_most; // not measured to the sector: it holds at most this; 0: unknown
    // No cache up to this many bytes can have hidden a loss: every read was
    // of a write older than that. UINT64_MAX: none of any size, the drive
    // read back as written after a replug.
    uint64_t cache_ruled_out;
    // past_read_only, past_gone, or a loss that only a replug showed: the
    // capacity lies between capacity and this; otherwise 0.
    uint64_t capacity_at_most;
    bool replugged;        // the drive was unplugged and plugged in again during the probe
    bool unverified_below; // past_gone without a replug: the writes below were taken, not read
    // A second look, at other places in the other order, did not agree
    // with the first: the drive does not hold the same from one look to
    // the next. capacity is the first look's figure.
    bool unstable;
    uint64_t second_capacity; // unstable: the second look's figure
    uint64_t
        disagreed_at; // unstable: the first place that read otherwise than the first look found
    // Where it looked and how finely: whole-drive statements hold at this
    // resolution.
    uint32_t places_sampled; // single sectors written and read back
    uint64_t largest_gap;    // between places that held below the capacity
    uint64_t witness_bytes;  // written at the top: a larger cache would hide a loss
    uint64_t scan_stride;    // reads across the drive looking for the top's data
    uint64_t fine_scan_end;  // below it, the scan read every 64 KiB
    // What it did.
    uint64_t bytes_written;
    uint64_t bytes_read;
    uint64_t writes;
    uint64_t reads;
    double write_seconds;
    double read_seconds;
    double seconds; // the whole probe, its restore included
    uint64_t bytes_saved;
    bool restored; // every saved sector written back and read back as saved, none of the
                   // probe's data left
    RestoreOutcome restore;
};

// Probes device, saving each sector to backup (and in memory) before it is
// first written, unless destructive; writes everything back at the end, on a
// stop request or a failure. Returns false with message when the probe did
// not finish (result->end says why) or the restore failed (the backup then
// holds the data).
bool probe_drive(const ProbeDevice* device, const BackupSink* backup, const ProbeOptions* options,
                 ProbeResult* result, char* message, size_t capacity);
