// sprayl-check --fill and a later sprayl-check DIR on file systems made for
// the purpose: loop-mounted ext4 and exFAT images in a size-limited tmpfs,
// and the FUSE fake drive. A user's file the fill must not touch, a fill
// directory that lost or gained files, a fill that cannot cover its drive,
// and a directory or file system that goes away while the fill works: each
// case asserts the verdict, the exit code, and that no other file changed.
#include "program_test_support.h"
#include "table_row_name.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string user_text = "Call the plumber on Monday about the leak.\n";

std::string missing_tools() {
    if (geteuid() != 0) {
        return "loop devices and mounts need root";
    }
    if (run_shell("command -v losetup mkfs.ext4 mkfs.exfat mount.exfat-fuse setpriv sha256sum")
            .exit_code != 0) {
        return "missing losetup, mkfs.ext4, mkfs.exfat, mount.exfat-fuse, setpriv or sha256sum";
    }
    return "";
}

// A size-limited tmpfs for the images and the mount points, so that
// nothing a fill writes, even under a mount point that went away, reaches
// the machine's disk.
const std::string& image_space() {
    static std::string space;
    if (space.empty()) {
        std::string path = scratch_path("images");
        std::filesystem::create_directories(path);
        if (run_shell("mount -t tmpfs -o size=700M,mode=755 tmpfs " + path).exit_code == 0) {
            clean_up_later("umount -l " + path);
            space = path;
        }
    }
    return space;
}

struct Drive {
    std::string mount_point; // empty where it could not be made
    std::string device;
    std::string fake; // the fake drive's mount, where it stands under the loop device
    std::string why_not;
};

// Inode tables and the journal are left for the kernel to zero: on a slow
// fake drive, mkfs would otherwise spend a second writing the journal's zeros.
const char* const ext4_lazy_init = "-E lazy_itable_init=1,lazy_journal_init=1 ";

// Formats backing (an image, made where empty, or a fake drive's file)
// with file_system ("ext4 OPTIONS" or "exfat") and mounts it as name.
Drive make_drive(const std::string& name, const std::string& file_system, int mebibytes,
                 std::string backing = "") {
    Drive drive;
    if (backing.empty()) {
        backing = image_space() + "/" + name + ".img";
        run_shell("rm -f " + backing + " && truncate -s " + std::to_string(mebibytes) + "M " +
                  backing);
    }
    ProgramRun loop = run_shell("losetup --find --show " + backing);
    drive.device = loop.out.substr(0, loop.out.find('\n'));
    if (loop.exit_code != 0 || drive.device.empty()) {
        drive.why_not = "no loop device: " + loop.err;
        return drive;
    }
    detach_loops_later(backing);
    // The loop device takes its size a moment after it is set up, at times.
    run_shell("for i in $(seq 50); do [ \"$(blockdev --getsize64 " + drive.device +
              ")\" != 0 ] && break; sleep 0.1; done");
    std::string mount_point = image_space() + "/" + name;
    std::filesystem::create_directories(mount_point);
    std::string format =
        file_system.rfind("ext4", 0) == 0
            ? std::string("mkfs.ext4 -q -F ") + ext4_lazy_init + file_system.substr(4) + " " +
                  drive.device + " && mount -o noinit_itable " + drive.device + " " + mount_point
            : "mkfs.exfat " + drive.device + " > /dev/null && mount.exfat-fuse -o allow_other " +
                  drive.device + " " + mount_point;
    ProgramRun mounted = run_shell(format);
    clean_up_later("mountpoint -q " + mount_point + " && umount -l " + mount_point);
    struct statvfs info {};
    // Never a fill of any file system but the one made here.
    if (mounted.exit_code != 0 || run_shell("mountpoint -q " + mount_point).exit_code != 0 ||
        statvfs(mount_point.c_str(), &info) != 0 ||
        static_cast<uint64_t>(info.f_blocks) * info.f_frsize > static_cast<uint64_t>(mebibytes)
                                                                   << 20) {
        drive.why_not = "cannot format and mount " + name + ": " + mounted.err;
        return drive;
    }
    drive.mount_point = mount_point;
    return drive;
}

