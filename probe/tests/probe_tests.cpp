// The probe against every kind of fake drive: the answer it gives, the
// user's data afterwards byte for byte, and the backup after a kill.
#include "fake_drive.h"
#include "probe.h"
#include "probe_report.h"
#include "table_row_name.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr uint64_t MiB = uint64_t{1} << 20;
constexpr uint64_t GiB = uint64_t{1} << 30;

struct ProbeCase {
    FakeDriveSetup drive;
    PastCapacity past;
    uint64_t capacity;
    uint64_t wrap_distance;        // past_wraps
    uint64_t low_area;             // past_wraps
    uint64_t second_capacity = 0;  // an unstable drive: what the second look finds; 0: stable
    uint64_t capacity_at_most = 0; // known only between capacity and this; 0: to the sector
};

// Caches reported on real sticks, of 3, 31 and 63 MB, in whole sectors.
constexpr uint64_t cache_3_mb = 3000000 / 512 * 512;
constexpr uint64_t cache_31_mb = 31000000 / 512 * 512;
constexpr uint64_t cache_63_mb = 63000000 / 512 * 512;

// clang-format off
const ProbeCase probe_cases[] = {
    {{"genuine", GiB, GiB, 0, fake_genuine, 512, 0, content_user}, past_nothing, GiB, 0, 0},
    {{"genuine, odd size, cache", GiB + 7 * 512, GiB + 7 * 512, 0, fake_genuine, 512, 4 * MiB, content_user},
     past_nothing, GiB + 7 * 512, 0, 0},
    {{"genuine, small", 16 * MiB, 16 * MiB, 0, fake_genuine, 512, 0, content_zeros}, past_nothing, 16 * MiB, 0, 0},
    {{"wraps at a power of two", 8 * GiB, GiB, 0, fake_wraps, 512, 0, content_user},
     past_wraps, GiB, GiB, 0},
    {{"wraps at another size", 4 * GiB, 1000 * MiB + 3 * 512, 0, fake_wraps, 512, 0, content_user},
     past_wraps, 1000 * MiB + 3 * 512, 1000 * MiB + 3 * 512, 0},
    {{"wraps above a kept low area", 2 * GiB, 768 * MiB, 16 * MiB, fake_wraps, 512, 0, content_user},
     past_wraps, 768 * MiB, 752 * MiB, 16 * MiB},
    {{"wraps beyond 16 GiB", 64 * GiB, 32 * GiB, 0, fake_wraps, 512, 0, content_zeros},
     past_wraps, 32 * GiB, 32 * GiB, 0},
    {{"wraps, 4 KiB sectors, cache, old sprayl data", 4 * GiB, 1536 * MiB + 5 * 4096, 64 * MiB, fake_wraps,
      4096, 4 * MiB, content_other_run},
     past_wraps, 1536 * MiB + 5 * 4096, 1472 * MiB + 5 * 4096, 64 * MiB},
    // The second look's places past the capacity read back from the cache.
    {{"wraps at a quarter, 4 MiB cache", 256 * MiB, 64 * MiB, 0, fake_wraps, 512, 4 * MiB, content_user},
     past_wraps, 64 * MiB, 64 * MiB, 0},
    {{"wraps, odd sizes", 3 * GiB + 5 * 512, GiB + 9 * 512, MiB + 512, fake_wraps, 512, 0, content_user},
     past_wraps, GiB + 9 * 512, GiB + 8 * 512 - MiB, MiB + 512},
    {{"wraps, last 4 MiB only", GiB, GiB - 4 * MiB, 0, fake_wraps, 512, 0, content_user},
     past_wraps, GiB - 4 * MiB, GiB - 4 * MiB, 0},
    {{"wraps, 2 TiB claimed, 128 GiB held, old sprayl data", 2048 * GiB, 128 * GiB, 0, fake_wraps, 512, 0,
      content_other_run},
     past_wraps, 128 * GiB, 128 * GiB, 0},
    {{"wraps, last 4 MiB only, above a kept low area", GiB, GiB - 4 * MiB, 97 * MiB, fake_wraps, 512, 0,
      content_user},
     past_wraps, GiB - 4 * MiB, GiB - 101 * MiB, 97 * MiB},
    {{"drops, zeros", 2 * GiB, 512 * MiB + 7 * 512, 0, fake_drops_zeros, 512, 0, content_user},
     past_zeros, 512 * MiB + 7 * 512, 0, 0},
    {{"drops, FF", GiB, 300 * MiB, 0, fake_drops_ones, 512, 0, content_user}, past_ones, 300 * MiB, 0, 0},
    {{"drops, old data", 4 * GiB, GiB, 0, fake_drops_old, 512, 0, content_user}, past_old_data, GiB, 0, 0},
    {{"drops, other data", 2 * GiB, 700 * MiB + 512, 0, fake_drops_other, 512, 0, content_user},
     past_other_data, 700 * MiB + 512, 0, 0},
    {{"drops, reads give lower storage", 2 * GiB, 600 * MiB + 512, 0, fake_mirrors, 512, 0, content_user},
     past_old_data, 600 * MiB + 512, 0, 0},
    // Reads past the capacity show data the probe wrote lower down, as if
    // the drive wrapped, but writes there are lost: other data. (Above,
    // they showed only what the sectors held before.)
    {{"drops, reads give lower storage, at a power of two", 2 * GiB, 512 * MiB, 0, fake_mirrors, 512, 0,
      content_user},
     past_other_data, 512 * MiB, 0, 0},
    {{"fails reads", GiB, 256 * MiB + 512, 0, fake_fails_reads, 512, 0, content_user},
     past_read_errors, 256 * MiB + 512, 0, 0},
    {{"drops, zeros, 4 MiB cache", 2 * GiB, GiB + 3 * 512, 0, fake_drops_zeros, 512, 4 * MiB, content_user},
     past_zeros, GiB + 3 * 512, 0, 0},
    {{"drops, old sprayl data, 6 MiB cache", 8 * GiB, 2 * GiB + 8 * 512, 0, fake_drops_old, 512, 6 * MiB,
      content_other_run},
     past_old_data, 2 * GiB + 8 * 512, 0, 0},
    {{"drops, last MiB only, 2 MiB cache", GiB, GiB - MiB, 0, fake_drops_zeros, 512, 2 * MiB, content_user},
     past_zeros, GiB - MiB, 0, 0},
    // A cache larger than the top of the drive that a smaller witness wrote:
    // every write it read back came from the cache.
    {{"drops, FF, 32 MiB cache", 4 * GiB, GiB, 0, fake_drops_ones, 512, 32 * MiB, content_user},
     past_ones, GiB, 0, 0},
    // A cache of two sectors shows among the first single sectors; one of
    // 48 MiB only once the witness has doubled to 64 MiB.
    {{"drops, zeros, 1 KiB cache", 2 * GiB, 900 * MiB + 512, 0, fake_drops_zeros, 512, 1024,
      content_user},
     past_zeros, 900 * MiB + 512, 0, 0},
    {{"drops, old data, 48 MiB cache", 4 * GiB, 3 * GiB + 5 * 512, 0, fake_drops_old, 512, 48 * MiB,
      content_user},
     past_old_data, 3 * GiB + 5 * 512, 0, 0},
    // Sectors of 4 KiB, and drives that map their storage in blocks larger
    // than the sectors they report.
    {{"drops, zeros, 4 KiB sectors", 2 * GiB, 513 * MiB + 3 * 4096, 0, fake_drops_zeros, 4096, 0,
      content_user},
     past_zeros, 513 * MiB + 3 * 4096, 0, 0},
    {{"wraps, 512-byte sectors in 1 MiB blocks", 4 * GiB, 700 * MiB, 0, fake_wraps, MiB, 0, content_user,
      512},
     past_wraps, 700 * MiB, 700 * MiB, 0},
    {{"drops, FF, 4 KiB sectors in 64 KiB blocks", 2 * GiB, 900 * MiB + 5 * 65536, 0, fake_drops_ones,
      65536, 0, content_zeros, 4096},
     past_ones, 900 * MiB + 5 * 65536, 0, 0},
    // Drives whose capacity changes between the first look and the second.
    {{"unstable: holds 512 MiB, then 256 MiB", GiB, 512 * MiB, 0, fake_drops_zeros, 512, 0, content_user, 0,
      256 * MiB, 46},
     past_zeros, 512 * MiB, 0, 0, 256 * MiB},
    // Caches seen on real sticks: of 3, 31 and 63 MB, and of 256 MiB, which
    // a witness of 64 MiB took for a genuine drive.
    {{"drops, FF, 3 MB cache", 2 * GiB, 700 * MiB + 512, 0, fake_drops_ones, 512, cache_3_mb, content_user},
     past_ones, 700 * MiB + 512, 0, 0},
    {{"drops, old data, 31 MB cache", 4 * GiB, 3 * GiB, 0, fake_drops_old, 512, cache_31_mb, content_user},
     past_old_data, 3 * GiB, 0, 0},
    {{"drops, zeros, 63 MB cache", 4 * GiB, GiB + 5 * 512, 0, fake_drops_zeros, 512, cache_63_mb, content_zeros},
     past_zeros, GiB + 5 * 512, 0, 0},
    {{"drops, zeros, 256 MiB cache", 4 * GiB, GiB, 0, fake_drops_zeros, 512, 256 * MiB, content_user},
     past_zeros, GiB, 0, 0},
    // At its first write past what it holds, the drive turns read-only or
    // drops off the bus: known between the last place written below it
    // (768 MiB, a sixteenth of the drive) and that write. Nothing can be
    // written back until it is plugged in again.
    {{"turns read-only past 1 GiB", 4 * GiB, GiB, 0, fake_drops_zeros, 512, 0, content_user, 0, 0, -1,
      fake_turns_read_only},
     past_read_only, 768 * MiB + 512, 0, 0, 0, GiB},
    {{"drops off the bus past 1 GiB", 4 * GiB, GiB, 0, fake_drops_zeros, 512, 0, content_user, 0, 0, -1,
      fake_drops_off},
     past_gone, 768 * MiB + 512, 0, 0, 0, GiB},
    {{"fails reads, 512-byte sectors in 64 KiB blocks, cache", GiB, 257 * MiB + 65536, 0, fake_fails_reads,
      65536, 2 * MiB, content_user, 512},
     past_read_errors, 257 * MiB + 65536, 0, 0},
};
// clang-format on

