// The fill and the reading of fill files against a scripted system layer:
// full file systems, failures and stop requests wherever a test puts them,
// without root, loop devices or a disk.
#include "check_input.h"
#include "exit_code.h"
#include "fill.h"
#include "fill_start.h"
#include "json_output.h"
#include "output_file.h"
#include "run_verdict.h"
#include "scripted_system.h"
#include "stream_check.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

FillWork fill_work; // too large for the stack

const GeneratorState seed = {{0x9E3779B9, 0x7F4A7C15, 0xF39CC060, 0x5CEDC834}, 0};
constexpr uint64_t file_size = 100000; // not a whole number of blocks
const FillPlan plan = {file_size, false, 0, 0, nullptr};

StreamCheck check;
InputList inputs;
FillRecord record;
OpenDirectory folder;

// The fill files in their order, one after another (the record is not one).
std::vector<unsigned char> fill_stream() {
    std::vector<unsigned char> all;
    for (const auto& file : scripted.files) {
        uint32_t number;
        if (fill_file_number(file.first.c_str() + 5, &number)) {
            all.insert(all.end(), file.second.begin(), file.second.end());
        }
    }
    return all;
}

size_t fill_file_count() {
    size_t count = 0;
    for (const auto& file : scripted.files) {
        uint32_t number;
        count += fill_file_number(file.first.c_str() + 5, &number);
    }
    return count;
}

// Fills "fill" with the run from seed, its record started as a new fill's.
bool fill_scripted(FillOutcome* outcome, char* message, size_t capacity) {
    open_directory("fill", &folder);
    unsigned char run[header_bytes];
    run_header(&seed, run);
    start_fill_record(&record, run, file_size, 0, scripted.free_bytes, scripted.free_files);
    Progress progress = {};
    return fill_directory(&fill_work, &folder, &plan, &seed, &record, &progress, outcome, message,
                          capacity);
}

struct FillCase {
    const char* name;
    uint64_t free_bytes;
    int create_error;
    uint64_t write_error_at;
    int write_error;
    int flush_error;
    unsigned stop_at_write;
    bool filled;    // fill_directory's answer
    uint32_t files; // fill files left
    uint64_t bytes; // written in all
    bool interrupted;
    const char* message; // its start; "" for none
};

const FillCase fill_cases[] = {
    {"full in the third file", 250000, 0, 0, 0, 0, 0, true, 3, 250000, false, ""},
    {"full where a file ends: no empty file left", 200000, 0, 0, 0, 0, 0, true, 2, 200000, false,
     ""},
    {"full from the start", 0, 0, 0, 0, 0, 0, true, 0, 0, false, ""},
    {"no file can be made", 250000, EACCES, 0, 0, 0, 0, false, 0, 0, false,
     "cannot create \"fill/sprayl-00001.bin\": Permission denied"},
    {"a write fails", 250000, 0, 150000, EIO, 0, 0, false, 1, 150000, false,
     "cannot write \"fill/sprayl-00002.bin\": Input/output error"},
    {"a flush fails: the fill ends there", 250000, 0, 0, 0, EIO, 0, true, 1, 100000, false,
     "cannot flush \"fill/sprayl-00001.bin\": Input/output error"},
    {"a flush finds the file system full", 250000, 0, 0, 0, ENOSPC, 0, true, 1, 100000, false, ""},
    {"a stop request during the third write", 10000000, 0, 0, 0, 0, 3, true, 3, 300000, true, ""},
};