void remove_drive(const Drive& drive) {
    run_shell("mountpoint -q " + drive.mount_point + " && umount -l " + drive.mount_point);
    run_shell("losetup -d " + drive.device);
    if (!drive.fake.empty()) {
        run_shell("umount -l " + drive.fake);
    }
}

// The SHA-256 of every file under directory, by name.
std::string digests(const std::string& directory) {
    return run_shell("cd " + directory + " && find . -type f | sort | xargs -r sha256sum").out;
}

std::string fill_name(int number) {
    char name[32];
    std::snprintf(name, sizeof name, "sprayl-%05d.bin", number);
    return name;
}

// The highest number of a fill file in directory.
int last_fill_file(const std::string& directory) {
    int last = 0;
    while (std::filesystem::exists(directory + "/" + fill_name(last + 1))) {
        ++last;
    }
    return last;
}

void write_text(const std::string& path, const std::string& text) {
    write_bytes(path, Bytes(text.begin(), text.end()));
}

// ---- What --replace and --resume may touch ----

struct TouchCase {
    const char* name;
    const char* option;
    void (*change)(const std::string& directory, int last);
    const char* refusal;
};

const TouchCase touch_cases[] = {
    {"--resume: a user's text named like the next fill file", "--resume",
     [](const std::string& d, int last) { write_text(d + "/" + fill_name(last + 1), user_text); },
     "is not part of the fill: its fill record lists"},
    {"--resume: the same in a fill made before fills kept records", "--resume",
     [](const std::string& d, int last) {
         std::filesystem::remove(d + "/sprayl-fill.txt");
         write_text(d + "/" + fill_name(last + 1), user_text);
     },
     "does not begin with this fill's data: it is left as it is"},
    {"--replace: a file named like a fill file that holds no sprayl data", "--replace",
     [](const std::string& d, int last) { write_text(d + "/" + fill_name(last + 2), user_text); },
     "which is named like a fill file but does not begin with sprayl data: --replace removes"
     " nothing while it is there"},
    {"--replace: a user's text named like the fill's record", "--replace",
     [](const std::string& d, int) { write_text(d + "/sprayl-fill.txt", user_text); },
     "sprayl-fill.txt is not a fill record that sprayl-check wrote"},
};

TEST(FillGuard, TouchesOnlyFilesThatAreProvablyTheFillsOwn) {
    std::string missing = missing_tools();
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    for (const TouchCase& c : touch_cases) {
        SCOPED_TRACE(c.name);
        Drive drive = make_drive("touch", "ext4", 16);
        ASSERT_FALSE(drive.mount_point.empty()) << drive.why_not;
        ProgramRun fill =
            run_shell(sprayl_check + " --fill " + drive.mount_point + " --file-size 1M");
        ASSERT_EQ(fill.exit_code, 0) << fill.out << fill.err;
        c.change(drive.mount_point, last_fill_file(drive.mount_point));
        std::string before = digests(drive.mount_point);
        ProgramRun run = run_shell(sprayl_check + " --fill " + drive.mount_point + " " + c.option);
        EXPECT_EQ(run.exit_code, 2) << run.out << run.err;
        EXPECT_NE(run.err.find(c.refusal), std::string::npos) << run.err;
        EXPECT_EQ(digests(drive.mount_point), before);
        remove_drive(drive);
    }
}

// On exFAT (and FAT and NTFS) a name differing from the fill record's only
// in case names the same file: the user's file is the record a fill would
// write over.
struct CaseFoldCase {
    const char* name;
    const char* option;
};

const CaseFoldCase case_fold_cases[] = {
    {"SPRAYL-FILL.TXT", ""},
    {"Sprayl-Fill.txt", "--replace"},
    {"SPRAYL-FILL.NEW", ""},
    {"SPRAYL-FILL.NEW", "--replace"},
};

TEST(FillGuard, AUsersFileNamedLikeTheRecordButForCaseIsLeftAlone) {
    std::string missing = missing_tools();
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    for (const CaseFoldCase& c : case_fold_cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.option);
        Drive drive = make_drive("case", "exfat", 16);
        ASSERT_FALSE(drive.mount_point.empty()) << drive.why_not;
        write_text(drive.mount_point + "/" + c.name, user_text);
        std::string before = digests(drive.mount_point);
        ProgramRun run = run_shell(sprayl_check + " --fill " + drive.mount_point +
                                   " --file-size 4M " + c.option);
        EXPECT_EQ(run.exit_code, 2) << run.out << run.err;
        EXPECT_EQ(digests(drive.mount_point), before);
        remove_drive(drive);
    }
}

