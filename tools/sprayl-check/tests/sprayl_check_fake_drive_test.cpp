// sprayl-check --fill on drives that lie: a FUSE fake drive under a loop
// device, formatted and mounted, stands for a fake USB stick. Each kind of
// lie must stop the fill soon after the drive's real capacity, be found
// damaged, never intact, and give what the drive holds within a few
// percent. The fill only ever writes into the fake: the test refuses to
// start it where the file system is not mounted.
#include "program_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

constexpr uint64_t mib = uint64_t{1} << 20;

struct LyingDriveCase {
    const char* name;
    const char* fake_options; // after --claims and --holds
    uint64_t claims;          // MiB
    uint64_t holds;           // MiB
    const char* file_system;  // "ext4" (its files' places known) or "exfat" (not)
    const char* capacity;     // the start of the capacity line
    const char* ending;       // what the capacity line goes on to say
};

// Claims 256 MiB, holds about an eighth.
const LyingDriveCase lying_drive_cases[] = {
    {"wraps at a power of two", "--past wrap", 256, 32, "ext4", "the drive holds ",
     "it wraps around every 32.00 MiB"},
    {"wraps at another size", "--past wrap", 256, 40, "ext4", "the drive holds ",
     "it wraps around every 40.00 MiB"},
    {"wraps above a kept low area", "--past wrap --low 16M", 256, 48, "ext4", "the drive holds ",
     "it wraps around every 32.00 MiB"},
    {"loses writes, reads zeros", "--past zeros", 256, 32, "ext4", "the drive holds ",
     "reads there give zeros"},
    {"loses writes, reads FF bytes", "--past ff", 256, 32, "ext4", "the drive holds ",
     "reads there give FF bytes"},
    {"loses writes, reads an earlier fill", "--past old", 256, 32, "ext4", "the drive holds ",
     "reads there give data of another run"},
    {"exFAT: wraps", "--past wrap", 256, 32, "exfat", "it kept ", "written (an estimate"},
    {"exFAT: read errors", "--past errors", 256, 32, "exfat", "it kept ", "written (an estimate"},
};

std::string missing_tools() {
    if (geteuid() != 0) {
        return "loop devices and mounts need root";
    }
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        return "no /dev/fuse here";
    }
    if (std::string(SPRAYL_FAKE_DRIVE).empty()) {
        return "the fake drive was not built: no libfuse3 (tools/install-deps installs it)";
    }
    if (run_shell("command -v losetup mkfs.ext4 mkfs.exfat mount.exfat-fuse").exit_code != 0) {
        return "missing losetup, mkfs.ext4, mkfs.exfat or mount.exfat-fuse (tools/install-deps "
               "installs them)";
    }
    return "";
}

// The number of MiB after text in line ("32.00 MiB"), or -1.
double mebibytes_after(const std::string& line, const std::string& text) {
    size_t at = line.find(text);
    if (at == std::string::npos) {
        return -1;
    }
    const char* start = line.c_str() + at + text.size();
    char* end = nullptr;
    double value = std::strtod(start, &end);
    std::string unit(end, end + 4);
    return unit == " MiB" ? value : unit == " GiB" ? value * 1024 : -1;
}

// The line of text that starts with prefix, without its end.
std::string line_starting(const std::string& text, const std::string& prefix) {
    std::string lines = "\n" + text;
    size_t at = lines.find("\n" + prefix);
    if (at == std::string::npos) {
        return "";
    }
    size_t end = lines.find('\n', at + 1);
    return lines.substr(at + 1, end - at - 1);
}

// Mounts a fake drive, formats it, mounts that; the mount point, or empty
// with why.
std::string mount_lying_drive(const LyingDriveCase& c, const std::string& name, std::string* why) {
    std::string fake = scratch_path(name + "-fake");
    std::string mount_point = scratch_path(name + "-mnt");
    std::filesystem::create_directories(fake);
    std::filesystem::create_directories(mount_point);
    ProgramRun started =
        run_shell(std::string(SPRAYL_FAKE_DRIVE) + " --claims " + std::to_string(c.claims) +
                  "M --holds " + std::to_string(c.holds) + "M " + c.fake_options + " -s " + fake);
    clean_up_later("umount " + fake);
    if (started.exit_code != 0) {
        *why = "the fake drive does not start: " + started.err;
        return "";
    }
    ProgramRun loop = run_shell("losetup --find --show " + fake + "/drive");
    if (loop.exit_code != 0) {
        *why = "no loop device can be had here: " + loop.err;
        return "";
    }
    std::string device = loop.out.substr(0, loop.out.find('\n'));
    detach_loops_later(fake + "/drive");
    // Without a journal: it lies in the middle of the file system, where a
    // drive that loses writes past an eighth would lose it. Without the
    // background zeroing of inode tables (noinit_itable): its writes reach
    // across the whole claimed size and land on the fill's data, on a drive
    // that wraps, whenever the kernel gets to them.
    std::string format = std::string(c.file_system) == "ext4"
                             ? "mkfs.ext4 -q -F -O ^has_journal " + device +
                                   " && mount -o noinit_itable " + device + " " + mount_point
                             : "mkfs.exfat " + device + " > /dev/null && mount.exfat-fuse " +
                                   device + " " + mount_point;
    ProgramRun mounted = run_shell(format);
    clean_up_later("mountpoint -q " + mount_point + " && umount " + mount_point);
    struct statvfs info {};
    // Never a fill of the file system that holds the scratch directory.
    if (mounted.exit_code != 0 || run_shell("mountpoint -q " + mount_point).exit_code != 0 ||
        statvfs(mount_point.c_str(), &info) != 0 ||
        static_cast<uint64_t>(info.f_blocks) * info.f_frsize > c.claims * mib) {
        *why = "cannot format and mount the fake drive here: " + mounted.err;
        return "";
    }
    return mount_point;
}

