// The probe and a replug: a drive unplugged and plugged in again when the
// probe asks (the fake drive model's replug: its cache emptied, a drive
// that turned read-only or dropped off the bus back), or not.
#include "fake_drive.h"
#include "probe.h"
#include "probe_report.h"
#include "table_row_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr uint64_t MiB = uint64_t{1} << 20;

const GeneratorState replug_run = {{0x2545F491, 0x4F6CDD1D, 0x9E3779B9, 0x7F4A7C15},
                                   4 * weyl_increment};

struct ReplugCase {
    const char* name;
    FakeDriveSetup drive;
    int comes_back; // replugs done when asked
    // What the probe finds.
    PastCapacity past;
    uint64_t capacity;
    uint64_t capacity_at_most; // 0: known to the sector
    bool restored;             // by the probe itself
    int asked;                 // replugs asked for
    const char* report;        // a line the report holds
};

// A cache of 96 MiB on a drive of 256 MiB: larger than the witness a
// quarter of the drive allows (64 MiB), so only a replug shows the loss.
const FakeDriveSetup big_cache = {"big cache",      256 * MiB, 128 * MiB, 0,
                                  fake_drops_zeros, 512,       96 * MiB,  content_user};
const FakeDriveSetup genuine = {"genuine",    256 * MiB, 256 * MiB, 0,
                                fake_genuine, 512,       0,         content_user};
FakeDriveSetup stops_past(FakeWritePast event) {
    FakeDriveSetup setup = {"stops",          256 * MiB, 64 * MiB, 0,
                            fake_drops_zeros, 512,       0,        content_user};
    setup.write_past = event;
    return setup;
}

// clang-format off
const ReplugCase replug_cases[] = {
    {"cache larger than the witness, no replug", big_cache, 0, past_nothing, 256 * MiB, 0, true, 1,
     "cache: none of up to 67108352 bytes (64.00 MiB) hides a loss; a larger one could"},
    {"cache larger than the witness, replugged", big_cache, 1, past_zeros, 112 * MiB + 512, 128 * MiB,
     true, 1, "at most: 134217728 bytes (128.00 MiB)"},
    {"genuine, replugged", genuine, 1, past_nothing, 256 * MiB, 0, true, 1,
     "cache: none hides a loss: after the drive was unplugged and plugged in again"},
    {"turns read-only, replugged", stops_past(fake_turns_read_only), 1, past_read_only, 48 * MiB + 512,
     64 * MiB, true, 1, "verdict: the drive holds between 48.00 MiB and 64.00 MiB of the 256.00 MiB it"
                        " claims: at its first write past that it turned read-only"},
    {"turns read-only, not replugged", stops_past(fake_turns_read_only), 0, past_read_only, 48 * MiB + 512,
     64 * MiB, false, 1, "data: NOT written back: the drive turned read-only"},
    {"drops off the bus, replugged", stops_past(fake_drops_off), 1, past_gone, 48 * MiB + 512, 64 * MiB,
     true, 1, "past it: the first write there made the drive stop answering\n"},
    {"drops off the bus, not replugged", stops_past(fake_drops_off), 0, past_gone, 48 * MiB + 512,
     64 * MiB, false, 1, "the writes below it were taken, but could not be read back"},
};
// clang-format on

// The user plugs the drive in again and restores it from the backup: the
// restore's verdict, or restore_failed where the backup does not parse.
RestoreVerdict replug_and_restore(FakeDrive* drive, const FakeBackup* backup) {
    replug_fake_drive(drive);
    char message[512] = "";
    BackupContents contents;
    if (!parse_backup(backup->bytes.data(), backup->bytes.size(), &contents, message,
                      sizeof message)) {
        ADD_FAILURE() << message;
        return restore_failed;
    }
    RestoreOutcome outcome;
    ProbeDevice plain = fake_device(drive);
    EXPECT_TRUE(restore_from_backup(&plain, "fake", &contents, &outcome, message, sizeof message))
        << message;
    return restore_verdict(&contents, &outcome);
}