// A file size limit (ulimit -f) makes a write fail with EFBIG, as a full
// drive does: the run ends with its report and exit code, not killed by
// SIGXFSZ with its record saying it is still running or a report file
// half written.
struct FileSizeLimitCase {
    const char* name;
    const char* run; // MNT: the drive; STREAM: a stream on it
    int exit_code;
    const char* said; // on standard output or error
};

const FileSizeLimitCase file_size_limit_cases[] = {
    {"a fill", "ulimit -f 2048; exec SC --fill MNT --file-size 4M", 3, "File too large"},
    {"a JSON report", "ulimit -f 1; exec SC --json MNT/report.json STREAM", 2, "report.json"},
};

TEST(FillGuard, AFileSizeLimitEndsTheRunWithItsReport) {
    std::string missing = missing_tools();
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    for (const FileSizeLimitCase& c : file_size_limit_cases) {
        SCOPED_TRACE(c.name);
        Drive drive = make_drive("limit", "ext4", 32);
        ASSERT_FALSE(drive.mount_point.empty()) << drive.why_not;
        std::string stream = drive.mount_point + "/stream.bin";
        write_bytes(stream, test_stream(1 << 20));
        std::string command = c.run;
        for (const auto& [word, value] : {std::pair<std::string, std::string>{"SC", sprayl_check},
                                          {"MNT", drive.mount_point},
                                          {"STREAM", stream}}) {
            size_t at = command.find(word);
            if (at != std::string::npos) {
                command.replace(at, word.size(), value);
            }
        }
        ProgramRun run = run_shell("bash -c '" + command + "'");
        EXPECT_EQ(run.exit_code, c.exit_code) << run.out << run.err;
        EXPECT_NE((run.out + run.err).find(c.said), std::string::npos) << run.out << run.err;
        std::string record = read_all_text(drive.mount_point + "/sprayl-fill.txt");
        EXPECT_EQ(record.find("running"), std::string::npos) << record;
        EXPECT_FALSE(std::filesystem::exists(drive.mount_point + "/report.json.partial"));
        remove_drive(drive);
    }
}

// ---- A later check of the fill directory ----

struct LaterCheckCase {
    const char* name;
    void (*change)(const std::string& directory, int last);
    int exit_code;
    const char* verdict; // the start of the verdict line, after "verdict: "
    const char* result;  // its result word for programs
};

void remove_fill_file(const std::string& directory, int number) {
    std::filesystem::remove(directory + "/" + fill_name(number));
}

const LaterCheckCase later_check_cases[] = {
    {"the last file removed", [](const std::string& d, int last) { remove_fill_file(d, last); }, 1,
     "sprayl-00013.bin is missing; the bytes read are intact", "damaged"},
    {"the last file cut short",
     [](const std::string& d, int last) {
         std::filesystem::resize_file(d + "/" + fill_name(last), 4096);
     },
     1, "sprayl-00013.bin is ", "damaged"},
    {"a file in the middle removed", [](const std::string& d, int) { remove_fill_file(d, 5); }, 1,
     "sprayl-00005.bin is missing; the bytes read are intact", "damaged"},
    {"the record removed: the last file cannot be vouched for",
     [](const std::string& d, int) { std::filesystem::remove(d + "/sprayl-fill.txt"); }, 3,
     "with no fill record, nothing tells whether sprayl-00013.bin, the last file, was cut short",
     "unconfirmed"},
    {"the record damaged",
     [](const std::string& d, int) {
         std::string path = d + "/sprayl-fill.txt";
         std::string text = read_all_text(path);
         text[text.find("largest file: ") + 14] = '9';
         write_text(path, text);
     },
     2, "", "failed"},
};