TEST(ScriptedFill, EndsWhereTheFileSystemOrTheUserSaysAndKeepsOneStream) {
    for (const FillCase& c : fill_cases) {
        // Room for the fill files, and for the record beside them.
        reset_scripted_system(c.free_bytes + fill_record_unit);
        scripted.create_error = c.create_error;
        scripted.write_error_at = c.write_error_at;
        scripted.write_error = c.write_error;
        scripted.flush_error = c.flush_error;
        scripted.stop_at_write = c.stop_at_write;
        FillOutcome outcome;
        char message[256] = "";
        bool filled = fill_scripted(&outcome, message, sizeof message);
        EXPECT_EQ(filled, c.filled) << c.name << ": " << message;
        EXPECT_EQ(std::string(message).rfind(c.message, 0), 0u) << c.name << ": " << message;
        if (c.message[0] == '\0') {
            EXPECT_STREQ(message, "") << c.name;
        }
        if (!filled) {
            continue;
        }
        EXPECT_EQ(outcome.files, c.files) << c.name;
        EXPECT_EQ(outcome.bytes, c.bytes) << c.name;
        EXPECT_EQ(outcome.interrupted, c.interrupted) << c.name;
        EXPECT_EQ(fill_file_count(), c.files) << c.name;
        EXPECT_EQ(record_file_count(&record), c.files) << c.name;
        EXPECT_EQ(record_bytes(&record), c.bytes) << c.name;
        // Every file but the last is whole, and all of them are one run.
        uint32_t number = 0;
        for (const auto& file : scripted.files) {
            if (file.first == "fill/sprayl-fill.txt") {
                continue;
            }
            char path[64];
            fill_file_path("fill", ++number, path, sizeof path);
            EXPECT_EQ(file.first, path) << c.name;
            if (number < c.files) {
                EXPECT_EQ(file.second.size(), file_size) << c.name << " " << path;
            }
        }
        std::vector<unsigned char> stream = fill_stream();
        ASSERT_EQ(stream.size(), c.bytes) << c.name;
        if (stream.size() >= 32) {
            check_start_run(&check, &seed);
            check_bytes(&check, stream.data(), stream.size());
            check_finish(&check, check_end_of_input, 0);
            EXPECT_EQ(check.result.outcome, outcome_intact) << c.name;
        }
    }
}

// Fill files of whole pages are written around the cache where the file
// system takes that; what it refuses, and the last bytes of a file system
// whose room ends inside a page, go through the cache: the same stream,
// every byte once, and a drive's error still stops the fill where it was.
TEST(ScriptedFill, WritesAroundTheCacheLoseNothingAndKeepErrors) {
    constexpr uint64_t mib = 1 << 20;
    const struct {
        const char* name;
        uint64_t free_bytes;
        bool takes_writes_around_cache;
        uint64_t write_error_at; // EIO from there on; 0: none
        unsigned stop_at_write;
        bool filled;
        uint64_t bytes;
        bool around_cache; // some writes went around the cache
    } cases[] = {
        {"room for whole files", 3 * mib, true, 0, 0, true, 3 * mib, true},
        {"the room ends inside a page", 2 * mib + 5000, true, 0, 0, true, 2 * mib + 5000, true},
        {"no writes around the cache", 2 * mib + 5000, false, 0, 0, true, 2 * mib + 5000, false},
        {"a drive error part-way", 3 * mib, true, mib + mib / 2, 0, false, mib + mib / 2, true},
        {"a stop request", 8 * mib, true, 0, 2, true, 2 * mib, true},
    };
    const FillPlan whole_pages = {mib, false, 0, 0, nullptr};
    for (const auto& c : cases) {
        reset_scripted_system(c.free_bytes + fill_record_unit);
        scripted.takes_writes_around_cache = c.takes_writes_around_cache;
        scripted.write_error_at = c.write_error_at;
        scripted.write_error = c.write_error_at != 0 ? EIO : 0;
        scripted.stop_at_write = c.stop_at_write;
        open_directory("fill", &folder);
        unsigned char run[header_bytes];
        run_header(&seed, run);
        start_fill_record(&record, run, mib, 0, scripted.free_bytes, scripted.free_files);
        Progress progress = {};
        FillOutcome outcome;
        char message[256] = "";
        bool filled = fill_directory(&fill_work, &folder, &whole_pages, &seed, &record, &progress,
                                     &outcome, message, sizeof message);
        EXPECT_EQ(filled, c.filled) << c.name << ": " << message;
        EXPECT_EQ(scripted.writes_around_cache > 0, c.around_cache) << c.name;
        if (!c.filled) {
            EXPECT_STREQ(message, "cannot write \"fill/sprayl-00002.bin\": Input/output error")
                << c.name;
        }
        std::vector<unsigned char> stream = fill_stream();
        ASSERT_EQ(stream.size(), c.bytes) << c.name;
        check_start_run(&check, &seed);
        check_bytes(&check, stream.data(), stream.size());
        check_finish(&check, check_end_of_input, 0);
        EXPECT_EQ(check.result.outcome, outcome_intact) << c.name;
    }
}

TEST(ScriptedFill, TheRunningSystemsFileSystemIsNeverFilled) {
    const struct {
        const char* directory;
        bool allowed;
    } cases[] = {{"system", false}, {"system/tmp", false}, {"fill", true}, {"systemic", true}};
    for (const auto& c : cases) {
        char message[256] = "";
        EXPECT_EQ(fill_allowed(c.directory, message, sizeof message), c.allowed) << c.directory;
        EXPECT_EQ(std::string(message).find("the system's own disk") != std::string::npos,
                  !c.allowed)
            << message;
    }
}

