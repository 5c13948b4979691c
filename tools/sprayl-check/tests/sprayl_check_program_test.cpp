// sprayl-check as a program: with sprayl in a pipe, on files, and on the
// inputs and arguments it must refuse.
#include "check_input.h"
#include "check_test_support.h"
#include "program_test_support.h"
#include "reference_stream.h"
#include "sprayl_version.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

uint64_t first_bad_offset(const std::string& report) {
    const std::string label = "\nfirst bad byte: offset ";
    size_t at = ("\n" + report).find(label);
    return at == std::string::npos
               ? UINT64_MAX
               : std::strtoull(report.c_str() + at + label.size() - 1, nullptr, 10);
}

// The lines that give each file's verdict, in their order.
std::vector<std::string> file_lines(const std::string& report) {
    std::vector<std::string> lines;
    size_t at = report.find("\nfiles: ");
    while (at != std::string::npos && (at = report.find('\n', at + 1)) != std::string::npos &&
           report.compare(at + 1, 2, "  ") == 0) {
        lines.push_back(report.substr(at + 1, report.find('\n', at + 1) - at - 1));
    }
    return lines;
}

TEST(SprayInPipe, BoundedStreamChecksIntact) {
    ProgramRun run = run_shell(sprayl + " | head -c 67108869 | " + sprayl_check);
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_TRUE(has_line(run.out, "bytes read: 67108869 (64.00 MiB)")) << run.out;
    EXPECT_TRUE(has_line(run.out, "bytes intact: 67108853 (64.00 MiB)")) << run.out;
    EXPECT_TRUE(has_line(run.out, "result: intact")) << run.out;
    // No progress display when standard error is not a terminal.
    EXPECT_EQ(run.err, "");
}

TEST(SprayInPipe, DashMeansStandardInput) {
    ProgramRun run = run_shell(sprayl + " | head -c 100000 | " + sprayl_check + " -");
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_TRUE(has_line(run.out, "bytes read: 100000 (97.66 KiB)")) << run.out;
}

TEST(SprayInPipe, TwoRunsJoinedDifferWhereTheSecondBegins) {
    // Every run has a seed of its own, so the second run's bytes cannot
    // continue the first run's stream.
    std::string part = sprayl + " | head -c 100000";
    ProgramRun run = run_shell("(" + part + "; " + part + ") | " + sprayl_check);
    EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
    uint64_t first = first_bad_offset(run.out);
    EXPECT_GE(first, 100000u) << run.out;
    EXPECT_LT(first, 100008u) << run.out;
    EXPECT_TRUE(has_line(run.out, "result: DAMAGED")) << run.out;
}

TEST(CheckFile, IntactAndDamagedFiles) {
    Bytes stream = test_stream(5 * block_bytes + 3);
    ProgramRun intact = run_shell(sprayl_check + " " + write_file("intact.bin", stream));
    EXPECT_EQ(intact.exit_code, 0) << intact.out << intact.err;
    EXPECT_TRUE(has_line(intact.out, "bytes read: 81923 (80.00 KiB)")) << intact.out;

    stream[70000] ^= 0x08;
    ProgramRun damaged = run_shell(sprayl_check + " " + write_file("damaged.bin", stream));
    EXPECT_EQ(damaged.exit_code, 1) << damaged.out << damaged.err;
    EXPECT_TRUE(has_line(damaged.out, "bytes altered: 1 (1 byte)")) << damaged.out;
    EXPECT_TRUE(has_line(damaged.out, "first bad byte: offset 70000, 68.36 KiB in (block 5, "
                                      "offset 4464 in the block)"))
        << damaged.out;
    EXPECT_EQ(damaged.err, "");
}