const ProbeCase& case_named(const std::string& name) {
    for (const ProbeCase& c : probe_cases) {
        if (name == c.drive.name) {
            return c;
        }
    }
    ADD_FAILURE() << "no fake drive named " << name;
    return probe_cases[0];
}

const GeneratorState probe_run = {{0x9E3779B9, 0x7F4A7C15, 0xF39CC060, 0x5CEDC834},
                                  4 * weyl_increment};

ProbeOptions options_for(const char* identity) {
    return {probe_run, identity, false, nullptr};
}

void append_line(void* context, const char* line) {
    *static_cast<std::string*>(context) += line;
}

// The partition of the report's sfdisk line lies inside the real storage,
// starts on a whole MiB and is counted in the drive's own sectors.
void expect_partition_inside(const ProbeResult* result, uint64_t real) {
    std::string report;
    write_probe_report(result, "/dev/fake", "", false, append_line, &report);
    size_t at = report.find("start=");
    ASSERT_NE(at, std::string::npos) << report;
    unsigned long long start = 0, size = 0;
    ASSERT_EQ(std::sscanf(report.c_str() + at, "start=%llu, size=%llu", &start, &size), 2);
    uint64_t sector = result->sector_size;
    EXPECT_GT(size, 0u);
    EXPECT_EQ(start * sector % MiB, 0u) << report;
    EXPECT_GE(start * sector, MiB) << report;
    EXPECT_LE((start + size) * sector, real) << report;
    EXPECT_GT((start + size) * sector + MiB, real) << "a whole MiB left out\n" << report;
}

