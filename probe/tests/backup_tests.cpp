// The backup's format and whether it shows that it is whole, the
// restore's order, what a restore from a damaged or cut backup names, and
// the run's data naming its address.
#include "backup.h"
#include "fake_drive.h"
#include "probe.h"
#include "probe_report.h"
#include "restore.h"
#include "run_data.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint64_t MiB = uint64_t{1} << 20;

const GeneratorState run = {{0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x0BADF00D}, 4 * weyl_increment};

std::vector<unsigned char> sample_data() {
    std::vector<unsigned char> data(1024);
    for (size_t k = 0; k < data.size(); ++k) {
        data[k] = static_cast<unsigned char>(k * 7 + 1);
    }
    return data;
}

// Where a sample backup's pieces end.
struct SampleEnds {
    size_t header; // the header and the flushed field
    size_t first;  // the first record
    size_t second; // the second record (committed: the flushed length)
    size_t third;  // a third record, appended but not committed
};

// A backup of two records committed, a third appended after; closed when
// asked (the third then committed with it).
std::vector<unsigned char> sample_backup(bool closed, SampleEnds* ends) {
    FakeBackup file = {};
    BackupSink sink = fake_backup_sink(&file);
    BackupHeader header = {64 * MiB, 512, run, "usb-Fake_Stick_0123", 0};
    BackupJournal journal;
    std::vector<unsigned char> data = sample_data();
    EXPECT_TRUE(backup_start(&journal, &sink, &header));
    ends->header = file.bytes.size();
    EXPECT_TRUE(backup_append(&journal, 4096, 1024, data.data()));
    ends->first = file.bytes.size();
    EXPECT_TRUE(backup_append(&journal, 512, 512, data.data() + 512));
    ends->second = file.bytes.size();
    EXPECT_TRUE(backup_commit(&journal));
    EXPECT_TRUE(backup_append(&journal, 8192, 512, data.data()));
    ends->third = file.bytes.size();
    if (closed) {
        EXPECT_TRUE(backup_close(&journal, 32 * MiB));
    }
    return file.bytes;
}

BackupContents parsed(const std::vector<unsigned char>& bytes, size_t size) {
    BackupContents contents;
    char message[256] = "";
    EXPECT_TRUE(parse_backup(bytes.data(), size, &contents, message, sizeof message)) << message;
    return contents;
}

