// sprayl-check --probe and --restore as a program: the drives and backups
// it refuses, probes stopped early by their backup, their drive or a
// request, and fake drives (a FUSE file standing for the drive, under a
// loop device) probed, killed part way and restored from whole, cut and
// damaged backups; the drive's data checked byte for byte afterwards.
// Loop devices, FUSE and tmpfs need root; without, the tests say why they
// skip.
#include "program_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

std::string loop_unavailable() {
    if (geteuid() != 0) {
        return "loop devices need root";
    }
    if (access("/sys/dev/block", F_OK) != 0) {
        return "no /sys here: the probe refuses to work without it";
    }
    if (run_shell("command -v losetup mkfs.ext2").exit_code != 0) {
        return "losetup or mkfs.ext2 missing (tools/install-deps installs them)";
    }
    return "";
}

// Attaches path to a loop device (read-only when asked); "" when none can be had.
std::string attach(const std::string& path, bool read_only = false) {
    ProgramRun loop =
        run_shell(std::string("losetup --find --show ") + (read_only ? "-r " : "") + path);
    std::string device = loop.out.substr(0, loop.out.find('\n'));
    if (!device.empty()) {
        detach_loops_later(path);
    }
    return device;
}

void detach(const std::string& device) {
    run_shell("losetup -d " + device);
}

// A file of size mebibytes of no pattern: the user's data.
std::string user_data(const std::string& name, int mebibytes) {
    std::string path = scratch_path(name);
    run_shell("head -c " + std::to_string(mebibytes) + "M /dev/urandom > " + path);
    return path;
}

TEST(ProbeProgram, DrivesItRefusesAreLeftAlone) {
    std::string image = user_data("refused.img", 16);
    std::string before = read_all_text(image);
    struct Case {
        const char* name;
        std::string command; // after "sprayl-check "
        std::string err;     // a part of the one line on standard error
        bool needs_loop;
    };
    std::string missing = loop_unavailable();
    std::string device = missing.empty() ? attach(image) : "";
    std::string read_only = missing.empty() ? attach(image, true) : "";
    std::string ext2 = scratch_path("mounted.img");
    std::string mounted;
    // A mount point with a space, which mountinfo writes as \040.
    std::string mount_point = scratch_path("mounted here");
    if (missing.empty()) {
        std::filesystem::create_directories(mount_point);
        run_shell("truncate -s 16M " + ext2 + " && mkfs.ext2 -q -F " + ext2);
        mounted = attach(ext2);
        run_shell("mount " + mounted + " '" + mount_point + "'");
        clean_up_later("umount '" + mount_point + "'");
    }
    std::string taken = write_file("taken.backup", Bytes(10, 'x'));
    const Case cases[] = {
        {"a regular file", "--probe " + image, "is not a block device", false},
        {"nothing there", "--probe " + scratch_path("none"), "No such file or directory", false},
        {"a mounted file system", "--probe " + mounted,
         "holds a mounted file system (on " + mount_point + "): unmount it first", true},
        {"a read-only drive", "--probe " + read_only, "is read-only", true},
        {"a backup that exists", "--probe " + device + " --backup " + taken, "exists already",
         true},
        {"the drive as its own backup", "--probe " + device + " --backup " + device,
         "is the drive probed", true},
        {"the file as its own backup", "--probe " + image + " --file-as-drive --backup " + image,
         "is the drive probed", false},
        {"a backup of another drive", "--restore " + taken + " " + device, "backup", true},
    };
    for (const Case& c : cases) {
        if (c.needs_loop && !missing.empty()) {
            continue;
        }
        ProgramRun run = run_shell(sprayl_check + " " + c.command);
        EXPECT_EQ(run.exit_code, 2) << c.name << "\n" << run.out << run.err;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << c.name << ": " << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << c.name << ": " << run.err;
    }
    EXPECT_EQ(read_all_text(image), before) << "a refused probe wrote to the drive";
    EXPECT_EQ(read_all_text(taken), std::string(10, 'x'));
    if (!missing.empty()) {
        GTEST_SKIP() << "only the refusals without a loop device ran: " << missing;
    }
}

