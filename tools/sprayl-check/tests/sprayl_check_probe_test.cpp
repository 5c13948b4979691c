// sprayl-check --probe and --restore as a program: the drives it refuses,
// and fake drives (a FUSE file standing for the drive, under a loop device)
// probed, killed part way and restored, their data unchanged afterwards.
// Loop devices and FUSE need root; without, the tests say why they skip.
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
    ProgramRun loop = run_shell(std::string("losetup --find --show ") + (read_only ? "-r " : "") +
                                path);
    std::string device = loop.out.substr(0, loop.out.find('\n'));
    if (!device.empty()) {
        clean_up_later("losetup -d " + device);
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
        const char* err;     // a part of the one line on standard error
        bool needs_loop;
    };
    std::string missing = loop_unavailable();
    std::string device = missing.empty() ? attach(image) : "";
    std::string read_only = missing.empty() ? attach(image, true) : "";
    std::string ext2 = scratch_path("mounted.img");
    std::string mounted;
    if (missing.empty()) {
        std::filesystem::create_directories(scratch_path("mounted"));
        run_shell("truncate -s 16M " + ext2 + " && mkfs.ext2 -q -F " + ext2);
        mounted = attach(ext2);
        run_shell("mount " + mounted + " " + scratch_path("mounted"));
        clean_up_later("umount " + scratch_path("mounted"));
    }
    std::string taken = write_file("taken.backup", Bytes(10, 'x'));
    const Case cases[] = {
        {"a regular file", "--probe " + image, "is not a block device", false},
        {"nothing there", "--probe " + scratch_path("none"), "No such file or directory", false},
        {"a mounted file system", "--probe " + mounted, "holds a mounted file system (on ", true},
        {"a read-only drive", "--probe " + read_only, "is read-only", true},
        {"a backup that exists", "--probe " + device + " --backup " + taken, "File exists", true},
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

// A fake drive: claims 1 GiB, holds 80 MiB of the user's data, and does
// past it what mode says. Its loop device, or "" with why_not.
struct FakeDrive {
    std::string directory; // the FUSE mount with the file "drive"
    std::string device;
    std::string user;      // what it held before: a copy of its 80 MiB
    std::string why_not;
};

FakeDrive start_fake_drive(const std::string& name, const std::string& mode) {
    FakeDrive fake = {scratch_path(name), "", "", loop_unavailable()};
    if (fake.why_not.empty() && std::string(SPRAYL_FAKE_DRIVE).empty()) {
        fake.why_not = "the fake drive was not built: no libfuse3 (tools/install-deps installs it)";
    }
    if (fake.why_not.empty() && access("/dev/fuse", R_OK | W_OK) != 0) {
        fake.why_not = "no /dev/fuse here";
    }
    if (!fake.why_not.empty()) {
        return fake;
    }
    std::filesystem::create_directories(fake.directory);
    ProgramRun started = run_shell(std::string(SPRAYL_FAKE_DRIVE) + " --claims 1G --holds 80M" +
                                   " --past " + mode + " -s " + fake.directory);
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
        {"zeros", "verdict: the drive holds 80.00 MiB of the 1.00 GiB it claims: writes past that"
                  " were lost, reads there give zeros"},
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

// Killed with SIGKILL part way, once the backup holds some sectors: the
// drive holds some of the probe's data, and --restore puts the user's back.
// A drive that wraps: the probe saves its witness there (a drive that loses
// writes and has no cache is done after a few dozen sectors).
TEST(ProbeProgram, AKilledProbeIsUndoneByRestore) {
    FakeDrive fake = start_fake_drive("killed", "wrap");
    if (!fake.why_not.empty()) {
        GTEST_SKIP() << fake.why_not;
    }
    std::string backup = scratch_path("killed.backup");
    std::filesystem::remove(backup);
    ProgramRun killed = run_shell(
        sprayl_check + " --probe " + fake.device + " --backup " + backup + " > /dev/null & " +
        "pid=$!; while kill -0 $pid 2>/dev/null && [ \"$(stat -c %s " + backup +
        " 2>/dev/null || echo 0)\" -lt 2000000 ]; do :; done; kill -9 $pid; wait $pid; echo $?");
    ASSERT_EQ(killed.out, "137\n") << "the probe ended before it could be killed: " << killed.err;
    ASSERT_TRUE(std::filesystem::exists(backup));
    EXPECT_FALSE(holds_the_user_data(fake)) << "killed before it wrote anything";
    ProgramRun restore = run_shell(sprayl_check + " --restore " + backup + " " + fake.device);
    EXPECT_EQ(restore.exit_code, 0) << restore.out << restore.err;
    EXPECT_TRUE(has_line(restore.out, "result: restored")) << restore.out;
    EXPECT_TRUE(holds_the_user_data(fake));
    stop_fake_drive(fake);
}

} // namespace
