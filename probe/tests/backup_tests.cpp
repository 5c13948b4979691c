// The backup's format, the restore's order, and the run's data naming its
// address.
#include "backup.h"
#include "fake_drive.h"
#include "run_data.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

constexpr uint64_t MiB = uint64_t{1} << 20;

const GeneratorState run = {{0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x0BADF00D}, 4 * weyl_increment};

std::vector<unsigned char> sample_backup(size_t* first_record_end) {
    BackupHeader header = {64 * MiB, 512, run, "usb-Fake_Stick_0123"};
    std::vector<unsigned char> bytes = backup_header_bytes(&header);
    std::vector<unsigned char> data(1024);
    for (size_t k = 0; k < data.size(); ++k) {
        data[k] = static_cast<unsigned char>(k * 7 + 1);
    }
    std::vector<unsigned char> first = backup_record_head(4096, 1024, data.data());
    bytes.insert(bytes.end(), first.begin(), first.end());
    bytes.insert(bytes.end(), data.begin(), data.end());
    *first_record_end = bytes.size();
    std::vector<unsigned char> second = backup_record_head(512, 512, data.data() + 512);
    bytes.insert(bytes.end(), second.begin(), second.end());
    bytes.insert(bytes.end(), data.begin() + 512, data.end());
    return bytes;
}

TEST(Backup, ReadsBackWhatWasWrittenAndLeavesOutARecordCutShort) {
    size_t first_end;
    std::vector<unsigned char> bytes = sample_backup(&first_end);
    // size: the whole backup, then cut inside the second record's head and
    // inside its data.
    const struct {
        size_t size;
        size_t records;
        bool cut_short;
    } cases[] = {{bytes.size(), 2, false},
                 {first_end + 10, 1, true},
                 {bytes.size() - 1, 1, true},
                 {first_end, 1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        BackupHeader header;
        SavedData saved;
        bool cut_short;
        char message[256] = "";
        ASSERT_TRUE(parse_backup(bytes.data(), c.size, &header, &saved, &cut_short, message,
                                 sizeof message))
            << message;
        EXPECT_EQ(header.device_size, 64 * MiB);
        EXPECT_EQ(header.sector_size, 512u);
        EXPECT_EQ(header.identity, "usb-Fake_Stick_0123");
        EXPECT_EQ(0, std::memcmp(header.run.word, run.word, sizeof run.word));
        EXPECT_EQ(cut_short, c.cut_short);
        ASSERT_EQ(saved.ranges.size(), c.records);
        EXPECT_EQ(saved.ranges[0].offset, 4096u);
        EXPECT_EQ(saved.ranges[0].length, 1024u);
        EXPECT_EQ(saved.bytes[saved.ranges[0].at + 5], 36);
    }
}

TEST(Backup, RefusesDamage) {
    size_t first_end;
    std::vector<unsigned char> good = sample_backup(&first_end);
    // A byte changed: in the magic, the header's size, a record's data.
    const size_t damaged_at[] = {0, 17, first_end - 3};
    for (size_t at : damaged_at) {
        SCOPED_TRACE(at);
        std::vector<unsigned char> bytes = good;
        bytes[at] ^= 0x40;
        BackupHeader header;
        SavedData saved;
        bool cut_short;
        char message[256] = "";
        EXPECT_FALSE(parse_backup(bytes.data(), bytes.size(), &header, &saved, &cut_short, message,
                                  sizeof message));
        EXPECT_NE(message[0], 0);
    }
}

TEST(Backup, RefusesAnotherDrive) {
    size_t first_end;
    std::vector<unsigned char> bytes = sample_backup(&first_end);
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
        EXPECT_FALSE(restore_from_backup(&device, "usb-Fake_Stick_0123", bytes.data(), bytes.size(),
                                         &outcome, message, sizeof message));
        EXPECT_EQ(drive.writes, 0u);
    }
    const FakeDriveSetup same = {"same", 64 * MiB, 64 * MiB, 0, fake_genuine, 512, 0, content_user};
    make_fake_drive(&drive, &same);
    ProbeDevice device = fake_device(&drive);
    RestoreOutcome outcome;
    char message[256] = "";
    EXPECT_FALSE(restore_from_backup(&device, "usb-Other_Stick_9", bytes.data(), bytes.size(),
                                     &outcome, message, sizeof message));
    EXPECT_EQ(drive.writes, 0u);
    EXPECT_TRUE(restore_from_backup(&device, "usb-Fake_Stick_0123", bytes.data(), bytes.size(),
                                    &outcome, message, sizeof message))
        << message;
    EXPECT_EQ(outcome.sectors_written, 3u);
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
    uint64_t first_difference;
    EXPECT_TRUE(storage_intact(&drive, &first_difference)) << first_difference;
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