// An unstable drive: both figures, no partition advised, its result and
// the user's data as it was where the drive still reaches it.
void expect_unstable(const ProbeResult* result, const FakeDrive* drive, uint64_t second) {
    EXPECT_EQ(result->second_capacity, second);
    EXPECT_STREQ(probe_result_word(result), "UNSTABLE");
    std::string report;
    write_probe_report(result, "/dev/fake", "", false, append_line, &report);
    EXPECT_EQ(report.find("sfdisk"), std::string::npos) << report;
    EXPECT_NE(report.find("second look: " + std::to_string(second) + " bytes"), std::string::npos)
        << report;
    uint64_t first_difference;
    storage_intact(drive, &first_difference);
    EXPECT_GE(first_difference, std::min(result->capacity, second));
}

void expect_intact(const FakeDrive* drive) {
    uint64_t first_difference;
    EXPECT_TRUE(storage_intact(drive, &first_difference))
        << "the user's data differs at storage byte " << first_difference;
}

RestoreVerdict restore_after_kill(FakeDrive* drive, const FakeBackup* backup);

bool stops_at_a_write(PastCapacity past) {
    return past == past_read_only || past == past_gone;
}

// A drive that turned read-only or stopped answering: its data is in the
// backup, which the report says to restore after a replug; done so, it
// brings back every byte.
void expect_restore_after_replug(const ProbeResult* result, FakeDrive* drive,
                                 const FakeBackup* backup) {
    std::string report;
    write_probe_report(result, "/dev/fake", "probe.backup", false, append_line, &report);
    EXPECT_NE(report.find("unplug the drive, plug it in again and run: sprayl-check --restore"
                          " probe.backup /dev/fake"),
              std::string::npos)
        << report;
    EXPECT_TRUE(drive->read_only || drive->gone);
    replug_fake_drive(drive);
    EXPECT_EQ(restore_after_kill(drive, backup), restored_all);
}