// A fake drive: claims 1 GiB (or claims), holds 80 MiB of the user's data,
// and does past it what mode says. Its loop device, or "" with why_not.
struct FakeDrive {
    std::string directory; // the FUSE mount with the file "drive"
    std::string device;
    std::string user; // what it held before: a copy of its 80 MiB
    std::string why_not;
};

FakeDrive start_fake_drive(const std::string& name, const std::string& mode,
                           const char* claims = "1G") {
    FakeDrive fake = {scratch_path(name), "", "", loop_unavailable()};
    if (fake.why_not.empty() && std::string(fake_drive_program_path).empty()) {
        fake.why_not = "the fake drive was not built: no libfuse3 (tools/install-deps installs it)";
    }
    if (fake.why_not.empty() && access("/dev/fuse", R_OK | W_OK) != 0) {
        fake.why_not = "no /dev/fuse here";
    }
    if (!fake.why_not.empty()) {
        return fake;
    }
    std::filesystem::create_directories(fake.directory);
    ProgramRun started = run_shell(std::string(fake_drive_program_path) + " --claims " + claims +
                                   " --holds 80M" + " --past " + mode + " -s " + fake.directory);
    clean_up_later("umount " + fake.directory);
    fake.user = user_data(name + ".user", 80);
    run_shell("dd if=" + fake.user + " of=" + fake.directory +
              "/drive bs=1M conv=notrunc status=none");
    fake.device = started.exit_code == 0 ? attach(fake.directory + "/drive") : "";
    if (fake.device.empty()) {
        fake.why_not = "cannot start the fake drive here: " + started.err;
    }
    return fake;
}

// Whether the fake drive holds the user's data as before, byte for byte.
bool holds_the_user_data(const FakeDrive& fake) {
    return run_shell("head -c 80M " + fake.directory + "/drive | cmp -s - " + fake.user)
               .exit_code == 0;
}

void stop_fake_drive(const FakeDrive& fake) {
    detach(fake.device);
    run_shell("umount " + fake.directory);
}

TEST(ProbeProgram, FakeDrivesAreNamedAndKeepTheirData) {
    struct Case {
        const char* mode;
        const char* verdict;
    };
    const Case cases[] = {
        {"wrap", "verdict: the drive holds 80.00 MiB of the 1.00 GiB it claims: it wraps around"
                 " every 80.00 MiB"},
        {"zeros", "verdict: the drive holds 80.00 MiB of the 1.00 GiB it claims: writes past"
                  " 80.00 MiB of the drive were lost: reads there give zeros"},
    };
    for (const Case& c : cases) {
        FakeDrive fake = start_fake_drive(std::string("probed-") + c.mode, c.mode);
        if (!fake.why_not.empty()) {
            GTEST_SKIP() << fake.why_not;
        }
        std::string backup = scratch_path(std::string("probed-") + c.mode + ".backup");
        std::filesystem::remove(backup);
        ProgramRun run =
            run_shell(sprayl_check + " --probe " + fake.device + " --backup " + backup);
        EXPECT_EQ(run.exit_code, 1) << c.mode << "\n" << run.out << run.err;
        EXPECT_TRUE(has_line(run.out, c.verdict)) << run.out;
        EXPECT_TRUE(has_line(run.out, "result: FAKE")) << run.out;
        EXPECT_NE(run.out.find("to use only its real storage"), std::string::npos) << run.out;
        EXPECT_FALSE(std::filesystem::exists(backup)) << "kept after a confirmed restore";
        EXPECT_TRUE(holds_the_user_data(fake)) << c.mode;
        stop_fake_drive(fake);
    }
}

// The length a backup had flushed before its last write to the drive: the
// field after its header (magic, version, sector size, drive size, run,
// identity length, identity, checksum).
uint64_t flushed_length(const Bytes& backup) {
    uint32_t identity = 0;
    for (int k = 0; k < 4; ++k) {
        identity |= static_cast<uint32_t>(backup.at(40 + static_cast<size_t>(k))) << (8 * k);
    }
    uint64_t flushed = 0;
    for (int k = 0; k < 8; ++k) {
        flushed |= static_cast<uint64_t>(backup.at(52 + identity + static_cast<size_t>(k)))
                   << (8 * k);
    }
    return flushed;
}

