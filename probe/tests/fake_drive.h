// Drives in memory for the probe's tests: the fake drive model
// (tests/fake_drive/fake_drive_model.h), genuine or a fake each described by
// one table row, served as the probe's device; and the backup file in
// memory.
#pragma once

#include "device.h"
#include "fake_drive_model.h"

#include <cstdint>
#include <string>
#include <vector>

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

// The drive as the probe sees it, where no replug can be asked for.
ProbeDevice fake_device(FakeDrive* drive);

// A drive that the user unplugs and plugs in again when asked, the first
// comes_back times; after that, it is not back.
struct FakeReplug {
    FakeDrive* drive;
    int comes_back;
    int asked;
    std::string why;            // of the last request
    FakeDrive* other = nullptr; // plugged in instead, where not null
};

// The drive as the probe sees it, the replug asked for through it.
ProbeDevice fake_replugging_device(FakeReplug* replug);