class ProbeTable : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeTable, FindsTheCapacityAndLeavesTheDataAsItWas) {
    const ProbeCase& c = GetParam();
    static FakeDrive drive;
    make_fake_drive(&drive, &c.drive);
    ProbeDevice device = fake_device(&drive);
    FakeBackup backup = {};
    BackupSink sink = fake_backup_sink(&backup);
    ProbeOptions options = options_for("fake");
    ProbeResult result;
    char message[512] = "";
    bool stopping = stops_at_a_write(c.past);
    EXPECT_EQ(probe_drive(&device, &sink, &options, &result, message, sizeof message), !stopping)
        << message;
    EXPECT_EQ(result.end, probe_finished);
    EXPECT_EQ(result.past, c.past) << past_capacity_name(result.past);
    EXPECT_EQ(result.capacity, c.capacity);
    EXPECT_EQ(result.capacity_at_most, c.capacity_at_most);
    EXPECT_STREQ(probe_result_word(&result), c.past == past_nothing   ? "genuine"
                                             : c.second_capacity != 0 ? "UNSTABLE"
                                                                      : "FAKE");
    if (c.past == past_wraps) {
        EXPECT_EQ(result.wrap_distance, c.wrap_distance);
        EXPECT_EQ(result.low_area, c.low_area);
    }
    if (c.past == past_nothing) {
        // No cache smaller than the witness can have hidden a loss.
        EXPECT_GE(result.cache_ruled_out + c.drive.sector, result.witness_bytes);
    }
    if (c.past != past_nothing && c.past != past_wraps && c.past != past_read_errors && !stopping) {
        // Measured, or bounded to within 64 KiB by what the reads saw.
        EXPECT_LE(result.cache_bytes, c.drive.cache);
        EXPECT_GE(result.cache_at_most, c.drive.cache);
        EXPECT_LE(result.cache_at_most - result.cache_bytes, 64 * 1024u);
        EXPECT_EQ(result.cache_measured, result.cache_bytes == result.cache_at_most);
    }
    if (c.past == past_nothing) {
        // Every sixteenth of the drive below the witness (to the sector),
        // and the witness whole.
        EXPECT_GE(result.places_sampled, 15u);
        EXPECT_LE(result.largest_gap, c.drive.claimed / 16 + c.drive.sector);
        EXPECT_GT(result.largest_gap, 0u);
    }
    EXPECT_EQ(result.sector_size, reported_sector(&c.drive));
    EXPECT_EQ(result.unstable, c.second_capacity != 0) << result.disagreed_at;
    EXPECT_EQ(result.restored, !stopping);
    if (stopping) {
        expect_partition_inside(&result, c.capacity);
        expect_restore_after_replug(&result, &drive, &backup);
        expect_intact(&drive);
    } else if (c.second_capacity != 0) {
        expect_unstable(&result, &drive, c.second_capacity);
    } else {
        if (c.past != past_nothing) {
            expect_partition_inside(&result, c.capacity);
        }
        expect_intact(&drive);
    }
    // f3probe writes half the drive or 2 GB, whichever is less.
    EXPECT_LT(result.bytes_written, std::min<uint64_t>(c.drive.claimed / 2, 2000000000));
    // Lost writes that no cache hides show in the first sectors written:
    // no witness, no cache to push out, a few rounds of single sectors
    // (128 of 512 bytes: 64 KiB).
    if (c.drive.cache == 0 && c.past != past_nothing && c.past != past_wraps &&
        result.cache_measured) {
        EXPECT_LE(result.bytes_written, 128u * result.sector_size);
    }
    std::printf("| %-52s | %-45s | %12llu | %12llu | %10llu | %8llu | %6.1f MiB | %5.1f s |\n",
                c.drive.name, past_capacity_name(result.past),
                static_cast<unsigned long long>(result.capacity),
                static_cast<unsigned long long>(result.wrap_distance),
                static_cast<unsigned long long>(result.low_area),
                static_cast<unsigned long long>(result.cache_bytes),
                static_cast<double>(result.bytes_written) / MiB, drive.clock);
}