// Whether text has a line that starts with start.
bool has_line_starting(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0 ||
           text.find("\n" + start) != std::string::npos;
}

// A probe of device killed with SIGKILL once its backup holds 2 MB; its
// output is the exit status of the probe, "137\n" when it was killed.
ProgramRun kill_probe_part_way(const std::string& device, const std::string& backup) {
    std::filesystem::remove(backup);
    return run_shell(
        sprayl_check + " --probe " + device + " --backup '" + backup + "' > /dev/null & " +
        "pid=$!; while kill -0 $pid 2>/dev/null && [ \"$(stat -c %s '" + backup + "'" +
        " 2>/dev/null || echo 0)\" -lt 2000000 ]; do :; done; kill -9 $pid; wait $pid; echo $?");
}

// Killed with SIGKILL part way, once the backup holds some sectors: the
// drive holds some of the probe's data. --restore of the backup cut short,
// or with a record damaged, puts back what is whole, names what is not and
// exits 1, the backup kept; of the whole backup it puts every byte back,
// exits 0 and removes the backup. A drive that wraps: the probe saves its
// witness there (a drive that loses writes and has no cache is done after
// a few dozen sectors).
TEST(ProbeProgram, AKilledProbeIsUndoneByRestore) {
    FakeDrive fake = start_fake_drive("killed", "wrap");
    if (!fake.why_not.empty()) {
        GTEST_SKIP() << fake.why_not;
    }
    std::string backup = scratch_path("killed.backup");
    std::string cut = scratch_path("killed-cut.backup");
    std::string damaged = scratch_path("killed-damaged.backup");
    // Backups of this drive that an earlier repetition kept would stop the probe.
    std::filesystem::remove(cut);
    std::filesystem::remove(damaged);
    ProgramRun killed = kill_probe_part_way(fake.device, backup);
    ASSERT_EQ(killed.out, "137\n") << "the probe ended before it could be killed: " << killed.err;
    ASSERT_TRUE(std::filesystem::exists(backup));
    EXPECT_FALSE(holds_the_user_data(fake)) << "killed before it wrote anything";
    // Cut inside its last flushed record, and that record's data damaged.
    Bytes whole = read_whole(backup);
    uint64_t flushed = flushed_length(whole);
    ASSERT_LT(flushed, whole.size());
    write_bytes(cut, Bytes(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(flushed - 100)));
    Bytes changed = whole;
    changed[flushed - 300] ^= 0x10;
    write_bytes(damaged, changed);
    struct Case {
        std::string backup;
        const char* names; // the start of the line that names what is not restored
    };
    const Case partial[] = {{cut, "missing: records from "}, {damaged, "damaged: record "}};
    for (const Case& c : partial) {
        SCOPED_TRACE(c.backup);
        ProgramRun restore = run_shell(sprayl_check + " --restore " + c.backup + " " + fake.device);
        EXPECT_EQ(restore.exit_code, 1) << restore.out << restore.err;
        EXPECT_TRUE(has_line(restore.out, "result: NOT ALL RESTORED")) << restore.out;
        EXPECT_TRUE(has_line_starting(restore.out, c.names)) << restore.out;
        EXPECT_TRUE(has_line(restore.out, "data: backup kept: " + c.backup)) << restore.out;
        EXPECT_FALSE(has_line_starting(restore.out, "result: restored")) << restore.out;
        EXPECT_TRUE(std::filesystem::exists(c.backup));
        EXPECT_FALSE(holds_the_user_data(fake));
    }
    ProgramRun restore = run_shell(sprayl_check + " --restore " + backup + " " + fake.device);
    EXPECT_EQ(restore.exit_code, 0) << restore.out << restore.err;
    EXPECT_TRUE(has_line(restore.out, "result: restored")) << restore.out;
    EXPECT_TRUE(has_line(restore.out, "data: backup removed: " + backup)) << restore.out;
    EXPECT_FALSE(std::filesystem::exists(backup));
    EXPECT_TRUE(holds_the_user_data(fake));
    stop_fake_drive(fake);
}

std::string checksum(const std::string& path);