// Cut anywhere, the backup knows whether it still holds every record it
// had flushed before a write to the drive; past the flushed length, a
// record cut short was never followed by a write and is left out quietly.
TEST(Backup, ShowsWhetherItIsWholeWhereverItIsCut) {
    SampleEnds ends;
    std::vector<unsigned char> open = sample_backup(false, &ends);
    std::vector<unsigned char> closed = sample_backup(true, &ends);
    struct Case {
        const char* name;
        const std::vector<unsigned char>* bytes;
        size_t size;
        BackupWholeness wholeness;
        size_t records; // whole ones read
        bool whole;
    };
    const Case cases[] = {
        {"closed", &closed, closed.size(), backup_closed, 3, true},
        {"closed, its closing record cut", &closed, closed.size() - 3, backup_cut_short, 3, false},
        {"open", &open, open.size(), backup_open, 3, true},
        {"open, its last record cut: never committed", &open, ends.third - 5, backup_open, 2, true},
        {"open, cut after the committed records", &open, ends.second, backup_open, 2, true},
        {"cut inside a committed record", &open, ends.second - 100, backup_cut_short, 1, false},
        {"cut at a committed record's start", &open, ends.first, backup_cut_short, 1, false},
        {"cut before its first record", &open, ends.header, backup_cut_short, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BackupContents contents = parsed(*c.bytes, c.size);
        EXPECT_EQ(contents.header.version, 2u);
        EXPECT_EQ(contents.header.device_size, 64 * MiB);
        EXPECT_EQ(contents.header.identity, "usb-Fake_Stick_0123");
        EXPECT_EQ(0, std::memcmp(contents.header.run.word, run.word, sizeof run.word));
        EXPECT_EQ(contents.wholeness, c.wholeness);
        EXPECT_EQ(contents.saved.ranges.size(), c.records);
        EXPECT_EQ(backup_is_whole(&contents), c.whole);
        EXPECT_EQ(contents.trusted_limit, c.wholeness == backup_closed ? 32 * MiB : 64 * MiB);
        if (!c.whole) {
            // The records from the first one lost on: their places unknown.
            ASSERT_EQ(contents.unreadable.size(), 1u);
            EXPECT_EQ(contents.unreadable[0].first_record, c.records);
        }
    }
}

// A byte changed: in a record's data the record is damaged but its place
// known; in a record's head or the closing record the records there are
// unreadable; in the flushed field the backup cannot show it is whole; in
// the header it is refused.
TEST(Backup, NamesWhatIsDamaged) {
    SampleEnds ends;
    std::vector<unsigned char> good = sample_backup(true, &ends);
    std::vector<unsigned char> open = sample_backup(false, &ends);
    struct Case {
        const char* name;
        const std::vector<unsigned char>* bytes;
        size_t at;
        BackupWholeness wholeness;
        size_t damaged;
        size_t unreadable;
        size_t records; // whole ones read
    };
    const Case cases[] = {
        {"a record's data", &good, ends.first - 3, backup_closed, 1, 0, 2},
        {"a record's length", &good, ends.first + 8, backup_closed, 0, 1, 2},
        {"a record's number", &good, ends.header + 5, backup_closed, 0, 1, 2},
        {"the closing record", &good, good.size() - 10, backup_open, 0, 1, 3},
        {"the flushed field", &good, ends.header - 12, backup_closed, 0, 0, 3},
        {"the data of a record never flushed", &open, ends.third - 3, backup_open, 0, 0, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<unsigned char> bytes = *c.bytes;
        bytes[c.at] ^= 0x40;
        BackupContents contents = parsed(bytes, bytes.size());
        EXPECT_EQ(contents.wholeness, c.wholeness);
        EXPECT_EQ(contents.damaged.size(), c.damaged);
        EXPECT_EQ(contents.unreadable.size(), c.unreadable);
        EXPECT_EQ(contents.saved.ranges.size(), c.records);
        EXPECT_EQ(backup_is_whole(&contents), c.damaged + c.unreadable == 0);
        if (c.damaged > 0) {
            EXPECT_EQ(contents.damaged[0].number, 0u);
            EXPECT_EQ(contents.damaged[0].offset, 4096u);
            EXPECT_EQ(contents.damaged[0].length, 1024u);
        }
    }
    const size_t refused_at[] = {0, 17, ends.header - 20};
    for (size_t at : refused_at) {
        std::vector<unsigned char> bytes = good;
        bytes[at] ^= 0x40;
        BackupContents contents;
        char message[256] = "";
        EXPECT_FALSE(parse_backup(bytes.data(), bytes.size(), &contents, message, sizeof message));
        EXPECT_NE(message[0], 0);
    }
}

// FNV-1a, as the first version of the backup wrote it.
uint64_t fnv(uint64_t sum, const unsigned char* bytes, size_t size) {
    for (size_t k = 0; k < size; ++k) {
        sum = (sum ^ bytes[k]) * 1099511628211ull;
    }
    return sum;
}

void put(std::vector<unsigned char>* out, uint64_t value, int bytes) {
    for (int k = 0; k < bytes; ++k) {
        out->push_back(static_cast<unsigned char>(value >> (8 * k)));
    }
}

// A backup in the first version's format: the same header, no flushed
// field, records without numbers.
std::vector<unsigned char> version_1_backup(const char* identity, const SavedData* saved) {
    std::vector<unsigned char> out = {'S', 'P', 'R', 'A', 'Y', 'L', 'P', 'B'};
    put(&out, 1, 4);
    put(&out, 512, 4);
    put(&out, 64 * MiB, 8);
    for (uint32_t word : run.word) {
        put(&out, word, 4);
    }
    put(&out, std::strlen(identity), 4);
    out.insert(out.end(), identity, identity + std::strlen(identity));
    put(&out, fnv(14695981039346656037ull, out.data(), out.size()), 8);
    for (const SavedRange& range : saved->ranges) {
        std::vector<unsigned char> fields;
        put(&fields, range.offset, 8);
        put(&fields, range.length, 4);
        uint64_t sum = fnv(fnv(14695981039346656037ull, fields.data(), fields.size()),
                           saved->bytes.data() + range.at, range.length);
        out.insert(out.end(), {'S', 'R', 'E', 'C'});
        put(&out, range.length, 4);
        put(&out, range.offset, 8);
        put(&out, sum, 8);
        out.insert(out.end(), saved->bytes.begin() + static_cast<ptrdiff_t>(range.at),
                   saved->bytes.begin() + static_cast<ptrdiff_t>(range.at + range.length));
    }
    return out;
}

// Writes the run's data where saved says, as a killed probe left it.
void write_probe_data(const ProbeDevice* device, const SavedData* saved) {
    std::vector<unsigned char> data;
    for (const SavedRange& range : saved->ranges) {
        data.resize(range.length);
        run_bytes(&run, range.offset, range.length, data.data());
        ASSERT_TRUE(device->write(device->context, range.offset, range.length, data.data()));
    }
}

// Saves what the drive holds at the offsets (a sector each).
SavedData save_sectors(const ProbeDevice* device, const std::vector<uint64_t>& offsets) {
    SavedData saved;
    std::vector<unsigned char> sector(512);
    for (uint64_t offset : offsets) {
        EXPECT_TRUE(device->read(device->context, offset, 512, sector.data()));
        saved.ranges.push_back({offset, 512, saved.bytes.size()});
        saved.bytes.insert(saved.bytes.end(), sector.begin(), sector.end());
    }
    return saved;
}

// A version 1 backup cannot show that it is whole: with nothing left where
// it names, it is restored only "as far as the backup shows", for a record
// cut away at its end leaves the probe's data where no record names it.
TEST(Backup, ReadsTheFirstVersionAndSaysItCannotShowItIsWhole) {
    const FakeDriveSetup setup = {"v1", 64 * MiB, 64 * MiB, 0, fake_genuine, 512, 0, content_user};
    static FakeDrive drive;
    const struct {
        const char* name;
        size_t records_kept; // of 3; the probe wrote all 3
        RestoreVerdict verdict;
    } cases[] = {
        {"all its records", 3, restored_all_it_names},
        {"its last record cut away: the probe's data is left there", 2, restored_all_it_names},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        make_fake_drive(&drive, &setup);
        ProbeDevice device = fake_device(&drive);
        SavedData saved = save_sectors(&device, {4096, 1 * MiB, 9 * MiB});
        write_probe_data(&device, &saved);
        SavedData kept = saved;
        kept.ranges.resize(c.records_kept);
        std::vector<unsigned char> bytes = version_1_backup("fake", &kept);
        BackupContents contents = parsed(bytes, bytes.size());
        EXPECT_EQ(contents.header.version, 1u);
        EXPECT_EQ(contents.wholeness, backup_unproven);
        RestoreOutcome outcome;
        char message[256] = "";
        ASSERT_TRUE(
            restore_from_backup(&device, "fake", &contents, &outcome, message, sizeof message));
        EXPECT_EQ(restore_verdict(&contents, &outcome), c.verdict);
        uint64_t first_difference;
        EXPECT_EQ(storage_intact(&drive, &first_difference), c.records_kept == 3);
    }
}

TEST(Backup, RefusesAnotherDrive) {
    SampleEnds ends;
    std::vector<unsigned char> bytes = sample_backup(true, &ends);
    BackupContents contents = parsed(bytes, bytes.size());
    const FakeDriveSetup others[] = {
        {"another size", 128 * MiB, 128 * MiB, 0, fake_genuine, 512, 0, content_user},
        {"another sector size", 64 * MiB, 64 * MiB, 0, fake_genuine, 4096, 0, content_user},
    };
    static FakeDrive drive;
    for (const FakeDriveSetup& setup : others) {
        SCOPED_TRACE(setup.name);
        make_fake_drive(&drive, &setup);
        ProbeDevice device = fake_device(&drive);
        RestoreOutcome outcome;
        char message[256] = "";
        EXPECT_FALSE(restore_from_backup(&device, "usb-Fake_Stick_0123", &contents, &outcome,
                                         message, sizeof message));
        EXPECT_EQ(drive.writes, 0u);
    }
    const FakeDriveSetup same = {"same", 64 * MiB, 64 * MiB, 0, fake_genuine, 512, 0, content_user};
    make_fake_drive(&drive, &same);
    ProbeDevice device = fake_device(&drive);
    RestoreOutcome outcome;
    char message[256] = "";
    EXPECT_FALSE(restore_from_backup(&device, "usb-Other_Stick_9", &contents, &outcome, message,
                                     sizeof message));
    EXPECT_EQ(drive.writes, 0u);
    EXPECT_TRUE(restore_from_backup(&device, "usb-Fake_Stick_0123", &contents, &outcome, message,
                                    sizeof message))
        << message;
    EXPECT_EQ(outcome.sectors_written, 4u);
    EXPECT_EQ(restore_verdict(&contents, &outcome), restored_all);
}

// Two addresses sharing storage, saved in turn: the second save read the
// probe's data. The restore must leave the first save's bytes, whatever
// order; sectors of the probe's run are not written back.
TEST(Restore, LeavesTheFirstSavedDataWhereAddressesShareStorage) {
    const FakeDriveSetup setup = {"wraps", 64 * MiB, 32 * MiB, 0, fake_wraps, 512, 0, content_user};
    static FakeDrive drive;
    make_fake_drive(&drive, &setup);
    ProbeDevice device = fake_device(&drive);
    SavedData saved;
    std::vector<unsigned char> sector(512);
    const uint64_t addresses[] = {1000 * 512, 1000 * 512 + 32 * MiB};
    for (uint64_t address : addresses) {
        ASSERT_TRUE(device.read(device.context, address, 512, sector.data()));
        saved.ranges.push_back({address, 512, saved.bytes.size()});
        saved.bytes.insert(saved.bytes.end(), sector.begin(), sector.end());
        run_bytes(&run, address, 512, sector.data());
        ASSERT_TRUE(device.write(device.context, address, 512, sector.data()));
    }
    RestoreOutcome outcome;
    EXPECT_TRUE(restore_saved(&device, &run, &saved, 32 * MiB, &outcome));
    EXPECT_EQ(outcome.sectors_written, 1u);
    EXPECT_EQ(outcome.sectors_skipped, 1u);
    EXPECT_TRUE(outcome.left.empty());
    uint64_t first_difference;
    EXPECT_TRUE(storage_intact(&drive, &first_difference)) << first_difference;
}

// The sectors of a genuine fake (storage at its own address) that differ
// from what it first held.
std::vector<uint64_t> differing_sectors(const FakeDrive* drive) {
    std::vector<uint64_t> differing;
    std::vector<unsigned char> first(512);
    for (const auto& chunk : drive->chunks) {
        uint64_t base = chunk.first * chunk.second.size();
        for (size_t at = 0; at < chunk.second.size(); at += 512) {
            first_content(&drive->setup, base + at, 512, first.data());
            if (std::memcmp(first.data(), chunk.second.data() + at, 512) != 0) {
                differing.push_back(base + at);
            }
        }
    }
    return differing;
}

bool in_left(const RestoreOutcome* outcome, uint64_t offset) {
    for (const LeftRange& range : outcome->left) {
        if (offset >= range.offset && offset - range.offset < range.length) {
            return true;
        }
    }
    return false;
}

// A probe killed part way, its backup then damaged: the restore puts back
// every whole record, and the sectors that still differ from the user's
// data are exactly those the report names, or lie in records it says are
// missing. Never "restored".
TEST(Restore, NamesWhatADamagedBackupLeaves) {
    const FakeDriveSetup setup = {"genuine",    64 * MiB, 64 * MiB, 0,
                                  fake_genuine, 512,      0,        content_user};
    static FakeDrive drive;
    enum Damage { cut_at, flip_data_of, flip_head_of };
    const struct {
        const char* name;
        Damage damage;
        size_t record; // the record damaged, or cut at
    } cases[] = {
        {"cut at a record's start", cut_at, 5},
        {"cut inside a record", cut_at, 7},
        {"a record's data damaged", flip_data_of, 3},
        {"a record's head damaged", flip_head_of, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        make_fake_drive(&drive, &setup);
        drive.setup.gone_at_write = 20; // killed in the first pass, writing the witness
        ProbeDevice device = fake_device(&drive);
        FakeBackup file = {};
        file.drive = &drive;
        BackupSink sink = fake_backup_sink(&file);
        ProbeOptions options = {run, "fake", false, nullptr};
        ProbeResult result;
        char message[256] = "";
        EXPECT_FALSE(probe_drive(&device, &sink, &options, &result, message, sizeof message));
        drive.gone = false;
        drive.setup.gone_at_write = -1;
        BackupContents whole = parsed(file.bytes, file.bytes.size());
        ASSERT_TRUE(backup_is_whole(&whole));
        ASSERT_GT(whole.saved.ranges.size(), c.record);
        // Where record k starts in the file: after the header, the flushed
        // field and the records before it, each 36 bytes of head.
        size_t start = file.bytes.size();
        for (size_t k = whole.saved.ranges.size(); k-- > c.record;) {
            start -= 36 + whole.saved.ranges[k].length;
        }
        std::vector<unsigned char> bytes = file.bytes;
        size_t size = bytes.size();
        if (c.damage == cut_at) {
            size = start + (c.record == 7 ? 100 : 0);
        } else {
            bytes[start + (c.damage == flip_data_of ? 40 : 10)] ^= 1;
        }
        BackupContents contents = parsed(bytes, size);
        EXPECT_FALSE(backup_is_whole(&contents));
        RestoreOutcome outcome;
        ASSERT_TRUE(
            restore_from_backup(&device, "fake", &contents, &outcome, message, sizeof message));
        EXPECT_EQ(restore_verdict(&contents, &outcome), restored_partly);
        // Each sector still differing is named as left, or lies in a
        // record named missing (those from c.record on).
        for (uint64_t offset : differing_sectors(&drive)) {
            bool missing = false;
            for (size_t k = c.record; k < whole.saved.ranges.size(); ++k) {
                const SavedRange& range = whole.saved.ranges[k];
                missing =
                    missing || (offset >= range.offset && offset < range.offset + range.length);
            }
            bool named_missing = !contents.unreadable.empty() && missing;
            EXPECT_TRUE(in_left(&outcome, offset) || named_missing) << offset;
        }
        std::string report;
        write_restore_report(
            &contents, &outcome, "probe.backup", false,
            [](void* context, const char* line) { *static_cast<std::string*>(context) += line; },
            &report);
        EXPECT_NE(report.find("\nresult: NOT ALL RESTORED\n"), std::string::npos) << report;
        EXPECT_NE(report.find(c.damage == flip_data_of ? "\ndamaged: record 3" : "\nmissing: "),
                  std::string::npos)
            << report;
    }
}

TEST(RunData, NamesItsOffsetAnywhereAndNothingElse) {
    std::vector<unsigned char> data(4096);
    const uint64_t offsets[] = {
        0, 512, 16384 - 512, 123456 * 512, (uint64_t{1} << 34) + 4096, (uint64_t{5} << 34) - 512};
    for (uint64_t offset : offsets) {
        SCOPED_TRACE(offset);
        run_bytes(&run, offset, data.size(), data.data());
        uint64_t found = 0;
        EXPECT_TRUE(find_run_offset(&run, data.data(), 512, uint64_t{6} << 34, &found));
        EXPECT_EQ(found, offset);
        EXPECT_TRUE(find_run_offset(&run, data.data() + 512, 3584, uint64_t{6} << 34, &found));
        EXPECT_EQ(found, offset + 512);
        // Below the limit only; another run; one byte changed late in the sector.
        EXPECT_FALSE(find_run_offset(&run, data.data(), 512, offset, &found));
        const GeneratorState other = {{1, 2, 3, 4}, 4 * weyl_increment};
        EXPECT_FALSE(find_run_offset(&other, data.data(), 512, uint64_t{6} << 34, &found));
        data[500] ^= 1;
        EXPECT_FALSE(find_run_offset(&run, data.data(), 512, uint64_t{6} << 34, &found));
    }
}

} // namespace