INSTANTIATE_TEST_SUITE_P(FakeDrives, ProbeTable, ::testing::ValuesIn(probe_cases),
                         [](const ::testing::TestParamInfo<ProbeCase>& row) {
                             return table_row_name(row.param.drive.name);
                         });

// What --restore does with the backup a kill left: parsed, replayed, and
// judged. A backup cut before its header was flushed comes from a probe
// that had written nothing.
RestoreVerdict restore_after_kill(FakeDrive* drive, const FakeBackup* backup) {
    drive->gone = false;
    drive->setup.gone_at_write = -1;
    ProbeDevice device = fake_device(drive);
    BackupContents contents;
    char message[512] = "";
    if (!parse_backup(backup->bytes.data(), backup->bytes.size(), &contents, message,
                      sizeof message)) {
        EXPECT_EQ(drive->writes, 0u)
            << "the drive was written before the backup's header: " << message;
        return restored_all;
    }
    RestoreOutcome outcome;
    EXPECT_TRUE(restore_from_backup(&device, "fake", &contents, &outcome, message, sizeof message))
        << message;
    EXPECT_TRUE(backup_is_whole(&contents)) << contents.wholeness;
    return restore_verdict(&contents, &outcome);
}

// A kill at any point leaves the probe's data on the drive; the backup
// brings back every byte, and shows that it is whole, whatever the kill
// came after: a write to the drive in the first pass or the search, the
// restore at the end (after a record was flushed but before its sectors
// were written, or after), or a write to the backup (a record cut part
// way, a record appended but its flushed length not yet rewritten). The
// points: each phase's first and last write and one in its middle (two
// to the backup, a record and the rewrite of its flushed length); the
// drives: two that wrap (one above a kept low area, one with 4 KiB sectors
// and a cache), one that drops writes behind a cache, one whose reads fail.
TEST(ProbeKill, TheBackupRestoresTheDataAfterAKillAtAnyPoint) {
    const char* killed[] = {"wraps above a kept low area",
                            "wraps, 4 KiB sectors, cache, old sprayl data", "fails reads",
                            "drops, zeros, 4 MiB cache"};
    static FakeDrive drive;
    for (const char* name : killed) {
        const ProbeCase& c = case_named(name);
        make_fake_drive(&drive, &c.drive);
        ProbeDevice device = fake_device(&drive);
        FakeBackup backup = {};
        BackupSink sink = fake_backup_sink(&backup);
        ProbeOptions options = options_for("fake");
        ProbeResult result;
        char message[512] = "";
        ASSERT_TRUE(probe_drive(&device, &sink, &options, &result, message, sizeof message));
        int64_t probe_writes = static_cast<int64_t>(result.writes);
        int64_t all_writes = static_cast<int64_t>(drive.writes);
        int64_t backup_writes = static_cast<int64_t>(backup.writes);
        // A kill after k writes to the drive, or at the k-th write to the
        // backup (a negative k), half of it written.
        const int64_t kills[] = {0,
                                 1,
                                 probe_writes / 2,
                                 probe_writes - 1,
                                 probe_writes + 1,
                                 (probe_writes + all_writes) / 2,
                                 all_writes - 1,
                                 -1,
                                 -backup_writes / 2,
                                 -(backup_writes / 2 + 1),
                                 -backup_writes};
        for (int64_t kill : kills) {
            SCOPED_TRACE(std::string(c.drive.name) + ", killed at " + std::to_string(kill) +
                         " (drive writes " + std::to_string(all_writes) + ", backup writes " +
                         std::to_string(backup_writes) + ")");
            make_fake_drive(&drive, &c.drive);
            backup = {};
            backup.drive = &drive;
            if (kill >= 0) {
                drive.setup.gone_at_write = kill;
            } else {
                backup.fail_write = static_cast<uint64_t>(-kill);
                backup.partial = 20;
                backup.kill = true;
            }
            EXPECT_FALSE(probe_drive(&device, &sink, &options, &result, message, sizeof message));
            EXPECT_FALSE(result.restored);
            EXPECT_EQ(restore_after_kill(&drive, &backup), restored_all);
            expect_intact(&drive);
        }
    }
}