TEST(CheckFile, ProgressOnATerminalFitsItsWidth) {
    // script gives the program a terminal and copies what it shows there.
    if (std::system("script -qec true /dev/null < /dev/null > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no pseudo-terminal can be had here: script cannot open one";
    }
    Bytes stream = test_stream(5 * block_bytes);
    stream[1000] ^= 1;
    std::string path = write_file("progress.bin", stream);
    for (int columns : {80, 30}) {
        ProgramRun run =
            run_shell("script -qec 'stty cols " + std::to_string(columns) + "; " + sprayl_check +
                      " " + path + " > /dev/null' /dev/null < /dev/null");
        // The terminal ends the line with CR LF.
        std::string shown = run.out.substr(0, run.out.find("\r\n"));
        EXPECT_EQ(shown.rfind("\rchecked 80.00 KiB", 0), 0u) << run.out;
        ASSERT_GE(run.out.size(), 2u);
        EXPECT_EQ(run.out.back(), '\n') << run.out;
        // Every update covers the line exactly, one column short of wrapping.
        size_t at = 0;
        while ((at = shown.find('\r', at)) != std::string::npos) {
            size_t next = shown.find('\r', at + 1);
            size_t length = (next == std::string::npos ? shown.size() : next) - at - 1;
            EXPECT_EQ(length, static_cast<size_t>(columns - 1)) << shown;
            at = next;
        }
        if (columns == 80) {
            EXPECT_NE(shown.find("checked 80.00 KiB of 80.00 KiB 100%, "), std::string::npos)
                << shown;
            EXPECT_NE(shown.find("B/s, damaged 1 byte"), std::string::npos) << shown;
        }
    }
}

TEST(CheckFile, ShortInputsAreNeverIntact) {
    struct Case {
        size_t length;
        int exit_code;
    };
    const Case cases[] = {{0, 2}, {15, 2}, {16, 2}, {31, 2}, {32, 0}};
    for (const Case& c : cases) {
        std::string path =
            write_file("short-" + std::to_string(c.length) + ".bin", test_stream(c.length));
        ProgramRun run = run_shell(sprayl_check + " " + path);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.length << run.err;
        if (c.exit_code == 2) {
            EXPECT_EQ(run.err, "sprayl-check: \"" + path +
                                   "\" is too short to check: " + std::to_string(c.length) +
                                   " bytes read, at least 32 needed, as the first 16 define "
                                   "the stream\n");
            EXPECT_TRUE(has_line(run.out, "result: NOT CHECKED, too short")) << run.out;
        }
    }
    // A directory of fill files too short together.
    std::filesystem::create_directories(scratch_path("short fills"));
    write_file("short fills/sprayl-00001.bin", test_stream(10));
    ProgramRun directory = run_shell(sprayl_check + " '" + scratch_path("short fills") + "'");
    EXPECT_EQ(directory.exit_code, 2);
    EXPECT_NE(directory.err.find("short fills\" is too short"), std::string::npos) << directory.err;
    ProgramRun empty = run_shell(sprayl_check + " < /dev/null");
    EXPECT_EQ(empty.exit_code, 2);
    EXPECT_NE(empty.err.find("sprayl-check: standard input is too short"), std::string::npos)
        << empty.err;
}

TEST(Arguments, OptionsAndExitCodes) {
    std::string intact = write_file("table-intact.bin", test_stream(100000));
    std::string missing = scratch_path("no such file.bin");
    std::filesystem::create_directories(scratch_path("empty dir"));
    struct Case {
        std::string command; // after "sprayl-check "
        int exit_code;
        std::string err; // what standard error starts with
        std::string out; // a line of standard output, or its start when it ends in "..."
    };
    const Case cases[] = {
        {intact, 0, "", "result: intact"},
        {"-- " + intact, 0, "", "read: around the cache (O_DIRECT)"},
        {"--size 100000 " + intact, 0, "", "result: intact"},
        {"--size=200000 " + intact, 1, "", "bytes read: 100000 (97.66 KiB)"},
        // --size ends the check there, however much more the input holds.
        {"--size 99999 " + intact, 0, "",
         "not read: the input goes on past the 99999 bytes of --size"},
        {"--size 1M /dev/zero", 1, "",
         "not read: the input goes on past the 1048576 bytes of --size"},
        {intact + " > /dev/full", 2, "sprayl-check: cannot write the report: ", ""},
        {"--help", 0, "", "usage: sprayl-check [--size N] [FILE...]"},
        {"-h", 0, "", "usage: sprayl-check [--size N] [FILE...]"},
        {"--version", 0, "", "sprayl-check " SPRAYL_VERSION},
        {"-x", 2, "sprayl-check: unknown option \"-x\"\nTry \"sprayl-check --help\".\n", ""},
        {"--size 5X " + intact, 2,
         "sprayl-check: --size needs a byte count, such as 4G, not \"5X\"\n", ""},
        {"-- -x", 2, "sprayl-check: cannot open \"-x\": No such file or directory\n", ""},
        {"'" + missing + "'", 2,
         "sprayl-check: cannot open \"" + missing + "\": No such file or directory\n", ""},
        {intact + " '" + missing + "'", 2, "sprayl-check: cannot open \"" + missing + "\"", ""},
        {"'" + scratch_path("empty dir") + "'", 2,
         "sprayl-check: \"" + scratch_path("empty dir") +
             "\" holds no fill files (sprayl-00001.bin, ...) to check\n",
         ""},
        {scratch_directory() + " " + intact, 2,
         "sprayl-check: \"" + scratch_directory() + "\" is a directory", ""},
        {"--fill '" + missing + "'", 2, "sprayl-check: cannot list \"" + missing + "\"", ""},
    };
    for (const Case& c : cases) {
        ProgramRun run = run_shell(sprayl_check + " " + c.command + " < /dev/null");
        EXPECT_EQ(run.exit_code, c.exit_code) << c.command << "\n" << run.out << run.err;
        EXPECT_EQ(run.err.rfind(c.err, 0), 0u) << c.command << ": " << run.err;
        if (c.err.empty()) {
            EXPECT_EQ(run.err, "") << c.command;
        }
        if (c.out.empty()) {
            EXPECT_EQ(run.out, "") << c.command;
        } else {
            EXPECT_TRUE(has_line(run.out, c.out)) << c.command << ":\n" << run.out;
        }
    }
    // No file, and standard input a terminal: the usage, not a silent wait.
    if (std::system("script -qec true /dev/null < /dev/null > /dev/null 2>&1") != 0) {
        return; // no pseudo-terminal here
    }
    ProgramRun terminal =
        run_shell("script -qec '" + sprayl_check + " 2>&1; echo exit $?' /dev/null < /dev/null");
    EXPECT_EQ(terminal.out.rfind("usage: sprayl-check", 0), 0u) << terminal.out;
    EXPECT_NE(terminal.out.find("exit 2"), std::string::npos) << terminal.out;
}

// A stopped check says how far it got of what it would have read: the
// bytes it did not read are not missing from the input.
TEST(Arguments, StopRequestsEndTheCheckWithTheReportSoFar) {
    struct Case {
        const char* signal;
        std::string options;
        std::string verdict; // the verdict line's start, after the bytes read
    };
    const Case cases[] = {
        {"INT", "", " bytes ("},
        {"TERM", "", " bytes ("},
        {"INT", "--size 100G", " of 107374182400 bytes ("},
    };
    for (const Case& c : cases) {
        // The request comes once the check has read 4 MiB, with its input
        // going on: by then it catches the signal (a background job starts
        // with SIGINT ignored, and a request before the handler would be
        // lost).
        ProgramRun run = run_shell(
            "f=" + scratch_path("stop.in") + "; rm -f $f; mkfifo $f; " + sprayl_check + " " +
            c.options + " < $f & c=$!; " + sprayl +
            " | { dd bs=64k count=64 iflag=fullblock status=none; kill -" + c.signal +
            " $c; cat; } > $f; wait $c");
        EXPECT_EQ(run.exit_code, 130) << c.signal << run.err;
        std::string read = "\nbytes read: ";
        size_t at = run.out.find(read);
        ASSERT_NE(at, std::string::npos) << run.out;
        std::string bytes = run.out.substr(at + read.size(),
                                           run.out.find(' ', at + read.size()) - at - read.size());
        EXPECT_EQ(run.out.rfind("verdict: stopped after " + bytes + c.verdict, 0), 0u) << run.out;
        EXPECT_TRUE(has_line(run.out, "result: INCOMPLETE, stopped at offset " + bytes)) << run.out;
        EXPECT_EQ(run.out.find("missing"), std::string::npos) << run.out;
    }
}

// Standard input is named so in every message, however it was given.
TEST(Arguments, StandardInputIsNamedSoInMessages) {
    const std::string short_input = "sprayl-check: standard input is too short to check: 0 bytes "
                                    "read, at least 32 needed, as the first 16 define the stream\n";
    const std::string directory = "sprayl-check: cannot read standard input: Is a directory\n";
    struct Case {
        std::string command; // after "sprayl-check"
        std::string err;
    };
    const Case cases[] = {
        {" < /dev/null", short_input},
        {" - < /dev/null", short_input},
        {" < /", directory},
        {" - < /", directory},
    };
    for (const Case& c : cases) {
        ProgramRun run = run_shell(sprayl_check + c.command);
        EXPECT_EQ(run.exit_code, 2) << c.command;
        EXPECT_EQ(run.err, c.err) << c.command;
        EXPECT_TRUE(has_line(run.out, "read: as it came")) << c.command << run.out;
    }
}

// Pieces of one stream, each in a file of its own, checked in the orders a
// careless copy or a faulty drive gives them.
TEST(SeveralFiles, OneStreamInTheOrderGiven) {
    const size_t piece = 40000;
    Bytes stream = test_stream(4 * piece);
    std::string parts[4];
    for (size_t i = 0; i < 4; ++i) {
        parts[i] = write_file("part" + std::to_string(i + 1) + ".bin",
                              Bytes(stream.begin() + static_cast<long>(i * piece),
                                    stream.begin() + static_cast<long>((i + 1) * piece)));
    }
    struct Case {
        const char* name;
        std::vector<int> order;
        int exit_code;
        size_t first_damaged; // position in order; order.size() when none
    };
    const Case cases[] = {
        {"in order", {0, 1, 2, 3}, 0, 4},
        {"swapped", {0, 2, 1, 3}, 1, 1},
        {"repeated", {0, 1, 1, 2, 3}, 1, 2},
        {"missing", {0, 1, 3}, 1, 2},
    };
    for (const Case& c : cases) {
        std::string arguments;
        for (int part : c.order) {
            arguments += " " + parts[part];
        }
        ProgramRun run = run_shell(sprayl_check + arguments);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.name << "\n" << run.out << run.err;
        EXPECT_TRUE(has_line(run.out, "files: " + std::to_string(c.order.size()) +
                                          ", in this order as one stream"))
            << run.out;
        std::vector<std::string> lines = file_lines(run.out);
        ASSERT_EQ(lines.size(), c.order.size()) << c.name << "\n" << run.out;
        for (size_t i = 0; i < c.order.size() && i <= c.first_damaged; ++i) {
            std::string verdict = i == c.first_damaged ? "DAMAGED" : "intact";
            EXPECT_EQ(lines[i].rfind("  " + parts[c.order[i]] + ": " + verdict, 0), 0u)
                << c.name << " " << i << "\n"
                << run.out;
        }
    }
}

TEST(SeveralFiles, ADirectoryOfFillFilesWithOneMissing) {
    const size_t piece = 40000;
    Bytes stream = test_stream(4 * piece);
    std::filesystem::create_directories(scratch_path("fills"));
    for (size_t i : {size_t{0}, size_t{1}, size_t{3}}) {
        write_file("fills/sprayl-0000" + std::to_string(i + 1) + ".bin",
                   Bytes(stream.begin() + static_cast<long>(i * piece),
                         stream.begin() + static_cast<long>((i + 1) * piece)));
    }
    ProgramRun run = run_shell(sprayl_check + " " + scratch_path("fills"));
    EXPECT_EQ(run.exit_code, 1) << run.out << run.err;
    EXPECT_TRUE(has_line(run.out, "  sprayl-00001.bin: intact")) << run.out;
    EXPECT_TRUE(has_line(run.out, "  sprayl-00002.bin: intact")) << run.out;
    EXPECT_TRUE(has_line(run.out, "  sprayl-00003.bin: MISSING")) << run.out;
    EXPECT_NE(run.out.find("  sprayl-00004.bin: DAMAGED"), std::string::npos) << run.out;
}

// A small ext2 file system, loop-mounted, for a fill that must end at a
// full file system and nowhere else. Empty, with why, when this machine
// cannot mount one (not root, no loop devices).
struct SmallFileSystem {
    std::string image;
    std::string mount_point;
    std::string why_not;
};

SmallFileSystem mount_small_file_system(const std::string& name, int mebibytes) {
    SmallFileSystem fs = {scratch_path(name + ".img"), scratch_path(name), ""};
    if (geteuid() != 0) {
        fs.why_not = "mounting a file system needs root";
        return fs;
    }
    std::filesystem::create_directories(fs.mount_point);
    ProgramRun run = run_shell("truncate -s " + std::to_string(mebibytes) + "M " + fs.image +
                               " && mkfs.ext2 -q -F -m 0 " + fs.image + " && mount -o loop " +
                               fs.image + " " + fs.mount_point);
    clean_up_later("mountpoint -q " + fs.mount_point + " && umount " + fs.mount_point);
    struct statvfs info {};
    // The fill runs until the file system is full: never on the one that
    // holds the scratch directory.
    if (run.exit_code != 0 || statvfs(fs.mount_point.c_str(), &info) != 0 ||
        static_cast<uint64_t>(info.f_blocks) * info.f_frsize > uint64_t{64} << 20) {
        fs.why_not = "cannot mount a loop device here: " + run.err;
        fs.mount_point.clear();
    }
    return fs;
}

void unmount(const SmallFileSystem& fs) {
    if (!fs.mount_point.empty()) {
        run_shell("umount " + fs.mount_point);
    }
}

// The fill files in directory, in their order, as one input; each one's size.
Bytes read_fill_files(const std::string& directory, std::vector<size_t>* sizes) {
    Bytes all;
    for (uint32_t number = 1;; ++number) {
        char path[4096];
        fill_file_path(directory.c_str(), number, path, sizeof path);
        if (!std::filesystem::exists(path)) {
            return all;
        }
        Bytes file = read_whole(path);
        sizes->push_back(file.size());
        all.insert(all.end(), file.begin(), file.end());
    }
}

TEST(Fill, FillsTheFileSystemWithOneRunsStream) {
    SmallFileSystem fs = mount_small_file_system("fill-mnt", 12);
    if (fs.mount_point.empty()) {
        GTEST_SKIP() << fs.why_not;
    }
    // Not a multiple of the block size: files begin in the middle of blocks.
    const size_t file_size = 1000000;
    ProgramRun run = run_shell(sprayl_check + " --fill " + fs.mount_point + " --file-size " +
                               std::to_string(file_size));
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_TRUE(has_line(run.out, "result: intact")) << run.out;
    EXPECT_TRUE(has_line(run.out, "read: around the cache (O_DIRECT)")) << run.out;

    std::vector<size_t> sizes;
    Bytes stream = read_fill_files(fs.mount_point, &sizes);
    ASSERT_GE(sizes.size(), 8u) << run.out;
    for (size_t i = 0; i + 1 < sizes.size(); ++i) {
        EXPECT_EQ(sizes[i], file_size) << i;
    }
    EXPECT_GT(sizes.back(), 0u);
    EXPECT_LE(sizes.back(), file_size);
    EXPECT_NE(run.out.find("written: " + std::to_string(stream.size()) + " bytes"),
              std::string::npos)
        << run.out;
    // One run: the counter starts at 0 at the first byte of the first file,
    // and no byte is lost or repeated between files.
    EXPECT_TRUE(is_reference_stream(stream));
    // Filled until full: not even a small file would fit any more.
    struct statvfs info {};
    ASSERT_EQ(statvfs(fs.mount_point.c_str(), &info), 0);
    EXPECT_LT(static_cast<uint64_t>(info.f_bavail) * info.f_bsize, uint64_t{64} << 10);

    // A second fill would overwrite the first: refused, unless asked for.
    ProgramRun again = run_shell(sprayl_check + " --fill " + fs.mount_point);
    EXPECT_EQ(again.exit_code, 2);
    EXPECT_EQ(again.err, "sprayl-check: \"" + fs.mount_point +
                             "\" holds fill files already, up to " + fs.mount_point + "/sprayl-" +
                             (sizes.size() < 10 ? "0000" : "000") + std::to_string(sizes.size()) +
                             ".bin; --replace overwrites them\n");
    ProgramRun replaced =
        run_shell(sprayl_check + " --replace --fill " + fs.mount_point + " --file-size 3M");
    EXPECT_EQ(replaced.exit_code, 0) << replaced.out << replaced.err;
    std::vector<size_t> new_sizes;
    Bytes new_stream = read_fill_files(fs.mount_point, &new_sizes);
    EXPECT_LT(new_sizes.size(), sizes.size());
    EXPECT_TRUE(is_reference_stream(new_stream));
    EXPECT_FALSE(std::equal(stream.begin(), stream.begin() + 16, new_stream.begin()))
        << "a new run has a seed of its own";
    unmount(fs);
}

// Where no file system can be mounted: a file-size limit stands in for a
// full drive, with one file larger than the limit, in memory. The fill
// ends like a full drive, but long before the free space is used: not all
// of it was tested, and the fill says so instead of calling it intact.
TEST(Fill, AFileSizeLimitEndsTheFillShortOfTheFreeSpace) {
    // Empty, also when the test runs again in the same process.
    std::string directory = memory_scratch_path("fill-limited");
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    const uint64_t limit = 2500000;
    // --file-size above the limit, so that the third file reaches it: the
    // first ones are smaller, 1 MiB and 2 MiB.
    ProgramRun run = run_shell("trap '' XFSZ; prlimit --fsize=" + std::to_string(limit) + " " +
                               sprayl_check + " --fill " + directory + " --file-size 4M");
    EXPECT_EQ(run.exit_code, 3) << run.out << run.err;
    EXPECT_TRUE(has_line(run.out, "result: UNCONFIRMED, not all of the free room was tested"))
        << run.out;
    uint64_t written = (1 << 20) + (2 << 20) + limit;
    EXPECT_EQ(run.out.find("verdict: tested " + std::to_string(written) + " of "), 0u) << run.out;
    EXPECT_NE(run.out.find("File too large; the bytes read are intact\n"), std::string::npos)
        << run.out;
    std::vector<size_t> sizes;
    Bytes stream = read_fill_files(directory, &sizes);
    EXPECT_EQ(sizes, (std::vector<size_t>{1 << 20, 2 << 20, limit}));
    EXPECT_TRUE(is_reference_stream(stream));
}

// The check reads the drive, not the cache: data changed on the device
// behind the mounted file system, while the file's pages are still cached
// as written, shows as damage in that file.
TEST(Fill, TheCheckReadsTheDeviceNotTheCache) {
    SmallFileSystem fs = mount_small_file_system("cache-mnt", 8);
    if (fs.mount_point.empty()) {
        GTEST_SKIP() << fs.why_not;
    }
    ProgramRun fill = run_shell(sprayl_check + " --fill " + fs.mount_point + " --file-size 1M");
    ASSERT_EQ(fill.exit_code, 0) << fill.out << fill.err;
    ProgramRun loop = run_shell("losetup -j " + fs.image + " | cut -d: -f1");
    std::string device = loop.out.substr(0, loop.out.find('\n'));
    ASSERT_FALSE(device.empty()) << loop.err;

    // Where 16 bytes from the middle of file 2 lie on the device.
    Bytes file = read_whole(fs.mount_point + "/sprayl-00002.bin");
    ASSERT_GE(file.size(), 600000u);
    Bytes marker(file.begin() + 500000, file.begin() + 500016);
    Bytes disk = read_whole(device);
    auto found = std::search(disk.begin(), disk.end(), marker.begin(), marker.end());
    ASSERT_NE(found, disk.end());
    off_t offset = found - disk.begin();
    int fd = open(device.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "changed on the device", 16, offset), 16);
    ASSERT_EQ(fsync(fd), 0);
    close(fd);

    ProgramRun check = run_shell(sprayl_check + " " + fs.mount_point);
    EXPECT_EQ(check.exit_code, 1) << check.out << check.err;
    EXPECT_TRUE(has_line(check.out, "  sprayl-00001.bin: intact")) << check.out;
    EXPECT_NE(check.out.find("  sprayl-00002.bin: DAMAGED"), std::string::npos) << check.out;
    unmount(fs);
}

