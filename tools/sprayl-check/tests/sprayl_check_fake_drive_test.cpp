// sprayl-check --fill on drives that lie: a FUSE fake drive under a loop
// device, formatted and mounted, stands for a fake USB stick. Each kind of
// lie must stop the fill soon after the drive's real capacity, be found
// damaged, never intact, and give what the drive holds within a few
// percent. A drive that turns read-only or drops off the bus at its first
// write past what it holds is named for it, and found again by --resume
// after a replug. The fill only ever writes into the fake: the test
// refuses to start it where the file system is not mounted.
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
    uint64_t cache = 0;       // MiB of the latest writes it answers from its memory (--cache)
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
    // The latest writes answered from the drive's memory: the end of the
    // fill reads back as written, what lies between does not.
    {"loses writes behind a 4 MiB cache", "--past zeros", 256, 32, "ext4", "the drive holds ",
     "reads there give zeros", 4},
    {"loses writes behind a 64 MiB cache", "--past zeros", 256, 32, "ext4", "the drive holds ",
     "reads there give zeros", 64},
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
    if (std::string(fake_drive_program_path).empty()) {
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
        run_shell(std::string(fake_drive_program_path) + " --claims " + std::to_string(c.claims) +
                  "M --holds " + std::to_string(c.holds) + "M " + c.fake_options +
                  (c.cache > 0 ? " --cache " + std::to_string(c.cache) + "M" : "") + " -s " + fake);
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

// Attaches a loop device over the fake drive at fake and mounts the ext4
// on it at mount_point; false with why.
bool attach_and_mount(const std::string& fake, const std::string& mount_point, std::string* why) {
    std::filesystem::create_directories(mount_point);
    ProgramRun loop = run_shell("losetup --find --show " + fake + "/drive");
    if (loop.exit_code != 0) {
        *why = "no loop device can be had here: " + loop.err;
        return false;
    }
    std::string device = loop.out.substr(0, loop.out.find('\n'));
    ProgramRun mounted = run_shell("mount " + device + " " + mount_point);
    clean_up_later("mountpoint -q " + mount_point + " && umount " + mount_point);
    // Never a fill of the file system that holds the scratch directory.
    if (mounted.exit_code != 0 || run_shell("mountpoint -q " + mount_point).exit_code != 0) {
        *why = "cannot mount the fake drive here: " + mounted.err;
        return false;
    }
    return true;
}

// The drive at fake unplugged and plugged in again: its loop device
// detached (by the file, as detach_loops_later does) and attached anew,
// which opens the drive anew; mounted at mount_point.
bool replug(const std::string& fake, const std::string& mount_point, std::string* why) {
    run_shell("losetup -n -O NAME -j '" + fake + "/drive' | xargs -r -n1 losetup -d");
    return attach_and_mount(fake, mount_point, why);
}

// A fake behind a cache: the verdict and the report for programs say how
// much of the latest writes read back from it, never more than it holds;
// of any other fake they say no cache.
void expect_cache_said(const LyingDriveCase& c, const std::string& verdict,
                       const std::string& json) {
    std::string cache_field = report_field(json, "fill.cache");
    if (c.cache == 0) {
        EXPECT_EQ(verdict.find("cache"), std::string::npos) << verdict;
        EXPECT_EQ(cache_field, "null");
        return;
    }
    double said = mebibytes_after(verdict, "(");
    EXPECT_NE(verdict.find(" of the latest writes answered from a cache)"), std::string::npos)
        << verdict;
    EXPECT_GT(said, 0) << verdict;
    EXPECT_LE(said, static_cast<double>(c.cache)) << verdict;
    double bytes = std::strtod(report_field(json, "fill.cache.bytes").c_str(), nullptr);
    EXPECT_GT(bytes, 0) << cache_field;
    EXPECT_LE(bytes, static_cast<double>(c.cache * mib)) << cache_field;
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
        // broke), soon after the real capacity, or soon after the lost
        // writes left the drive's cache.
        EXPECT_NE(fill.err.find("the drive did not keep what it was given"), std::string::npos)
            << fill.err;
        double written = mebibytes_after(line_starting(fill.out, "written: "), "bytes (");
        EXPECT_GT(written, 0) << fill.out;
        EXPECT_LE(written * mib, (c.holds + c.cache) * mib + 2 * file_size) << fill.out;
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
        expect_cache_said(c, capacity, json);
        run_shell("umount " + mount_point);
    }
}

// A drive that turns read-only or drops off the bus at its first write
// past what it holds: the fill names what it showed the drive holds and
// what the drive did, exit 1, never intact; after a replug, --resume from
// wherever the drive is mounted then finds its place and goes on.
struct DriveEventCase {
    const char* name;
    const char* then;      // the fake drive's --then
    const char* event;     // how the verdict ends
    const char* past_word; // the report for programs' past_capacity
};

const DriveEventCase drive_event_cases[] = {
    {"turns read-only", "read-only", "at its first write past that it turned read-only",
     "read_only"},
    {"drops off the bus", "gone", "at its first write past that it stopped answering", "gone"},
};

// Claims 256 MiB, holds 160 MiB: ext4 places its journal at 128 MiB, and
// the fill files from there up first, so that the drive's event comes
// after a few files, and the journal, which lies within what the drive
// holds, keeps the file system whole for the replug.
constexpr uint64_t event_claims = 256;
constexpr uint64_t event_holds = 160;