// The report's verdict and result lines, as they are printed.
struct ReportLinesSeen {
    std::string verdict;
    std::string result;
    std::string data;
};

ReportLinesSeen report_lines(const ProbeResult* result) {
    std::string report;
    write_probe_report(
        result, "/dev/sdx", "probe.backup", true,
        [](void* context, const char* line) { *static_cast<std::string*>(context) += line; },
        &report);
    ReportLinesSeen seen;
    for (size_t at = 0; at < report.size();) {
        size_t end = report.find('\n', at);
        std::string line = report.substr(at, end - at);
        if (line.compare(0, 9, "verdict: ") == 0) {
            seen.verdict = line;
        } else if (line.compare(0, 8, "result: ") == 0) {
            seen.result = line;
        } else if (line.compare(0, 6, "data: ") == 0) {
            seen.data = line;
        }
        at = end + 1;
    }
    return seen;
}

// Whatever stops a probe early, it names no capacity: the verdict says
// what stopped it and that the capacity is not known, never "genuine" nor
// "holds all", and everything it overwrote is put back.
TEST(ProbeStops, AProbeStoppedEarlyNamesNoCapacityAndRestoresEverything) {
    enum Failure { backup_write, backup_flush, drive_write, drive_read, stop_request };
    struct StopCase {
        const char* drive;
        Failure failure;
        int64_t at; // the failing call, counted from 1 for the backup, from 0 for the drive
        ProbeEnd end;
        const char* verdict;
        const char* result;
    };
    const char* backup_verdict =
        "verdict: not probed to the end: the backup failed, and the probe writes nothing it has"
        " not saved; what the drive really holds is not known";
    const char* drive_verdict = "verdict: not probed to the end: the drive failed a write, a flush"
                                " or a read; what the drive really holds is not known";
    const char* stop_verdict = "verdict: not probed to the end: stopped on request before an"
                               " answer; what the drive really holds is not known";
    const char* backup_result = "result: INCOMPLETE, stopped: the backup failed";
    const char* drive_result = "result: INCOMPLETE, stopped: the drive failed";
    const char* stop_result = "result: INCOMPLETE, stopped on request";
    // clang-format off
    const StopCase cases[] = {
        {"genuine", backup_write, 1, probe_stopped_by_backup, backup_verdict, backup_result},
        {"genuine", backup_write, 2, probe_stopped_by_backup, backup_verdict, backup_result},
        {"genuine", backup_write, 30, probe_stopped_by_backup, backup_verdict, backup_result},
        {"genuine", backup_write, 60, probe_stopped_by_backup, backup_verdict, backup_result},
        {"genuine", backup_flush, 1, probe_stopped_by_backup, backup_verdict, backup_result},
        {"genuine", backup_flush, 3, probe_stopped_by_backup, backup_verdict, backup_result},
        {"wraps above a kept low area", backup_write, 10, probe_stopped_by_backup, backup_verdict,
         backup_result},
        {"drops, zeros, 4 MiB cache", backup_write, 30, probe_stopped_by_backup, backup_verdict,
         backup_result},
        {"drops, zeros, 4 MiB cache", backup_flush, 4, probe_stopped_by_backup, backup_verdict,
         backup_result},
        {"genuine", drive_write, 0, probe_stopped_by_drive, drive_verdict, drive_result},
        {"genuine", drive_write, 40, probe_stopped_by_drive, drive_verdict, drive_result},
        {"wraps at a power of two", drive_write, 12, probe_stopped_by_drive, drive_verdict,
         drive_result},
        {"drops, zeros", drive_write, 3, probe_stopped_by_drive, drive_verdict, drive_result},
        {"genuine", drive_read, 0, probe_stopped_by_drive, drive_verdict, drive_result},
        {"genuine", drive_read, 30, probe_stopped_by_drive, drive_verdict, drive_result},
        {"wraps above a kept low area", drive_read, 100, probe_stopped_by_drive, drive_verdict,
         drive_result},
        {"genuine", stop_request, 0, probe_stopped_by_request, stop_verdict, stop_result},
        {"genuine", stop_request, 5, probe_stopped_by_request, stop_verdict, stop_result},
        {"wraps above a kept low area", stop_request, 5, probe_stopped_by_request, stop_verdict,
         stop_result},
    };
    // clang-format on
    static FakeDrive drive;
    for (const StopCase& c : cases) {
        SCOPED_TRACE(std::string(c.drive) + ", failure " + std::to_string(c.failure) + " at " +
                     std::to_string(c.at));
        make_fake_drive(&drive, &case_named(c.drive).drive);
        volatile std::sig_atomic_t stop = 0;
        FakeBackup backup = {};
        backup.fail_write = c.failure == backup_write ? static_cast<uint64_t>(c.at) : 0;
        backup.fail_flush = c.failure == backup_flush ? static_cast<uint64_t>(c.at) : 0;
        drive.setup.failing_write = c.failure == drive_write ? c.at : -1;
        drive.setup.failing_read = c.failure == drive_read ? c.at : -1;
        if (c.failure == stop_request) {
            drive.setup.stop = &stop;
            drive.setup.stop_at_write = c.at;
        }
        ProbeDevice device = fake_device(&drive);
        BackupSink sink = fake_backup_sink(&backup);
        ProbeOptions options = options_for("fake");
        options.stop_requested = &stop;
        ProbeResult result;
        char message[512] = "";
        EXPECT_FALSE(probe_drive(&device, &sink, &options, &result, message, sizeof message));
        EXPECT_EQ(result.end, c.end) << message;
        ReportLinesSeen seen = report_lines(&result);
        EXPECT_EQ(seen.verdict, c.verdict);
        EXPECT_EQ(seen.result, c.result);
        EXPECT_EQ(result.capacity, 0u);
        EXPECT_TRUE(result.restored) << message;
        std::string saved = "data: " + std::to_string(result.bytes_saved) + " bytes saved, all";
        EXPECT_EQ(seen.data.compare(0, saved.size(), saved), 0) << seen.data;
        // The header failing: nothing written.
        EXPECT_TRUE(c.failure != backup_write || c.at > 1 || drive.writes == 0);
        expect_intact(&drive);
    }
}