// A backup that a killed probe left in a folder stops every new probe of
// that drive whose backup would go to that folder, before anything is
// written, with one line that gives the command to restore it; a probe of
// another drive runs. The drive's storage and the backup are as they
// were; the backup then restores the drive. A pipe named like a backup is
// not read.
TEST(ProbeProgram, AnUnrestoredBackupOfTheDriveStopsANewProbe) {
    FakeDrive fake = start_fake_drive("unrestored", "wrap");
    if (!fake.why_not.empty()) {
        GTEST_SKIP() << fake.why_not;
    }
    std::string folder = scratch_path("earlier backups");
    std::filesystem::remove_all(folder); // from an earlier repetition
    std::filesystem::create_directories(folder);
    std::string backup = folder + "/sprayl-probe-earlier.backup";
    ASSERT_EQ(kill_probe_part_way(fake.device, backup).out, "137\n");
    // Named like a backup, but a pipe: reading it would wait for a writer.
    ASSERT_EQ(run_shell("mkfifo '" + folder + "/a pipe.backup'").exit_code, 0);
    std::string other = attach(user_data("another-drive.img", 16));
    ASSERT_FALSE(other.empty());
    std::string storage = "head -c 80M " + fake.directory + "/drive | md5sum";
    std::string storage_sum = run_shell(storage).out;
    std::string backup_sum = checksum("'" + backup + "'");
    struct Case {
        const char* name;
        std::string command; // run in the folder
        std::string restore; // the command the refusal gives; "": the probe runs
    };
    std::string by_name = "sprayl-check --restore sprayl-probe-earlier.backup " + fake.device;
    const Case cases[] = {
        {"its backup by the default name", sprayl_check + " --probe " + fake.device, by_name},
        {"its backup by another name", sprayl_check + " --probe " + fake.device + " --backup mine",
         by_name},
        {"the earlier backup given",
         sprayl_check + " --probe " + fake.device + " --backup '" + backup + "'",
         "sprayl-check --restore '" + backup + "' " + fake.device},
        {"another drive", sprayl_check + " --probe " + other, ""},
    };
    for (const Case& c : cases) {
        ProgramRun run = run_shell("cd '" + folder + "' && " + c.command);
        if (!c.restore.empty()) {
            EXPECT_EQ(run.exit_code, 2) << c.name << "\n" << run.out << run.err;
            EXPECT_NE(run.err.find(c.restore), std::string::npos) << c.name << ": " << run.err;
            EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << c.name << ": " << run.err;
            EXPECT_EQ(run.out, "") << c.name;
        } else {
            EXPECT_EQ(run.exit_code, 0) << c.name << "\n" << run.out << run.err;
            EXPECT_TRUE(has_line(run.out, "result: genuine")) << run.out;
        }
        EXPECT_EQ(run_shell(storage).out, storage_sum) << c.name;
        EXPECT_EQ(checksum("'" + backup + "'"), backup_sum) << c.name;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                                std::filesystem::directory_iterator()),
                  2)
            << c.name << ": a new backup was left";
    }
    ProgramRun restored = run_shell(sprayl_check + " --restore '" + backup + "' " + fake.device);
    EXPECT_EQ(restored.exit_code, 0) << restored.out << restored.err;
    EXPECT_TRUE(holds_the_user_data(fake));
    stop_fake_drive(fake);
}

// An image of the user's data on its own loop device, and its checksum.
struct UserDrive {
    std::string image;
    std::string device;
    std::string sum;
};

std::string checksum(const std::string& path) {
    ProgramRun sum = run_shell("md5sum < " + path);
    return sum.out;
}

// A tmpfs of size bytes mounted at a new directory in the scratch
// directory; "" when it cannot be mounted.
std::string small_tmpfs(const std::string& name, const char* size) {
    std::string directory = scratch_path(name);
    std::filesystem::create_directories(directory);
    if (run_shell("mount -t tmpfs -o size=" + std::string(size) + " tmpfs " + directory)
            .exit_code != 0) {
        return "";
    }
    clean_up_later("umount " + directory);
    return directory;
}