class ReplugTable : public ::testing::TestWithParam<ReplugCase> {};

TEST_P(ReplugTable, TheProbeAsksForAReplugAndGoesOnWithTheDrive) {
    const ReplugCase& c = GetParam();
    static FakeDrive drive;
    make_fake_drive(&drive, &c.drive);
    FakeReplug user = {&drive, c.comes_back, 0, ""};
    ProbeDevice device = fake_replugging_device(&user);
    FakeBackup backup = {};
    BackupSink sink = fake_backup_sink(&backup);
    ProbeOptions options = {replug_run, "fake", false, nullptr};
    ProbeResult result;
    char message[512] = "";
    EXPECT_EQ(probe_drive(&device, &sink, &options, &result, message, sizeof message), c.restored)
        << message;
    EXPECT_EQ(result.end, probe_finished);
    EXPECT_EQ(result.past, c.past) << past_capacity_name(result.past);
    EXPECT_EQ(result.capacity, c.capacity);
    EXPECT_EQ(result.capacity_at_most, c.capacity_at_most);
    EXPECT_EQ(result.restored, c.restored);
    EXPECT_EQ(user.asked, c.asked) << user.why;
    EXPECT_EQ(result.replugged, c.comes_back > 0);
    std::string report;
    write_probe_report(
        &result, "/dev/fake", "probe.backup", c.restored,
        [](void* context, const char* line) { *static_cast<std::string*>(context) += line; },
        &report);
    EXPECT_NE(report.find(c.report), std::string::npos) << report;
    EXPECT_EQ(report.find("result: genuine") != std::string::npos, c.past == past_nothing)
        << report;
    if (!c.restored) {
        EXPECT_EQ(replug_and_restore(&drive, &backup), restored_all);
    }
    uint64_t first_difference;
    EXPECT_TRUE(storage_intact(&drive, &first_difference))
        << "the user's data differs at storage byte " << first_difference;
}

INSTANTIATE_TEST_SUITE_P(Replugs, ReplugTable, ::testing::ValuesIn(replug_cases),
                         [](const ::testing::TestParamInfo<ReplugCase>& row) {
                             return table_row_name(row.param.name);
                         });

// Another drive of the same size plugged in when the probe asks for a
// replug (the same name, no serial to tell them apart): the probe writes
// nothing to it, and the drive probed keeps its data in the backup.
TEST(Replug, AnotherDrivePluggedInIsNotWrittenTo) {
    const FakeDriveSetup setups[] = {big_cache, genuine, stops_past(fake_turns_read_only),
                                     stops_past(fake_drops_off)};
    for (const FakeDriveSetup& setup : setups) {
        SCOPED_TRACE(setup.name);
        static FakeDrive drive;
        static FakeDrive other;
        make_fake_drive(&drive, &setup);
        make_fake_drive(&other, &genuine);
        FakeReplug user = {&drive, 1, 0, "", &other};
        ProbeDevice device = fake_replugging_device(&user);
        FakeBackup backup = {};
        BackupSink sink = fake_backup_sink(&backup);
        ProbeOptions options = {replug_run, "fake", false, nullptr};
        ProbeResult result;
        char message[512] = "";
        EXPECT_FALSE(probe_drive(&device, &sink, &options, &result, message, sizeof message));
        EXPECT_EQ(user.asked, 1);
        EXPECT_EQ(result.end, probe_stopped_by_drive) << message;
        EXPECT_EQ(other.writes, 0u);
        uint64_t first_difference;
        EXPECT_TRUE(storage_intact(&other, &first_difference)) << first_difference;
        // The drive probed, plugged in again, is restored from the backup
        // (one that gives up at a write past what it holds would give up
        // again at the restore's writes there, which only a capacity found
        // leaves out).
        if (setup.write_past != fake_takes_writes) {
            continue;
        }
        replug_and_restore(&drive, &backup);
        EXPECT_TRUE(storage_intact(&drive, &first_difference)) << first_difference;
    }
}

} // namespace