// A drive that holds all it claims but goes away at some write: where the
// write it failed reached the end of what it claims, it is not shown to
// hold less, and the probe stops, naming no capacity; where it named one,
// the range lies below the claim. Never "genuine". Each write of the
// search is the one it fails at.
TEST(ProbeStops, ADriveThatGoesAwayIsNamedOnlyForWhatItShowed) {
    const FakeDriveSetup setup = {"genuine",    64 * MiB, 64 * MiB, 0,
                                  fake_genuine, 512,      0,        content_user};
    static FakeDrive drive;
    make_fake_drive(&drive, &setup);
    ProbeDevice device = fake_device(&drive);
    FakeBackup backup = {};
    BackupSink sink = fake_backup_sink(&backup);
    ProbeOptions options = options_for("fake");
    ProbeResult result;
    char message[512] = "";
    // The writes of the search: a probe that saves nothing writes nothing
    // back (a drive gone while its data is written back is the kill test's).
    options.destructive = true;
    ASSERT_TRUE(probe_drive(&device, &sink, &options, &result, message, sizeof message));
    options.destructive = false;
    const uint64_t writes = drive.writes;
    int stopped = 0;
    for (uint64_t gone_at = 0; gone_at < writes; ++gone_at) {
        SCOPED_TRACE("gone at write " + std::to_string(gone_at));
        make_fake_drive(&drive, &setup);
        drive.setup.gone_at_write = static_cast<int64_t>(gone_at);
        backup = {};
        message[0] = '\0';
        EXPECT_FALSE(probe_drive(&device, &sink, &options, &result, message, sizeof message));
        EXPECT_NE(result.end == probe_finished && result.past == past_nothing, true) << message;
        if (result.end == probe_finished) {
            EXPECT_GT(result.capacity_at_most, 0u) << message;
            EXPECT_LT(result.capacity_at_most + result.sector_size, 64 * MiB) << message;
        } else {
            EXPECT_EQ(result.end, probe_stopped_by_drive) << message;
            EXPECT_EQ(result.capacity, 0u);
            ++stopped;
        }
    }
    // The witness at the top is written in the first pass.
    EXPECT_GT(stopped, 0);
}