TEST(LyingDrives, TheFillStopsSoonAndSaysWhatTheDriveHolds) {
    std::string missing = missing_tools();
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    const uint64_t file_size = 4 * mib;
    int number = 0;
    for (const LyingDriveCase& c : lying_drive_cases) {
        SCOPED_TRACE(c.name);
        std::string why;
        std::string mount_point = mount_lying_drive(c, "lying-" + std::to_string(++number), &why);
        if (mount_point.empty()) {
            ADD_FAILURE() << why;
            continue;
        }
        std::string json = scratch_path("lying.json");
        ProgramRun fill =
            run_shell(sprayl_check + " --fill " + mount_point + " --file-size 4M --json " + json);
        EXPECT_EQ(fill.exit_code, 1) << fill.out << fill.err;
        // The report for programs says what the drive holds as the text does.
        EXPECT_EQ("verdict: " + report_field(json, "fill.drive_verdict"),
                  line_starting(fill.out, "verdict: "));
        EXPECT_TRUE(has_line(fill.out, "result: DAMAGED")) << fill.out;
        EXPECT_EQ(fill.out.find("verdict: intact"), std::string::npos) << fill.out;
        // Stopped early, by a sample (or by a file system that the drive
        // broke), soon after the real capacity.
        EXPECT_NE(fill.err.find("the drive did not keep what it was given"), std::string::npos)
            << fill.err;
        double written = mebibytes_after(line_starting(fill.out, "written: "), "bytes (");
        EXPECT_GT(written, 0) << fill.out;
        EXPECT_LE(written * mib, c.holds * mib + 2 * file_size) << fill.out;
        // What the drive holds, within a few percent: the verdict.
        std::string capacity = line_starting(fill.out, "verdict: ");
        EXPECT_EQ(capacity.find(std::string("verdict: ") + c.capacity), 0u) << fill.out;
        EXPECT_NE(capacity.find(c.ending), std::string::npos) << capacity;
        // Where the fill cannot tell a low area kept apart, the line gives
        // the most the drive may hold beside the least. A few percent: the
        // estimate leaves out the file system's own area.
        double least = mebibytes_after(capacity, c.capacity);
        double most = mebibytes_after(capacity, "(up to ");
        most = most > least ? most : least;
        double holds = static_cast<double>(c.holds);
        EXPECT_GT(least, 0) << capacity;
        EXPECT_LE(least, 1.08 * holds) << capacity;
        EXPECT_GE(most, 0.92 * holds) << capacity;
        run_shell("umount " + mount_point);
    }
}

// A drive that keeps what it is given, with a slow area: the samples find
// nothing, the fill runs to the end, and all of it is intact.
TEST(LyingDrives, AnHonestDriveWithASlowAreaIsFilledToTheEnd) {
    std::string missing = missing_tools();
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    LyingDriveCase honest = {"honest", "--slow 8M:10M", 32, 32, "ext4", "", ""};
    std::string why;
    std::string mount_point = mount_lying_drive(honest, "honest", &why);
    if (mount_point.empty()) {
        GTEST_SKIP() << why;
    }
    ProgramRun fill = run_shell(sprayl_check + " --fill " + mount_point + " --file-size 4M");
    EXPECT_EQ(fill.exit_code, 0) << fill.out << fill.err;
    EXPECT_TRUE(has_line(fill.out, "result: intact")) << fill.out;
    EXPECT_EQ(fill.out.find("the drive holds"), std::string::npos) << fill.out;
    EXPECT_EQ(fill.err.find("did not keep"), std::string::npos) << fill.err;
    EXPECT_NE(fill.out.find("read back while writing: "), std::string::npos) << fill.out;
    run_shell("umount " + mount_point);
}

} // namespace
