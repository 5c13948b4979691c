// Drives in memory for the probe's tests: genuine ones and the fakes that
// claim more than they hold, each described by one table row. A fake keeps
// its real storage apart from the addresses it claims, so a test can tell
// byte for byte whether the user's data survived.
#pragma once

#include "device.h"
#include "generator.h"

#include <csignal>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

enum FakeBehaviour {
    fake_genuine,     // holds every address it claims
    fake_wraps,       // past real: address a reaches low + (a - low) mod (real - low)
    fake_drops_zeros, // past real: writes lost, reads give zeros
    fake_drops_ones,  // past real: writes lost, reads give FF
    fake_drops_old,   // past real: writes lost, reads give what was there before
    fake_drops_other, // past real: writes lost, reads give new garbage each time
    fake_fails_reads, // past real: writes lost, reads fail
    fake_mirrors,     // past real: writes lost, reads give the storage at a mod real
};

// What the storage holds before the probe.
enum FakeContent {
    content_user,      // the user's files: bytes with no pattern
    content_zeros,     // a new drive
    content_other_run, // a drive that sprayl filled before, with another run
};

struct FakeDriveSetup {
    const char* name;
    uint64_t claimed; // bytes it says it holds
    uint64_t real;    // bytes it holds
    uint64_t low;     // fake_wraps: addresses below it are never reached by others
    FakeBehaviour behaviour;
    uint32_t sector;
    uint64_t cache; // bytes of the latest writes that reads answer from
    FakeContent content;
};

struct FakeDrive {
    FakeDriveSetup setup;
    // Real storage, in chunks written at least once; the others still hold
    // their first content.
    std::unordered_map<uint64_t, std::vector<unsigned char>> chunks;
    // The cache: sector address to data and the write that put it there.
    std::unordered_map<uint64_t, std::pair<uint64_t, std::vector<unsigned char>>> cached;
    std::deque<std::pair<uint64_t, uint64_t>> cache_order;
    uint64_t cache_writes;
    int64_t writes_left; // when it reaches 0 the drive is gone (a kill); -1: never
    bool gone;           // every access fails
    // The write or read call with this index (from 0) fails, the drive
    // staying; -1: none.
    int64_t failing_write;
    int64_t failing_read;
    int64_t stop_after; // writes after which stop is raised; -1: never
    volatile std::sig_atomic_t* stop;
    uint64_t garbage_reads;
    double clock; // simulated seconds
    uint64_t writes, reads, bytes_written, bytes_read;
};

void make_fake_drive(FakeDrive* drive, const FakeDriveSetup* setup);

// A backup file in memory. It fails its writes from the fail_write-th on
// (counted from 1; 0: never), keeping only the first partial bytes of the
// failing one (a full disk, a kill part way), and its flushes from the
// fail_flush-th on. With a drive, a kill ends both: once the drive is gone,
// nothing more reaches the backup either, and with kill, the failing write
// is a kill that takes the drive with it.
struct FakeBackup {
    std::vector<unsigned char> bytes;
    uint64_t writes;
    uint64_t flushes;
    uint64_t fail_write;
    size_t partial;
    uint64_t fail_flush;
    FakeDrive* drive;
    bool kill;
};

BackupSink fake_backup_sink(FakeBackup* backup);

// The drive as the probe sees it.
ProbeDevice fake_device(FakeDrive* drive);

// The first content of storage bytes [offset, offset + length).
void first_content(const FakeDriveSetup* setup, uint64_t offset, size_t length, unsigned char* out);

// Whether the real storage holds its first content everywhere; if not,
// the storage offset of the first difference.
bool storage_intact(const FakeDrive* drive, uint64_t* first_difference);