// A probe stopped early names no capacity, says what stopped it, puts
// everything back and exits 2 (the backup or the drive) or 130 (a stop
// request); the drive's bytes are as they were. The backup: on a tmpfs too
// small for it. The drive: a sparse image on a tmpfs too small for the
// probe's writes, whose loop device fails them. The request: SIGTERM once
// the backup holds the first places.
TEST(ProbeProgram, AProbeStoppedEarlyNamesNoCapacity) {
    std::string missing = loop_unavailable();
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    std::string small = small_tmpfs("small-backup", "256k");
    std::string tiny = small_tmpfs("tiny-drive", "2m");
    if (small.empty() || tiny.empty()) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    std::string user = user_data("stopped.img", 64);
    std::string sparse = tiny + "/sparse.img";
    run_shell("head -c 1M " + user + " > " + sparse + " && truncate -s 64M " + sparse);
    struct Case {
        const char* name;
        std::string image;
        std::string backup;
        const char* stop; // shell commands run beside the probe ($pid), or ""
        int exit_code;
        const char* verdict;
        const char* result;
    };
    const Case cases[] = {
        {"the backup full", user, small + "/probe.backup", "", 2,
         "verdict: not probed to the end: the backup failed, and the probe writes nothing it has"
         " not saved; what the drive really holds is not known",
         "result: INCOMPLETE, stopped: the backup failed"},
        {"the drive failing writes", sparse, scratch_path("failing.backup"), "", 2,
         "verdict: not probed to the end: the drive failed a write, a flush or a read; what the"
         " drive really holds is not known",
         "result: INCOMPLETE, stopped: the drive failed"},
        {"a stop request", user, scratch_path("stopped.backup"),
         "while kill -0 $pid 2>/dev/null && [ ! -s BACKUP ]; do :; done; kill -TERM $pid", 130,
         "verdict: not probed to the end: stopped on request before an answer; what the drive"
         " really holds is not known",
         "result: INCOMPLETE, stopped on request"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string device = attach(c.image);
        ASSERT_FALSE(device.empty());
        std::string before = checksum(c.image);
        std::string stop = c.stop;
        size_t at = stop.find("BACKUP");
        if (at != std::string::npos) {
            stop.replace(at, 6, c.backup);
        }
        ProgramRun run = run_shell(sprayl_check + " --probe " + device + " --backup " + c.backup +
                                   " & pid=$!; " + (stop.empty() ? ":" : stop) + "; wait $pid");
        EXPECT_EQ(run.exit_code, c.exit_code) << run.out << run.err;
        EXPECT_TRUE(has_line(run.out, c.verdict)) << run.out;
        EXPECT_TRUE(has_line(run.out, c.result)) << run.out;
        EXPECT_EQ(run.out.find("holds all"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("\nreal: "), std::string::npos) << run.out;
        EXPECT_TRUE(has_line_starting(run.out, "data: ")) << run.out;
        EXPECT_NE(run.out.find("backup removed: " + c.backup), std::string::npos) << run.out;
        EXPECT_FALSE(std::filesystem::exists(c.backup));
        detach(device);
        EXPECT_EQ(checksum(c.image), before) << "the drive's bytes changed";
    }
}

// On a terminal the probe asks for a replug where only one can show the
// truth, and waits for the drive to leave and come back: here its loop
// device detached and the FUSE file attached again (which empties the
// fake's cache and brings a drive that turned read-only back), under
// another name, as a stick plugged into another port. The probe finds it
// by its identity, goes on there and puts the user's data back itself.
TEST(ProbeProgram, ADriveUnpluggedAndPluggedInAgainWhenAskedIsFoundUnderItsNewName) {
    if (run_shell("command -v script").exit_code != 0) {
        GTEST_SKIP() << "no script(1) to give the probe a terminal";
    }
    struct Case {
        const char* name;
        const char* mode; // the fake's --past and what else it does
        const char* line; // of the report
    };
    const Case cases[] = {
        // Larger than the witness a quarter of the drive allows.
        {"cache", "zeros --cache 96M", "result: FAKE"},
        {"read-only", "zeros --then read-only",
         "of the 256.00 MiB it claims: at its first write past that it turned read-only"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDrive fake = start_fake_drive(std::string("replugged-") + c.name, c.mode, "256M");
        if (!fake.why_not.empty()) {
            GTEST_SKIP() << fake.why_not;
        }
        std::string backup = scratch_path(std::string("replugged-") + c.name + ".backup");
        std::string out = backup + ".out", terminal = backup + ".terminal";
        // Takes the name the drive had, so that it comes back under another.
        std::string stand_in = user_data(std::string("stand-in-") + c.name, 1);
        detach_loops_later(stand_in);
        std::filesystem::remove(backup);
        ProgramRun run = run_shell(
            "script -qfec '" + sprayl_check + " --probe " + fake.device + " --backup " + backup +
            " > " + out + "' " + terminal + " & pid=$!; i=0; until grep -q 'plug it in again' " +
            terminal + " 2>/dev/null || [ $i -ge 600 ]; do sleep 0.1; i=$((i+1)); done; " +
            "losetup -d " + fake.device + "; sleep 1; losetup -f " + stand_in + "; " +
            "losetup -f --show " + fake.directory + "/drive; wait $pid");
        std::string report = read_all_text(out), asked = read_all_text(terminal);
        EXPECT_EQ(run.exit_code, 1) << report << asked << run.err;
        EXPECT_NE(asked.find("the drive is back"), std::string::npos) << asked;
        EXPECT_NE(report.find(c.line), std::string::npos) << report;
        EXPECT_NE(report.find("all written back and read back as saved"), std::string::npos)
            << report;
        EXPECT_FALSE(std::filesystem::exists(backup)) << "kept after a confirmed restore";
        std::string back_as = run.out.substr(0, run.out.find('\n'));
        EXPECT_NE(back_as, fake.device) << "the drive came back under the name it had";
        fake.device = back_as;
        EXPECT_TRUE(holds_the_user_data(fake));
        stop_fake_drive(fake);
    }
}

// On a terminal the probe shows how far it is on standard error; its
// time includes the restore at the end.
TEST(ProbeProgram, ShowsProgressOnATerminal) {
    if (run_shell("command -v script").exit_code != 0) {
        GTEST_SKIP() << "no script(1) to give the probe a terminal";
    }
    std::string image = user_data("progress.img", 16);
    std::string before = checksum(image);
    std::string backup = scratch_path("progress.backup");
    std::string probe = sprayl_check + " --probe " + image + " --file-as-drive --backup " + backup;
    ProgramRun plain = run_shell(probe);
    if (plain.err.find("Invalid argument") != std::string::npos) {
        GTEST_SKIP() << "the scratch directory's file system does not take O_DIRECT";
    }
    EXPECT_EQ(plain.exit_code, 0) << plain.out << plain.err;
    EXPECT_EQ(plain.err.find("read and written"), std::string::npos) << plain.err;
    EXPECT_TRUE(has_line_starting(plain.out, "time: ")) << plain.out;
    EXPECT_NE(plain.out.find(" s, of which the restore "), std::string::npos) << plain.out;
    ProgramRun shown = run_shell("script -qec '" + probe + " >/dev/null' /dev/null");
    EXPECT_EQ(shown.exit_code, 0) << shown.out << shown.err;
    EXPECT_NE(shown.out.find("read and written "), std::string::npos) << shown.out;
    EXPECT_EQ(checksum(image), before);
}

} // namespace

namespace {

// The text report's line that starts with label, without it; "" where
// there is none.
std::string line_after(const std::string& report, const std::string& label) {
    size_t at = ("\n" + report).find("\n" + label);
    if (at == std::string::npos) {
        return "";
    }
    size_t start = at + label.size();
    return report.substr(start, report.find('\n', start) - start);
}

// --probe --json: the report for programs, read with the tests' strict
// reader, says what the text report says (verdict, kind, capacity, bytes
// written and read, the partition, the data's fate), of a fake drive, a
// genuine one with the document on standard output, a destructive probe
// and a refused one; a document that would overwrite the drive is refused
// before anything is read or written.
TEST(ProbeProgram, TheReportForProgramsSaysWhatTheTextSays) {
    FakeDrive fake = start_fake_drive("json-probed", "wrap");
    if (!fake.why_not.empty()) {
        GTEST_SKIP() << fake.why_not;
    }
    std::string genuine = attach(user_data("json-genuine.img", 16));
    ASSERT_FALSE(genuine.empty());
    std::string json = scratch_path("probe.json");
    std::string backup = scratch_path("json-probe.backup");
    struct Case {
        const char* name;
        std::string command;
        bool json_on_stdout;
        int exit_code;
        const char* result;
        const char* kind; // "" for no probe
        uint64_t capacity;
        const char* fate;
    };
    const Case cases[] = {
        {"a fake", "--probe " + fake.device + " --backup " + backup + " --json " + json, false, 1,
         "damaged", "fake", 80 << 20, "restored"},
        {"a genuine drive, to standard output",
         "--probe " + genuine + " --backup " + backup + " --json -", true, 0, "intact", "genuine",
         16 << 20, "restored"},
        {"destructive", "--probe " + genuine + " --destructive --json " + json, false, 0, "intact",
         "genuine", 16 << 20, "not_saved"},
        {"refused", "--probe " + scratch_path("json-genuine.img") + " --json " + json, false, 2,
         "failed", "", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(json);
        ProgramRun run = run_shell(sprayl_check + " " + c.command);
        EXPECT_EQ(run.exit_code, c.exit_code) << run.out << run.err;
        std::string text = c.json_on_stdout ? run.err : run.out;
        JsonValue document;
        std::string error;
        ASSERT_TRUE(parse_json(c.json_on_stdout ? run.out : read_all_text(json), &document, &error))
            << error;
        EXPECT_EQ(json_text_at(document, "mode"), "probe");
        EXPECT_EQ(json_text_at(document, "result"), c.result);
        EXPECT_EQ(json_text_at(document, "exit_code"), std::to_string(c.exit_code));
        EXPECT_EQ(json_text_at(document, "fill"), "null");
        EXPECT_EQ(json_text_at(document, "check"), "null");
        if (c.kind[0] == '\0') {
            EXPECT_EQ(json_text_at(document, "probe"), "null");
            EXPECT_EQ(json_text_at(document, "verdict"), "null");
            EXPECT_NE(json_text_at(document, "error").find("is not a block device"),
                      std::string::npos);
            continue;
        }
        EXPECT_EQ(json_text_at(document, "error"), "null");
        EXPECT_EQ(json_text_at(document, "verdict"), line_after(text, "verdict: "));
        EXPECT_EQ(json_text_at(document, "probe.kind"), c.kind);
        EXPECT_EQ(json_number(json_at(document, "probe.capacity")), c.capacity);
        EXPECT_EQ(json_text_at(document, "probe.data.fate"), c.fate);
        EXPECT_EQ(
            json_text_at(document, "probe.written.bytes") + " bytes",
            line_after(text, "written: ").substr(0, line_after(text, "written: ").find(" in")));
        EXPECT_EQ(json_text_at(document, "probe.read.bytes") + " bytes",
                  line_after(text, "read: ").substr(0, line_after(text, "read: ").find(" in")));
        bool fake_drive = std::string(c.kind) == "fake";
        EXPECT_EQ(json_text_at(document, "probe.past_capacity"), fake_drive ? "wraps" : "nothing");
        EXPECT_EQ(json_text_at(document, "probe.partition.sectors"),
                  fake_drive ? std::to_string((80 - 1) * 2048) : "(none)");
        EXPECT_EQ(json_text_at(document, "probe.data.backup_removed"),
                  std::string(c.fate) == "restored" ? "true" : "false");
        EXPECT_EQ(json_text_at(document, "drive"), "null") << "a loop device tells nothing";
    }
    EXPECT_TRUE(holds_the_user_data(fake));
    // The document may not be written over the drive, nor the backup.
    std::string before = checksum(genuine);
    const std::string onto[] = {genuine, backup};
    for (const std::string& target : onto) {
        ProgramRun run = run_shell(sprayl_check + " --probe " + genuine + " --backup " + backup +
                                   " --json " + target);
        EXPECT_EQ(run.exit_code, 2) << run.out << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("refusing to write the JSON report"), std::string::npos) << run.err;
    }
    EXPECT_EQ(checksum(genuine), before);
    EXPECT_FALSE(std::filesystem::exists(backup));
    stop_fake_drive(fake);
}

} // namespace
