// sprayl-check --speed: what goes with it on the command line, and runs on
// a small tmpfs of the test's own: the report's lines, the scratch file
// gone and the user's files as they were, after a whole run and after
// Ctrl+C.
#include "check_options.h"
#include "child_process.h"
#include "program_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <sys/statvfs.h>
#include <thread>
#include <vector>

namespace {

struct OptionCase {
    std::vector<std::string> words;
    CheckAction action;
    const char* message; // the start of the usage error
};

const OptionCase option_cases[] = {
    {{"--speed", "d"}, action_speed, ""},
    {{"--speed", "d", "--size", "64M", "--claims", "U3 v30,A2", "--json", "j"}, action_speed, ""},
    {{"--speed", "d", "--fill", "d"}, action_usage_error, "--speed: --fill and --speed"},
    {{"--speed", "d", "f"}, action_usage_error, "--speed measures the drive of one directory"},
    {{"--speed", "d", "--resume"}, action_usage_error, "--resume goes with --fill"},
    {{"--speed", "d", "--claims", "U3 X9"}, action_usage_error, "--claims: \"X9\" is no class"},
    {{"--speed", "d", "--claims", ""}, action_usage_error, "--claims needs a class"},
    {{"--claims", "U3", "f"}, action_usage_error, "--claims goes with --speed"},
    {{"--fill", "d", "--claims", "U3"}, action_usage_error, "--claims goes with --speed"},
    {{"--probe", "/dev/x", "--speed", "d"}, action_usage_error, "--probe goes with neither"},
};

TEST(SpeedOptions, WhatGoesWithSpeed) {
    for (const OptionCase& c : option_cases) {
        std::vector<std::string> words = c.words;
        std::vector<char*> argv = {const_cast<char*>("sprayl-check")};
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        CheckOptions options;
        parse_options(static_cast<int>(argv.size()), argv.data(), &options);
        std::string said = c.words[0] + " " + c.words[1];
        EXPECT_EQ(options.action, c.action) << said << ": " << options.message;
        EXPECT_EQ(std::string(options.message).rfind(c.message, 0), 0u)
            << said << ": " << options.message;
    }
}

// The files in directory, each with its bytes.
std::map<std::string, Bytes> files_in(const std::string& directory) {
    std::map<std::string, Bytes> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        files[entry.path().filename().string()] = read_whole(entry.path().string());
    }
    return files;
}

uint64_t free_blocks(const std::string& directory) {
    struct statvfs info {};
    statvfs(directory.c_str(), &info);
    return info.f_bfree;
}

// A tmpfs with the user's files on it, to measure.
struct SpeedPlace {
    std::string root;
    std::string why_not;
    std::map<std::string, Bytes> user_files;
    uint64_t free_before;
};

SpeedPlace user_drive(const std::string& name) {
    SpeedPlace place;
    place.root = mount_small_tmpfs(name, 64 << 10, &place.why_not);
    if (place.root.empty()) {
        return place;
    }
    write_bytes(place.root + "/photo.jpg", Bytes(100000, 0x5a));
    write_bytes(place.root + "/.sprayl-speed-00000000.tmp", Bytes(4096, 0x11));
    place.user_files = files_in(place.root);
    place.free_before = free_blocks(place.root);
    return place;
}

void expect_as_before(const SpeedPlace& place) {
    EXPECT_EQ(files_in(place.root), place.user_files) << "the scratch file stayed, or a file"
                                                         " of the user's changed";
    EXPECT_EQ(free_blocks(place.root), place.free_before);
}

TEST(SpeedRuns, FiveLinesAndTheDriveAsBefore) {
    SpeedPlace place = user_drive("speed-run");
    if (place.root.empty()) {
        GTEST_SKIP() << place.why_not;
    }
    std::string json = scratch_path("speed.json");
    ProgramRun run = run_shell(sprayl_check + " --speed " + place.root +
                               " --size 32M --claims 'V6 C10' --json " + json);
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    std::regex five("sequential write: [0-9]+\\.[0-9] MB/s\n"
                    "sequential read: [0-9]+\\.[0-9] MB/s\n"
                    "random 4 KiB reads: [0-9]+ IOPS\n"
                    "random 4 KiB writes: [0-9]+ IOPS\n"
                    "classes: C10 (yes|no), U1 (yes|no), U3 (yes|no), V6 (yes|no), V10 (yes|no),"
                    " V30 (yes|no), V60 (yes|no), V90 (yes|no), A1 (yes|no), A2 (yes|no)\n");
    EXPECT_TRUE(std::regex_search(run.out, five)) << run.out;
    EXPECT_TRUE(has_line(run.out, "claim V6: met")) << run.out;
    EXPECT_NE(run.out.find("32.00 MiB written and read back"), std::string::npos) << run.out;
    EXPECT_EQ(report_field(json, "mode"), "speed");
    EXPECT_EQ(report_field(json, "speed.bytes"), std::to_string(32 << 20));
    EXPECT_EQ(report_field(json, "claims.0.met"), "true");
    expect_as_before(place);
}

TEST(SpeedRuns, CtrlCRemovesTheScratchFile) {
    SpeedPlace place = user_drive("speed-stopped");
    if (place.root.empty()) {
        GTEST_SKIP() << place.why_not;
    }
    int output =
        open(scratch_path("speed-stopped.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ChildSetup setup;
    setup.output = output;
    setup.error = output;
    pid_t child = start_child({sprayl_check, "--speed", place.root, "--size", "32M"}, setup);
    close(output);
    ASSERT_GT(child, 0);
    // The random accesses go on for seconds once the file is there.
    bool seen = false;
    for (int wait = 0; wait < 20000 && !seen; ++wait) {
        seen = files_in(place.root).size() > place.user_files.size();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(seen) << "no scratch file was made";
    kill(child, SIGINT);
    EXPECT_EQ(wait_for(child), 130) << read_all_text(scratch_path("speed-stopped.out"));
    EXPECT_NE(read_all_text(scratch_path("speed-stopped.out")).find("interrupted"),
              std::string::npos);
    expect_as_before(place);
}

} // namespace