// A fake drive with an ext4 file system, mounted. The file system is made
// on an image first (mkfs clears the end of its device, which would set
// off the drive's event) and copied onto what the drive holds: the image
// is zero past that, which the drive's reads there give.
std::string mount_event_drive(const DriveEventCase& c, const std::string& name, std::string* fake,
                              std::string* why) {
    std::string images = mount_small_tmpfs(name + "-images", 16 << 10, why);
    if (images.empty()) {
        return "";
    }
    *fake = scratch_path(name + "-fake");
    std::filesystem::create_directories(*fake);
    std::string image = images + "/ext4.img";
    std::string claims = std::to_string(event_claims);
    std::string holds = std::to_string(event_holds);
    ProgramRun made = run_shell(
        "truncate -s " + claims + "M " + image + " && mkfs.ext4 -q -F -b 4096 -O sparse_super2" +
        " -E num_backup_sb=0,nodiscard " + image + " && " + fake_drive_program_path + " --claims " +
        claims + "M --holds " + holds + "M --then " + c.then + " -s " + *fake);
    clean_up_later("umount " + *fake);
    if (made.exit_code != 0 ||
        run_shell("cmp -s -i " + holds + "M " + image + " /dev/zero -n " +
                  std::to_string((event_claims - event_holds) << 20))
                .exit_code != 0 ||
        run_shell("dd if=" + image + " of=" + *fake + "/drive bs=1M count=" + holds +
                  " conv=notrunc status=none && rm " + image)
                .exit_code != 0) {
        *why = "cannot make the fake drive's file system: " + made.err;
        return "";
    }
    detach_loops_later(*fake + "/drive");
    std::string mount_point = scratch_path(name + "-mnt");
    if (!attach_and_mount(*fake, mount_point, why)) {
        return "";
    }
    return mount_point;
}

TEST(LyingDrives, ADriveThatTurnsReadOnlyOrDropsOffIsNamedForIt) {
    std::string missing = missing_tools();
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    int number = 0;
    for (const DriveEventCase& c : drive_event_cases) {
        SCOPED_TRACE(c.name);
        std::string fake;
        std::string why;
        std::string name = "event-" + std::to_string(++number);
        std::string mount_point = mount_event_drive(c, name, &fake, &why);
        if (mount_point.empty()) {
            ADD_FAILURE() << why;
            continue;
        }
        std::string json = scratch_path(name + ".json");
        ProgramRun fill =
            run_shell(sprayl_check + " --fill " + mount_point + " --file-size 4M --json " + json);
        EXPECT_EQ(fill.exit_code, 1) << fill.out << fill.err;
        std::string verdict = line_starting(fill.out, "verdict: ");
        EXPECT_EQ(verdict.find("verdict: the drive holds "), 0u) << fill.out << fill.err;
        EXPECT_NE(verdict.find(std::string(" of the 256.00 MiB it claims: ") + c.event),
                  std::string::npos)
            << verdict;
        EXPECT_TRUE(has_line(fill.out, "result: DAMAGED")) << fill.out;
        // What it shows the drive holds: never more than it does, and most
        // of it (the files that ext4 placed below the event).
        double least = mebibytes_after(verdict, "the drive holds between ");
        EXPECT_LE(least, static_cast<double>(event_holds)) << verdict;
        EXPECT_GE(least, 0.9 * static_cast<double>(event_holds)) << verdict;
        // The report for programs says the same, in the probe's words.
        EXPECT_EQ("verdict: " + report_field(json, "fill.drive_verdict"), verdict);
        EXPECT_EQ(report_field(json, "fill.past_capacity"), c.past_word);
        EXPECT_EQ(report_field(json, "result"), "damaged");
        double capacity = std::strtod(report_field(json, "fill.capacity").c_str(), nullptr);
        EXPECT_LE(capacity, static_cast<double>(event_holds * mib)) << capacity;
        EXPECT_GE(capacity, 0.9 * static_cast<double>(event_holds * mib)) << capacity;
        EXPECT_EQ(report_field(json, "fill.capacity_at_most"), std::to_string(event_claims * mib));

        // Unplugged and plugged in again, mounted elsewhere: --resume finds
        // the fill there, goes on, and meets the drive's event again.
        std::string elsewhere = scratch_path(name + "-again");
        run_shell("umount " + mount_point);
        if (!replug(fake, elsewhere, &why)) {
            ADD_FAILURE() << why;
            continue;
        }
        ProgramRun resumed =
            run_shell(sprayl_check + " --fill " + elsewhere + " --file-size 4M --resume");
        EXPECT_EQ(resumed.exit_code, 1) << resumed.out << resumed.err;
        EXPECT_NE(resumed.err.find("going on with the fill in \"" + elsewhere + "\""),
                  std::string::npos)
            << resumed.err;
        EXPECT_EQ(line_starting(resumed.out, "verdict: ").find("verdict: the drive holds "), 0u)
            << resumed.out << resumed.err;
        EXPECT_NE(resumed.out.find(c.event), std::string::npos) << resumed.out;
        run_shell("umount " + elsewhere);
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