// --resume refuses a directory that does not hold one intact run from its
// start, with the reason, before it writes anything.
struct RefusedResumeCase {
    const char* name;
    std::vector<std::pair<size_t, size_t>> files; // stream bytes [from, to) of each, 0: none
    size_t zeroed;                                // a stretch of zeros from here, 0: none
    const char* reason;
};

const RefusedResumeCase refused_resume_cases[] = {
    {"no fill files", {}, 0, "it holds no fill files"},
    {"a file missing", {{0, 100000}, {0, 0}, {200000, 300000}}, 0, "fill files are missing"},
    {"damage before the last file",
     {{0, 100000}, {100000, 150000}},
     50000,
     "damage at stream offset 50000, before its last file"},
    {"no header", {{0, 10}}, 0, "its first file has no header to read the run from"},
};

TEST(Resume, ADirectoryWithoutOneIntactRunIsRefused) {
    Bytes stream = test_stream(400000);
    int number = 0;
    for (const RefusedResumeCase& c : refused_resume_cases) {
        SCOPED_TRACE(c.name);
        std::string directory = "resume-refused-" + std::to_string(++number);
        std::filesystem::create_directories(memory_scratch_path(directory));
        for (size_t i = 0; i < c.files.size(); ++i) {
            if (c.files[i].second == 0) {
                continue;
            }
            Bytes file(stream.begin() + static_cast<std::ptrdiff_t>(c.files[i].first),
                       stream.begin() + static_cast<std::ptrdiff_t>(c.files[i].second));
            if (c.zeroed != 0 && c.zeroed >= c.files[i].first && c.zeroed < c.files[i].second) {
                std::fill(file.begin() + static_cast<std::ptrdiff_t>(c.zeroed - c.files[i].first),
                          file.begin() + static_cast<std::ptrdiff_t>(c.zeroed - c.files[i].first) +
                              1000,
                          0);
            }
            write_bytes(
                memory_scratch_path(directory + "/sprayl-0000" + std::to_string(i + 1) + ".bin"),
                file);
        }
        ProgramRun run =
            run_shell(sprayl_check + " --fill " + memory_scratch_path(directory) + " --resume");
        EXPECT_EQ(run.exit_code, 2) << run.out << run.err;
        EXPECT_NE(run.err.find("cannot resume the fill in \"" + memory_scratch_path(directory) +
                               "\": it does not hold one intact run from its start: " + c.reason),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(run.out, "");
    }
}

// Rewrites the fill record in directory as a fill cut off while it wrote
// file files + 1 leaves it: the files before listed, its outcome running.
void record_cut_off(const std::string& directory, uint32_t files) {
    std::string path = directory + "/" + fill_record_name;
    std::string text = read_all_text(path);
    static FillRecord record;
    char why[256];
    ASSERT_EQ(parse_fill_record(text.data(), text.size(), &record, why, sizeof why), record_read)
        << why;
    record_keep_files(&record, files, record_file_size(&record, files));
    record.end = fill_running;
    record.end_reason[0] = '\0';
    static char formatted[1 << 16];
    size_t length = format_fill_record(&record, formatted, sizeof formatted);
    write_bytes(path, Bytes(formatted, formatted + length));
}

// A fill cut off as a power cut leaves it: its last file cut short with
// zeros at its end, the files after it never written. --resume cuts that
// file back to its last intact sector, writes on with the same run, and
// all of it checks intact: with the record that the fill kept (cut off
// while it wrote file 3), and for a fill made before fills kept one.
TEST(Resume, AnInterruptedFillGoesOnWithTheSameRun) {
    for (bool with_record : {true, false}) {
        SCOPED_TRACE(with_record ? "with its record" : "with no record");
        SmallFileSystem fs = mount_small_file_system("resume-mnt", 12);
        if (fs.mount_point.empty()) {
            GTEST_SKIP() << fs.why_not;
        }
        ProgramRun first =
            run_shell(sprayl_check + " --fill " + fs.mount_point + " --file-size 1M");
        ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
        std::vector<size_t> sizes;
        Bytes whole = read_fill_files(fs.mount_point, &sizes);
        ASSERT_GE(sizes.size(), 6u);
        // Files 4 on gone; file 3 ends in zeros from 300000 on.
        for (size_t number = 4; number <= sizes.size(); ++number) {
            char path[4096];
            fill_file_path(fs.mount_point.c_str(), static_cast<uint32_t>(number), path,
                           sizeof path);
            std::filesystem::remove(path);
        }
        if (with_record) {
            record_cut_off(fs.mount_point, 2);
        } else {
            std::filesystem::remove(fs.mount_point + "/" + fill_record_name);
        }
        std::string third = fs.mount_point + "/sprayl-00003.bin";
        Bytes cut = read_whole(third);
        std::fill(cut.begin() + 300000, cut.end(), 0);
        write_bytes(third, cut);

        std::string json = scratch_path("resume.json");
        ProgramRun resumed = run_shell(sprayl_check + " --fill " + fs.mount_point +
                                       " --resume --file-size 1M --json " + json);
        EXPECT_EQ(resumed.exit_code, 0) << resumed.out << resumed.err;
        EXPECT_TRUE(has_line(resumed.out, "result: intact")) << resumed.out;
        size_t kept = sizes[0] + sizes[1] + 300000 / 512 * 512;
        EXPECT_NE(resumed.err.find("going on with the fill in \"" + fs.mount_point + "\" after " +
                                   std::to_string(kept) + " intact bytes in 3 files"),
                  std::string::npos)
            << resumed.err;
        std::vector<size_t> new_sizes;
        Bytes stream = read_fill_files(fs.mount_point, &new_sizes);
        ASSERT_GE(new_sizes.size(), 4u);
        EXPECT_EQ(new_sizes[2], 300000u / 512 * 512);
        // The same run: the first files unchanged, the stream one run throughout.
        EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(kept),
                               stream.begin()));
        EXPECT_TRUE(is_reference_stream(stream));
        // The rate is this run's own: of the bytes it wrote, not of all.
        std::string written = "written: " + std::to_string(stream.size()) + " bytes (";
        size_t at = resumed.out.find("\n" + written);
        ASSERT_NE(at, std::string::npos) << resumed.out;
        std::string line = resumed.out.substr(at + 1, resumed.out.find('\n', at + 1) - at - 1);
        EXPECT_NE(line.find(" files, " + std::to_string(stream.size() - kept) + " bytes ("),
                  std::string::npos)
            << line;
        EXPECT_NE(line.find(" of them by this run, "), std::string::npos) << line;
        JsonValue report = read_report(json);
        const JsonValue* stretches = json_at(report, "rates.write.stretches");
        ASSERT_NE(stretches, nullptr);
        uint64_t rated = 0;
        for (size_t i = 0; i < stretches->items.size(); ++i) {
            rated += json_number(json_at(*stretches, std::to_string(i) + ".bytes"));
        }
        EXPECT_EQ(rated, stream.size() - kept);
        // The record goes on with the fill: a later check finds it whole.
        ProgramRun later = run_shell(sprayl_check + " " + fs.mount_point);
        EXPECT_EQ(later.exit_code, 0) << later.out << later.err;
        EXPECT_NE(later.out.find("fill record: " + std::to_string(new_sizes.size()) + " files, " +
                                 std::to_string(stream.size()) + " bytes"),
                  std::string::npos)
            << later.out;
        unmount(fs);
    }
}

} // namespace
