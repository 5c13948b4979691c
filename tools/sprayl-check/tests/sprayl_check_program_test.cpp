// sprayl-check as a program: with sprayl in a pipe, on files, and on the
// inputs and arguments it must refuse.
#include "check_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string sprayl = SPRAYL_PROGRAM;
const std::string sprayl_check = SPRAYL_CHECK_PROGRAM;

struct ProgramRun {
    int exit_code;
    std::string out;
    std::string err;
};

std::string read_all(std::FILE* file) {
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, got);
    }
    return text;
}

std::string scratch;

void remove_scratch() {
    std::filesystem::remove_all(scratch);
}

const std::string& scratch_directory() {
    if (scratch.empty()) {
        char name[] = "/tmp/sprayl-check-test-XXXXXX";
        EXPECT_NE(mkdtemp(name), nullptr);
        scratch = name;
        std::atexit(remove_scratch);
    }
    return scratch;
}

std::string scratch_path(const std::string& name) {
    return scratch_directory() + "/" + name;
}

// Runs command with sh; its standard error goes to a file of its own.
ProgramRun run_shell(const std::string& command) {
    std::string err_path = scratch_path("stderr");
    ProgramRun run = {-1, "", ""};
    std::FILE* pipe = popen(("( " + command + " ) 2>" + err_path).c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return run;
    }
    run.out = read_all(pipe);
    int status = pclose(pipe);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::FILE* err = std::fopen(err_path.c_str(), "rb");
    if (err != nullptr) {
        run.err = read_all(err);
        std::fclose(err);
    }
    return run;
}

std::string write_file(const std::string& name, const Bytes& bytes) {
    std::string path = scratch_path(name);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr) << path;
    if (file != nullptr) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
    return path;
}

bool has_line(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

uint64_t first_bad_offset(const std::string& report) {
    const std::string label = "\nfirst bad byte: offset ";
    size_t at = ("\n" + report).find(label);
    return at == std::string::npos
               ? UINT64_MAX
               : std::strtoull(report.c_str() + at + label.size() - 1, nullptr, 10);
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

TEST(CheckFile, ProgressOnATerminalEndsWithANewline) {
    // script gives the program a terminal and copies what it shows there.
    if (std::system("script -qec true /dev/null < /dev/null > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no pseudo-terminal can be had here: script cannot open one";
    }
    Bytes stream = test_stream(5 * block_bytes);
    stream[1000] ^= 1;
    std::string path = write_file("progress.bin", stream);
    ProgramRun run = run_shell("script -qec '" + sprayl_check + " " + path +
                               " > /dev/null' /dev/null < /dev/null");
    EXPECT_EQ(run.out.rfind("\rchecked 80.00 KiB ", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("/s   damaged bytes: 1 "), std::string::npos) << run.out;
    ASSERT_GE(run.out.size(), 2u);
    EXPECT_EQ(run.out.back(), '\n') << run.out;
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
    ProgramRun empty = run_shell(sprayl_check + " < /dev/null");
    EXPECT_EQ(empty.exit_code, 2);
    EXPECT_NE(empty.err.find("\"standard input\" is too short"), std::string::npos) << empty.err;
}

TEST(CheckFile, UnopenableAndUnreadableInputs) {
    std::string missing = scratch_path("no such file.bin");
    ProgramRun run = run_shell(sprayl_check + " '" + missing + "'");
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.err,
              "sprayl-check: cannot open \"" + missing + "\": No such file or directory\n");
    EXPECT_EQ(run.out, "");

    // A directory opens, but reading it fails.
    ProgramRun directory = run_shell(sprayl_check + " " + scratch_directory());
    EXPECT_EQ(directory.exit_code, 2);
    EXPECT_NE(directory.err.find("cannot read \"" + scratch_directory() + "\" past offset 0"),
              std::string::npos)
        << directory.err;
    EXPECT_TRUE(
        has_line(directory.out, "result: INCOMPLETE, the input could not be read past offset 0"))
        << directory.out;
}

TEST(Arguments, UsageErrorsAndHelp) {
    struct Case {
        const char* arguments;
        int exit_code;
        const char* err_start;
    };
    const Case cases[] = {
        {"a b", 2, "sprayl-check: too many arguments, from \"b\"\nusage: sprayl-check [FILE]\n"},
        {"-x", 2, "sprayl-check: unknown option \"-x\"\nusage: sprayl-check [FILE]\n"},
        {"--help", 0, ""},
        {"-h", 0, ""},
    };
    for (const Case& c : cases) {
        ProgramRun run = run_shell(sprayl_check + " " + c.arguments + " < /dev/null");
        EXPECT_EQ(run.exit_code, c.exit_code) << c.arguments;
        EXPECT_EQ(run.err.rfind(c.err_start, 0), 0u) << c.arguments << ": " << run.err;
        if (c.exit_code == 0) {
            EXPECT_EQ(run.out.rfind("usage: sprayl-check [FILE]\n", 0), 0u) << run.out;
        }
    }
}

} // namespace