// A stop request part way: everything is written back before it returns;
// one that comes during the last round is too late to stop it.
TEST(ProbeStop, AStopRequestRestoresAndSaysSo) {
    static FakeDrive drive;
    // The genuine drive is stopped early only: later, its probe runs to the
    // end through the whole witness, which the probe table covers.
    const struct {
        const char* name;
        int64_t last_stop;
    } stopped[] = {{"genuine", 5},
                   {"wraps at a power of two", 100},
                   {"wraps above a kept low area", 100},
                   {"drops, zeros", 100}};
    const int64_t stops[] = {0, 5, 25, 100};
    for (const auto& row : stopped) {
        for (int64_t stop_after : stops) {
            if (stop_after > row.last_stop) {
                continue;
            }
            const char* name = row.name;
            const ProbeCase& c = case_named(name);
            SCOPED_TRACE(std::string(c.drive.name) + ", stopped after " +
                         std::to_string(stop_after) + " writes");
            volatile std::sig_atomic_t stop = 0;
            make_fake_drive(&drive, &c.drive);
            drive.setup.stop = &stop;
            drive.setup.stop_at_write = stop_after;
            ProbeDevice device = fake_device(&drive);
            FakeBackup backup = {};
            BackupSink sink = fake_backup_sink(&backup);
            ProbeOptions options = options_for("fake");
            options.stop_requested = &stop;
            ProbeResult result;
            char message[512] = "";
            bool finished = probe_drive(&device, &sink, &options, &result, message, sizeof message);
            bool interrupted = result.end == probe_stopped_by_request;
            EXPECT_EQ(finished, !interrupted);
            EXPECT_TRUE(interrupted || result.end == probe_finished);
            EXPECT_TRUE(stop != 0 || !interrupted);
            EXPECT_TRUE(interrupted || stop_after >= 25);
            EXPECT_TRUE(!interrupted || result.capacity == 0);
            EXPECT_TRUE(result.restored);
            expect_intact(&drive);
        }
    }
}

// --destructive: the same answers, nothing saved.
TEST(ProbeDestructive, FindsTheSameWithoutSaving) {
    static FakeDrive drive;
    const char* names[] = {"wraps at a power of two", "wraps above a kept low area", "drops, zeros",
                           "fails reads"};
    for (const char* name : names) {
        const ProbeCase& c = case_named(name);
        SCOPED_TRACE(c.drive.name);
        make_fake_drive(&drive, &c.drive);
        ProbeDevice device = fake_device(&drive);
        FakeBackup backup = {};
        BackupSink sink = fake_backup_sink(&backup);
        ProbeOptions options = options_for("fake");
        options.destructive = true;
        ProbeResult result;
        char message[512] = "";
        EXPECT_TRUE(probe_drive(&device, &sink, &options, &result, message, sizeof message))
            << message;
        EXPECT_EQ(result.capacity, c.capacity);
        EXPECT_EQ(result.past, c.past);
        EXPECT_EQ(result.bytes_saved, 0u);
        EXPECT_TRUE(backup.bytes.empty());
    }
}

// Drives the probe refuses before writing anything.
TEST(ProbeRefusal, RefusesDrivesTooSmallAndSectorsItCannotHandle) {
    const FakeDriveSetup refused[] = {
        {"too small", 2 * MiB, 2 * MiB, 0, fake_genuine, 512, 0, content_user},
        {"sector of 16 bytes", 64 * MiB, 64 * MiB, 0, fake_genuine, 16, 0, content_user},
    };
    static FakeDrive drive;
    for (const FakeDriveSetup& setup : refused) {
        SCOPED_TRACE(setup.name);
        make_fake_drive(&drive, &setup);
        ProbeDevice device = fake_device(&drive);
        FakeBackup backup = {};
        BackupSink sink = fake_backup_sink(&backup);
        ProbeOptions options = options_for("fake");
        ProbeResult result;
        char message[512] = "";
        EXPECT_FALSE(probe_drive(&device, &sink, &options, &result, message, sizeof message));
        EXPECT_EQ(result.end, probe_refused);
        EXPECT_NE(message[0], 0);
        EXPECT_EQ(drive.writes, 0u);
        EXPECT_TRUE(backup.bytes.empty());
    }
}

} // namespace