struct ReadCase {
    ReadMethod method;
    bool reaches_drive;
    CheckOutcome outcome;
    int exit_code;
};

// Fill files that read back as written: intact only where they were read
// from the drive; where they may have come from memory, no damage found
// confirms nothing.
const ReadCase read_cases[] = {
    {read_around_cache, true, outcome_intact, exit_intact},
    {read_dropped_cache, true, outcome_intact, exit_intact},
    {read_device_flushed, true, outcome_intact, exit_intact},
    {read_device_advised, true, outcome_intact, exit_intact},
    {read_device_cached, false, outcome_unconfirmed, exit_unconfirmed},
    {read_fuse_unbacked, false, outcome_unconfirmed, exit_unconfirmed},
    {read_network, false, outcome_unconfirmed, exit_unconfirmed},
    {read_through_cache, false, outcome_unconfirmed, exit_unconfirmed},
};

TEST(ScriptedCheck, ReadsThatMayComeFromMemoryAreNeverIntact) {
    for (const ReadCase& c : read_cases) {
        reset_scripted_system(250000);
        Progress progress = {};
        FillOutcome outcome;
        char message[256] = "";
        ASSERT_TRUE(fill_scripted(&outcome, message, sizeof message));
        scripted.file_method = c.method;
        prepare_fill_inputs(&inputs, &folder, outcome.files, &record);
        check_start_run(&check, &seed);
        CheckEnd end =
            check_inputs(&inputs, &check, read_input, &progress, message, sizeof message);
        check_finish(&check, end, outcome.bytes);
        const char* method = read_method_text(c.method);
        EXPECT_EQ(read_reaches_drive(c.method), c.reaches_drive) << method;
        EXPECT_EQ(check.result.bytes_read, outcome.bytes) << method;
        EXPECT_EQ(check.result.outcome, c.outcome) << method;
        EXPECT_EQ(run_exit_code(run_outcome_of(check.result.outcome)), c.exit_code) << method;
        EXPECT_EQ(inputs.unreached_reason[0] != '\0', !c.reaches_drive) << method;
        for (size_t i = 0; i < outcome.files; ++i) {
            EXPECT_EQ(inputs.methods[i], c.method) << method;
        }
    }
}

// A report's file: written whole under its name, or, where a write or the
// flush fails, the earlier report left as it was and nothing beside it.
TEST(ScriptedReportFile, AFailedDocumentLeavesTheEarlierOne) {
    struct Case {
        const char* name;
        uint64_t write_error_at;
        int write_error;
        int flush_error;
        const char* message; // "" when the document is written
    };
    const Case cases[] = {
        {"written whole", 0, 0, 0, ""},
        {"a write past the first 64 KiB fails", 70000, EIO, 0,
         "cannot write \"out/r.json\": Input/output error"},
        {"the file system is full", 1000, ENOSPC, 0,
         "cannot write \"out/r.json\": No space left on device"},
        {"the flush fails", 0, 0, EIO, "cannot write \"out/r.json\": Input/output error"},
    };
    const std::string earlier =
        "{\"version\": {\"schema\": 1, \"program\": \"sprayl-check 1.0\"}}\n";
    const std::string document(100000, 'x');
    for (const Case& c : cases) {
        reset_scripted_system(1 << 20);
        scripted.files["in.bin"] = {1, 2, 3};
        scripted.files["out/r.json"].assign(earlier.begin(), earlier.end());
        scripted.write_error_at = c.write_error_at;
        scripted.write_error = c.write_error;
        scripted.flush_error = c.flush_error;
        const OutputTarget target = {"--json", "JSON report", "out/r.json", is_run_json};
        const char* const reads[] = {"in.bin"};
        char message[256] = "";
        ASSERT_TRUE(outputs_allowed(&target, 1, reads, 1, message, sizeof message)) << message;
        static OutputFile output;
        ASSERT_TRUE(output_open(&output, &target, message, sizeof message)) << message;
        output_text(&output, document.c_str());
        bool written = output_close(&output, message, sizeof message);
        EXPECT_EQ(written, c.message[0] == '\0') << c.name;
        EXPECT_STREQ(message, c.message) << c.name;
        const std::vector<unsigned char>& there = scripted.files["out/r.json"];
        EXPECT_EQ(std::string(there.begin(), there.end()), written ? document : earlier) << c.name;
        EXPECT_EQ(scripted.files.size(), 2u) << c.name; // nothing left beside it
    }
}

} // namespace