TEST(FillGuard, ALaterCheckNamesWhatIsMissingOrCannotBeVouchedFor) {
    std::string missing = missing_tools();
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    for (const LaterCheckCase& c : later_check_cases) {
        SCOPED_TRACE(c.name);
        Drive drive = make_drive("later", "ext4", 16);
        ASSERT_FALSE(drive.mount_point.empty()) << drive.why_not;
        ProgramRun fill =
            run_shell(sprayl_check + " --fill " + drive.mount_point + " --file-size 1M");
        ASSERT_EQ(fill.exit_code, 0) << fill.out << fill.err;
        ASSERT_EQ(last_fill_file(drive.mount_point), 13) << fill.out;
        c.change(drive.mount_point, 13);
        std::string before = digests(drive.mount_point);
        std::string json = scratch_path("later.json");
        ProgramRun run = run_shell(sprayl_check + " " + drive.mount_point + " --json " + json);
        EXPECT_EQ(run.exit_code, c.exit_code) << run.out << run.err;
        EXPECT_EQ(report_field(json, "exit_code"), std::to_string(c.exit_code));
        EXPECT_EQ(report_field(json, "result"), c.result);
        if (c.exit_code == 2) {
            EXPECT_NE(run.err.find("sprayl-fill.txt\" is damaged: its checksum does not match"),
                      std::string::npos)
                << run.err;
        } else {
            EXPECT_EQ(run.out.find(std::string("verdict: ") + c.verdict), 0u) << run.out;
            EXPECT_EQ(run.out.find("result: intact"), std::string::npos) << run.out;
            EXPECT_EQ(report_field(json, "verdict"), run.out.substr(9, run.out.find('\n') - 9));
        }
        EXPECT_EQ(digests(drive.mount_point), before);
        remove_drive(drive);
    }
}

// ---- Coverage ----

