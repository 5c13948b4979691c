// Reading inputs into the check: a read error in the middle of a file,
// injected in place of the system's read.
#include "check_input.h"
#include "check_report.h"
#include "check_test_support.h"
#include "fill.h"
#include "read_back.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

StreamCheck check;
InputList inputs;

// The input offsets that the fake read cannot read.
uint64_t bad_start;
uint64_t bad_end;

int64_t read_with_bad_range(const OpenInput* input, unsigned char* buffer, size_t size,
                            uint64_t offset, int* error) {
    if (offset < bad_end && offset + size > bad_start) {
        *error = EIO;
        return -1;
    }
    return read_input(input, buffer, size, offset, error);
}

std::string write_temporary(const Bytes& bytes) {
    char name[] = "/tmp/sprayl-check-input-XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    return name;
}

DamageTotals damage(uint64_t start, uint64_t end) {
    DamageTotals totals;
    damage_between(&check.result, start, end, &totals);
    return totals;
}

uint64_t all_damage(const DamageTotals& totals) {
    uint64_t sum = 0;
    for (uint64_t bytes : totals.bytes) {
        sum += bytes;
    }
    return sum;
}

TEST(ReadErrors, AnUnreadableRangeIsSkippedAndTheCheckGoesOn) {
    const uint64_t size = 3 * (1 << 20) + 1000;
    std::string path = write_temporary(test_stream(size));
    char* paths[] = {path.data()};
    char message[256] = "";
    ASSERT_TRUE(prepare_inputs(&inputs, paths, 1, message, sizeof message)) << message;
    // Two sectors in the second megabyte, and the last, short piece.
    struct Range {
        uint64_t start, end, unreadable;
    };
    const Range ranges[] = {
        {(1 << 20) + 8192, (1 << 20) + 8192 + 2 * error_step_bytes, 2 * error_step_bytes},
        {size - 100, size, 1000},
    };
    for (const Range& range : ranges) {
        bad_start = range.start;
        bad_end = range.end;
        Progress progress = {};
        check_start(&check);
        CheckEnd end =
            check_inputs(&inputs, &check, read_with_bad_range, &progress, message, sizeof message);
        EXPECT_EQ(end, check_end_of_input) << message;
        EXPECT_EQ(check.result.bytes_read, size) << range.start;
        check_finish(&check, end, 0);
        EXPECT_EQ(check.result.outcome, outcome_damaged);
        uint64_t from = range.end - range.unreadable;
        EXPECT_EQ(damage(from, range.end).bytes[damage_unreadable], range.unreadable);
        EXPECT_EQ(all_damage(damage(0, from)), 0u) << range.start;
        EXPECT_EQ(all_damage(damage(range.end, size)), 0u) << range.start;
    }
    std::remove(path.c_str());
}

TEST(ReadErrors, AFailedReadOfAStreamEndsTheCheck) {
    bad_start = 0;
    bad_end = UINT64_MAX;
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    ASSERT_EQ(write(pipe_ends[1], "0123456789abcdefgh", 18), 18);
    close(pipe_ends[1]);
    int saved = dup(STDIN_FILENO);
    dup2(pipe_ends[0], STDIN_FILENO);
    char message[256] = "";
    ASSERT_TRUE(prepare_inputs(&inputs, nullptr, 0, message, sizeof message));
    Progress progress = {};
    check_start(&check);
    CheckEnd end =
        check_inputs(&inputs, &check, read_with_bad_range, &progress, message, sizeof message);
    dup2(saved, STDIN_FILENO);
    close(saved);
    close(pipe_ends[0]);
    EXPECT_EQ(end, check_end_read_failed);
    EXPECT_STREQ(message, "cannot read standard input past offset 0: Input/output error");
}

} // namespace

namespace {

// The first fill files are smaller, growing to --file-size: a drive that
// holds far less than it claims is found after little was written. The
// contract, not the schedule: the first file is at most 1 MiB or a 64th of
// the file size, no file is smaller than the one before it nor larger than
// the file size, the file size is reached within eight files, and what is
// written before the first whole-size file is no more than one of them.
TEST(FillFiles, TheFirstFilesGrowToTheFileSize) {
    const uint64_t mib = uint64_t{1} << 20;
    const uint64_t file_sizes[] = {1000000, 1 * mib, 3 * mib, 4 * mib, 1024 * mib,
                                   4096 * mib, uint64_t{1} << 40};
    for (uint64_t file_size : file_sizes) {
        SCOPED_TRACE(file_size);
        uint64_t first = fill_file_limit(file_size, 1);
        EXPECT_LE(first, std::max(mib, file_size / 64));
        uint64_t before_whole = 0;
        uint64_t previous = 0;
        uint32_t number = 1;
        for (; number <= 8; ++number) {
            uint64_t limit = fill_file_limit(file_size, number);
            EXPECT_GE(limit, previous) << number;
            EXPECT_LE(limit, file_size) << number;
            previous = limit;
            if (limit == file_size) {
                break;
            }
            before_whole += limit;
        }
        EXPECT_LE(number, 8u);
        EXPECT_LE(before_whole, file_size);
        // And so on for ever, past any count a drive can hold.
        EXPECT_EQ(fill_file_limit(file_size, 60000), file_size);
        EXPECT_EQ(fill_file_limit(file_size, UINT32_MAX), file_size);
    }
}

// A piece read back lies in one file, starts at a whole 4 KiB of it, and
// ends no later than the file does.
TEST(FillFiles, APieceReadBackLiesInOneFileAtAWholePage) {
    const uint64_t starts[] = {0, 1000000, 3000000, 3010000};
    struct {
        uint64_t choice;
        uint32_t file;
        uint64_t stream_offset;
        uint32_t size;
    } const cases[] = {
        {0, 0, 0, sample_piece_bytes},
        {999999, 0, 999424, 1000000 - 999424},
        {1000000, 1, 1000000, sample_piece_bytes},
        {1004095, 1, 1000000, sample_piece_bytes},
        {1004096, 1, 1004096, sample_piece_bytes},
        {3009999, 2, 3008192, 3010000 - 3008192},
        {3010000 + 5000, 0, 4096, sample_piece_bytes}, // past the end: again from the start
    };
    for (const auto& c : cases) {
        SamplePlace place = sample_place(starts, 3, 0, 3010000, c.choice);
        EXPECT_EQ(place.file, c.file) << c.choice;
        EXPECT_EQ(place.stream_offset, c.stream_offset) << c.choice;
        EXPECT_EQ(place.size, c.size) << c.choice;
    }
}

} // namespace
