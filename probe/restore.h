// Putting the saved sectors back, and checking that the drive holds the
// user's data again: every sector read back as saved, and none of the
// probe's data left where it wrote. At the end of a probe from what it kept
// in memory; after a kill from its backup.
#pragma once

#include "backup.h"
#include "device.h"
#include "generator.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Why a range of the drive may still hold the probe's data or lack the
// user's.
enum LeftKind {
    left_probe_data, // it holds the probe's data
    left_differs,    // it reads back other than saved
    left_damaged,    // the backup's record of it is damaged; the probe's data is not there
    left_unreadable, // the drive failed to read it back
    left_kind_count
};

struct LeftRange {
    uint64_t offset;
    uint64_t length;
    LeftKind kind;
};

struct RestoreOutcome {
    uint64_t sectors_written;   // written back
    uint64_t sectors_skipped;   // holding the probe's own run: another record has them
    uint64_t sectors_differing; // read back other than written (past the trusted limit too)
    uint64_t first_difference;  // offset of the first of those
    uint64_t writes_failed; // write calls the drive failed: their sectors are checked all the same
    bool device_failed;     // a flush or a read back failed
    double seconds;         // on the device's clock
    // Below the trusted limit, in the order found, neighbours of one kind
    // joined.
    std::vector<LeftRange> left;
};

// Writes every saved sector back, the last saved first, so that on a drive
// where two addresses share storage, what the first save read (the user's
// data) is what remains; sectors that hold the probe's own run are left
// out, since a sector is always saved before the probe's first write to it.
// Then reads every saved range back: a sector written back must read as
// saved, and none may hold the probe's data. A write the drive fails does
// not stop it: the rest is still put back, and what the failed write
// should have put back is read like the rest. True when the flush and every
// read succeeded and nothing below trusted_limit was left (above it, a fake
// drive may keep nothing of what is written).
bool restore_saved(const ProbeDevice* device, const GeneratorState* run, const SavedData* saved,
                   uint64_t trusted_limit, RestoreOutcome* outcome);

// Replays a parsed backup onto device after checking that it names this
// drive (size, sector size, identity) and that its ranges lie on it; false
// with message, nothing written, when it does not. Then looks for the
// probe's data in the ranges of damaged records. True when it could do
// that; whether all is restored is in outcome and the backup's wholeness.
bool restore_from_backup(const ProbeDevice* device, const char* identity,
                         const BackupContents* backup, RestoreOutcome* outcome, char* message,
                         size_t capacity);

// What a restore from a backup came to.
enum RestoreVerdict {
    restored_all,          // the backup whole, every sector as saved, none of the probe's data left
    restored_all_it_names, // the same where it names, but it cannot show that it is whole
    restored_partly,       // the backup is not whole, or something was left
    restore_failed,        // the drive failed part way
};

RestoreVerdict restore_verdict(const BackupContents* backup, const RestoreOutcome* outcome);