// Many small files on an ext4 with few inodes: refused before anything is
// written, with a file size that would do.
TEST(FillGuard, AFileSizeTheInodesCannotCoverIsRefused) {
    std::string missing = missing_tools();
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    Drive drive = make_drive("inodes", "ext4 -N 64", 128);
    ASSERT_FALSE(drive.mount_point.empty()) << drive.why_not;
    std::string before = digests(drive.mount_point);
    ProgramRun run = run_shell(sprayl_check + " --fill " + drive.mount_point + " --file-size 4K");
    EXPECT_EQ(run.exit_code, 2) << run.out << run.err;
    EXPECT_NE(run.err.find("sprayl-check: --file-size 4K cannot cover the "), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(" more files (free inodes); --file-size 1M or more would do"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(digests(drive.mount_point), before);
    remove_drive(drive);
}

// Fills that run until the file system is full. On a drive that keeps what
// it is given they end within what the file system keeps for itself, all of
// it tested and intact, also where the file system cut the last file short
// in the middle of a write (exFAT's small files). On a drive whose store
// runs out before its claimed size the loss is the drive's: a loop device
// over a tmpfs without room for its whole image drops what it cannot store
// (Linux completes a write that only partly fits as done, and fdatasync
// succeeds), and that lies at the end of the last file.
struct FullFillCase {
    const char* name;
    const char* file_system;
    const char* file_size;
    uint64_t store_short_kib; // the image's store holds this much less than the image
    int exit_code;
    const char* result;
};

const FullFillCase full_fill_cases[] = {
    {"ext4", "ext4", "4M", 0, 0, "result: intact"},
    {"exFAT", "exfat", "4M", 0, 0, "result: intact"},
    {"exFAT, 1 MiB files", "exfat", "1M", 0, 0, "result: intact"},
    {"exFAT on a store 256 KiB short of its image", "exfat", "1M", 256, 1, "result: DAMAGED"},
};

TEST(FillGuard, AFullFillCoversTheFreeRoomAndBlamesOnlyADriveThatLostData) {
    std::string missing = missing_tools();
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    static int number = 0; // names of their own, also when the test runs again
    for (const FullFillCase& c : full_fill_cases) {
        SCOPED_TRACE(c.name);
        std::string name = "full-" + std::to_string(++number);
        std::string backing;
        if (c.store_short_kib > 0) {
            std::string why_not;
            std::string store =
                mount_small_tmpfs(name + "-store", (64 << 10) - c.store_short_kib, &why_not);
            ASSERT_FALSE(store.empty()) << why_not;
            backing = store + "/drive.img";
            run_shell("truncate -s 64M " + backing);
        }
        Drive drive = make_drive(name, c.file_system, 64, backing);
        ASSERT_FALSE(drive.mount_point.empty()) << drive.why_not;
        std::string json = scratch_path("full.json");
        ProgramRun run = run_shell(sprayl_check + " --fill " + drive.mount_point + " --file-size " +
                                   c.file_size + " --json " + json);
        EXPECT_EQ(run.exit_code, c.exit_code) << run.out << run.err;
        EXPECT_TRUE(has_line(run.out, c.result)) << run.out;
        EXPECT_EQ(report_field(json, "coverage.short_of_room"), "false");
        if (c.exit_code == 0) {
            EXPECT_EQ(report_field(json, "fill_record.outcome"), "complete");
        }
        if (c.store_short_kib > 0) {
            // Only the last file lost its end, and the drive is named for it.
            std::string damaged =
                "  " + fill_name(last_fill_file(drive.mount_point)) + ": DAMAGED: ";
            size_t at = run.out.find(": DAMAGED: ");
            EXPECT_EQ(at, run.out.find(damaged) + damaged.size() - 11) << run.out;
            EXPECT_EQ(run.out.find(": DAMAGED: ", at + 1), std::string::npos) << run.out;
            EXPECT_NE(run.err.find("the drive did not keep what it was given"), std::string::npos)
                << run.err;
        }
        remove_drive(drive);
        run_shell("rm -f " + image_space() + "/" + name + ".img");
    }
}

// ---- A directory or file system that goes away ----

struct GoneCase {
    const char* name;
    const char* file_system;
    const char* event; // a shell command: FILL is the fill directory, MNT its mount, FAKE the
                       // fake drive's mount
    const char* said;  // a part of what the fill says on standard error
    int exit_code = 2; // 1: the drive under it stopped answering, which the verdict names
    const char* verdict = ""; // a part of the report's verdict, where there is one
};

const GoneCase gone_cases[] = {
    {"the fill directory renamed", "ext4", "mv FILL MNT/moved", "was renamed or moved"},
    {"the fill directory removed", "ext4", "while [ -e FILL ]; do rm -rf FILL 2> /dev/null; done",
     "was removed"},
    {"the file system unmounted (umount -l)", "ext4", "umount -l MNT", "was unmounted"},
    {"the file system shut down", "ext4",
     "/usr/bin/python3 -c 'import fcntl, os, struct; fcntl.ioctl(os.open(\"MNT\", os.O_RDONLY),"
     " 0x8004587d, struct.pack(\"I\", 2))'",
     "was shut down"},
    // Each daemon by its id, found by its whole command line.
    // The drive under the file system stops answering at a write, as one
    // unplugged does: named for it, but never said to hold less than it
    // claims, nor blamed for data it lost.
    {"the fake drive's daemon killed", "ext4",
     "kill -9 $(pgrep -fx 'FAKE_DRIVE --claims 64M --holds 64M --slow 0:64M -s FAKE')",
     "stopped answering at a write of", 1,
     "and 64.00 MiB of the 64.00 MiB it claims: at its first write past that it stopped"
     " answering"},
    {"exFAT's daemon killed", "exfat",
     "kill -9 $(pgrep -fx 'mount.exfat-fuse -o allow_other DEVICE MNT')",
     "stopped answering (Transport endpoint is not connected)"},
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at; (at = text.find(from)) != std::string::npos;) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// One row a test, so that the rows, which mostly wait on a slow drive, run
// side by side.
class GoneTable : public ::testing::TestWithParam<GoneCase> {};

TEST_P(GoneTable, ADirectoryThatGoesAwayIsSaidToAndNotBlamedOnTheDrive) {
    std::string missing = missing_tools();
    if (missing.empty() &&
        (std::string(fake_drive_program_path).empty() || access("/dev/fuse", 0))) {
        missing = "no FUSE fake drive here";
    }
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    static int number = 0; // names of their own, also when the test runs again
    {
        const GoneCase& c = GetParam();
        // A slow drive: a millisecond more for each 4 KiB, so that the event
        // comes while the fill is at work.
        std::string fake = image_space() + "/gone-fake-" + std::to_string(++number);
        std::filesystem::create_directories(fake);
        ProgramRun started = run_shell(std::string(fake_drive_program_path) +
                                       " --claims 64M --holds 64M --slow 0:64M -s " + fake);
        clean_up_later("umount -l " + fake);
        ASSERT_EQ(started.exit_code, 0) << started.err;
        Drive drive =
            make_drive("gone-" + std::to_string(number), c.file_system, 64, fake + "/drive");
        drive.fake = fake;
        ASSERT_FALSE(drive.mount_point.empty()) << drive.why_not;
        std::string directory = drive.mount_point + "/fill";
        std::filesystem::create_directories(directory);
        std::string event = replaced(c.event, "FAKE_DRIVE", fake_drive_program_path);
        event = replaced(replaced(event, "FILL", directory), "MNT", drive.mount_point);
        event = replaced(replaced(event, "FAKE", fake), "DEVICE", drive.device);
        std::string out = scratch_path("gone.out");
        std::string err = scratch_path("gone.err");
        std::string code = scratch_path("gone.code");
        run_shell("( " + sprayl_check + " --fill " + directory + " --file-size 1M > " + out +
                  " 2> " + err + "; echo $? > " + code + " ) & for i in $(seq 1200); do [ -e " +
                  directory + "/sprayl-00003.bin ] && break; sleep 0.05; done; " + event +
                  "; wait");
        ProgramRun run = {std::stoi("0" + read_all_text(code)), read_all_text(out),
                          read_all_text(err)};
        EXPECT_EQ(run.exit_code, c.exit_code) << run.out << run.err;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        EXPECT_NE(run.out.find(c.verdict), std::string::npos) << run.out;
        EXPECT_EQ(run.err.find("did not keep"), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find("intact"), std::string::npos) << run.out;
        // Nothing landed under a mount point that went away.
        if (run_shell("findmnt " + drive.mount_point).exit_code != 0) {
            EXPECT_EQ(run_shell("ls -A " + drive.mount_point).out, "");
        }
        remove_drive(drive);
    }
}

INSTANTIATE_TEST_SUITE_P(FillGuard, GoneTable, ::testing::ValuesIn(gone_cases),
                         [](const ::testing::TestParamInfo<GoneCase>& row) {
                             return table_row_name(row.param.name);
                         });

// A fill file that its user cannot read: not read, so never called intact,
// nor the files after it.
TEST(FillGuard, AFileThatCannotBeReadIsNeverCalledIntact) {
    std::string missing = missing_tools();
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    Drive drive = make_drive("unreadable", "ext4", 16);
    ASSERT_FALSE(drive.mount_point.empty()) << drive.why_not;
    ProgramRun fill = run_shell(sprayl_check + " --fill " + drive.mount_point + " --file-size 1M");
    ASSERT_EQ(fill.exit_code, 0) << fill.out << fill.err;
    std::filesystem::permissions(drive.mount_point + "/" + fill_name(2),
                                 std::filesystem::perms::none);
    // Another user, who can reach it.
    std::filesystem::permissions(scratch_directory(), std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add);
    std::string copy = image_space() + "/sprayl-check";
    std::filesystem::copy_file(sprayl_check, copy,
                               std::filesystem::copy_options::overwrite_existing);
    ProgramRun run = run_shell("setpriv --reuid=65534 --regid=65534 --clear-groups " + copy + " " +
                               drive.mount_point);
    EXPECT_EQ(run.exit_code, 2) << run.out << run.err;
    EXPECT_NE(run.err.find("sprayl-00002.bin\": Permission denied"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("verdict: sprayl-00002.bin and 11 more files were not read (whole)"), 0u)
        << run.out;
    EXPECT_TRUE(has_line(run.out, "  sprayl-00001.bin: intact")) << run.out;
    EXPECT_TRUE(has_line(run.out, "  sprayl-00013.bin: NOT READ (whole): not checked")) << run.out;
    EXPECT_EQ(run.out.find("verdict: intact"), std::string::npos) << run.out;
    remove_drive(drive);
}

} // namespace
