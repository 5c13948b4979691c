#include "fake_platform.h"
#include "help_text.h"
#include "reference_stream.h"
#include "stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Runs stream_main with the program name and `arguments`.
int run_stream(std::vector<std::wstring> arguments = {}) {
    arguments.insert(arguments.begin(), L"sprayl");
    std::vector<WCHAR*> argv;
    for (std::wstring& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    return stream_main(static_cast<int>(arguments.size()), argv.data());
}

// The platform of these tests: the default script with the identity of
// gather_seed_tests.cpp's "plain values", which seeds this state; and no
// stop event yet, as at the start of a process.
void reset_script() {
    reset_fake_platform();
    stop_event = nullptr;
    fake.thread_id = 2;
    fake.process_id = 3;
}
constexpr GeneratorState scripted_seed{{131201, 7, 65604, 1000}, 0};

// The first count bytes of the stream from that seed.
std::vector<unsigned char> expected_stream(size_t count) {
    return reference_bytes(scripted_seed, count);
}

class StreamMain : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_script();
    }
};

TEST_F(StreamMain, HelpWordsPrintTheHelpAndReturnOne) {
    const wchar_t* help_words[] = {L"-h", L"-?", L"/?"};
    const HANDLE outputs[] = {reinterpret_cast<HANDLE>(0x100), INVALID_HANDLE_VALUE, nullptr};
    for (const wchar_t* word : help_words) {
        for (HANDLE output : outputs) {
            SCOPED_TRACE(testing::Message() << "word " << word << ", output " << output);
            reset_script();
            fake.output_handle = output;
            EXPECT_EQ(run_stream({word, L"ignored"}), 1);
            EXPECT_EQ(fake.error_text, help_text);
            EXPECT_EQ(fake.output_write_calls, 0u);
            EXPECT_EQ(fake.clock_samples_taken, 0u);
        }
    }
}

TEST_F(StreamMain, AnythingElseStreams) {
    const std::vector<std::vector<std::wstring>> argument_lists = {
        {}, {L"-H"}, {L"-help"}, {L"--help"}, {L"/h"}, {L"-h "}, {L""}, {L"x", L"-h"}, {L"-?-"}};
    for (const auto& arguments : argument_lists) {
        SCOPED_TRACE(testing::Message() << arguments.size() << " arguments");
        reset_script();
        fake.writes = {{take_all}};
        EXPECT_EQ(run_stream(arguments), 0);
        EXPECT_EQ(fake.error_text, "");
        EXPECT_EQ(fake.output, expected_stream(block_bytes));
    }
}

TEST_F(StreamMain, UnusableOutputHandleIsRefused) {
    // A null handle could never take a byte; it is refused like an invalid one.
    for (HANDLE output : {INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr)}) {
        SCOPED_TRACE(testing::Message() << "output " << output);
        reset_script();
        fake.output_handle = output;
        EXPECT_EQ(run_stream(), 1);
        EXPECT_EQ(fake.error_text, output_error_text);
        EXPECT_EQ(fake.output_write_calls, 0u);
        EXPECT_EQ(fake.clock_samples_taken, 0u);
    }
}

TEST_F(StreamMain, FailedWriteEndsWithZeroAndNoMessage) {
    for (DWORD file_type : {FILE_TYPE_PIPE, FILE_TYPE_DISK, FILE_TYPE_CHAR}) {
        SCOPED_TRACE(testing::Message() << "file type " << file_type);
        reset_script();
        fake.output_file_type = file_type;
        fake.writes = {{take_all}, {take_all}, {100}, write_fails};
        EXPECT_EQ(run_stream(), 0);
        EXPECT_EQ(fake.output_write_calls, 4u);
        EXPECT_EQ(fake.output, expected_stream(2 * block_bytes + 100));
        EXPECT_EQ(fake.error_text, "");
    }
}

TEST_F(StreamMain, ZeroByteWriteEndsAnOutputThatIsNoPipe) {
    for (DWORD file_type : {FILE_TYPE_DISK, FILE_TYPE_CHAR, FILE_TYPE_UNKNOWN}) {
        SCOPED_TRACE(testing::Message() << "file type " << file_type);
        reset_script();
        fake.output_file_type = file_type;
        fake.writes = {{take_all}, {0}};
        fake.after_writes = {take_all};
        EXPECT_EQ(run_stream(), 0);
        EXPECT_EQ(fake.output_write_calls, 2u);
        EXPECT_TRUE(fake.sleeps.empty());
        EXPECT_EQ(fake.error_text, "");
    }
}

TEST_F(StreamMain, PartialWritesDeliverTheStreamExactly) {
    // Awkward sizes, zero-byte writes on the pipe, and writes that end
    // exactly on a block boundary or one byte short of it.
    fake.writes = {{1}, {16382},    {1}, {0}, {3}, {take_all}, {16383}, {0},       {1}, {5000}, {0},
                   {0}, {take_all}, {7}, {7}, {7}, {8191},     {8192},  {take_all}};
    fake.after_writes = write_fails;
    EXPECT_EQ(run_stream(), 0);
    std::vector<unsigned char> expected = expected_stream(fake.output.size());
    EXPECT_EQ(fake.output, expected);
    EXPECT_EQ(fake.output.size(), 6 * block_bytes);
}

TEST_F(StreamMain, EachWriteAsksForTheRestOfTheBlock) {
    fake.writes = {{1000}, {0}, {15000}, {take_all}, {take_all}};
    EXPECT_EQ(run_stream(), 0);
    const std::vector<DWORD> offsets = {0, 1000, 1000, 16000, 0, 0};
    ASSERT_EQ(fake.write_lengths.size(), offsets.size());
    for (size_t i = 0; i < offsets.size(); ++i) {
        EXPECT_EQ(fake.write_lengths[i], block_bytes - offsets[i]) << "write " << i;
    }
    EXPECT_EQ(fake.output, expected_stream(2 * block_bytes));
}

TEST_F(StreamMain, ZeroByteBackOffOnAPipe) {
    // 600 zero-byte writes, then the block goes out, then the next write fails.
    fake.writes.assign(600, WriteStep{0});
    fake.writes.push_back({take_all});
    EXPECT_EQ(run_stream(), 0);
    ASSERT_EQ(fake.sleeps.size(), 599u); // none after the first zero-byte write
    struct {
        uint32_t zero_write;
        DWORD sleep_ms;
    } const expected[] = {{2, 0},   {3, 0},   {255, 0}, {256, 1},
                          {257, 1}, {511, 1}, {512, 2}, {600, 2}};
    for (const auto& e : expected) {
        EXPECT_EQ(fake.sleeps[e.zero_write - 2], e.sleep_ms) << "zero-byte write " << e.zero_write;
    }
    // Every zero-byte write after the first polled for a stop.
    EXPECT_EQ(fake.polls_after_write.size(), 599u);
    EXPECT_EQ(fake.polls_after_write.front(), 2u);
    EXPECT_EQ(fake.output, expected_stream(block_bytes));
}

TEST_F(StreamMain, ZeroWriteCountLastsTheBlockAndStartsAgainWithTheNext) {
    // In block 1 a success between zero-byte writes does not reset the
    // count; block 2 starts again from the first, unpolled, retry.
    fake.writes = {{0}, {100}, {0}, {take_all}, {0}, {take_all}};
    EXPECT_EQ(run_stream(), 0);
    EXPECT_EQ(fake.sleeps, std::vector<DWORD>{0});
    EXPECT_EQ(fake.polls_after_write, std::vector<uint64_t>{3});
    EXPECT_EQ(fake.output, expected_stream(2 * block_bytes));
}

TEST_F(StreamMain, StopSeenDuringBackOff) {
    struct {
        uint64_t stop_at_write;
        uint64_t writes_made;
    } const cases[] = {
        {1, 2},     // the first zero-byte write is retried without a poll
        {2, 2},     // from the second on, each one polls
        {300, 300}, // also once the sleeps have begun
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "stop at write " << c.stop_at_write);
        reset_script();
        // A stop that is not seen ends with 0 when the writes fail.
        fake.writes.assign(400, WriteStep{0});
        fake.stop_at_write = c.stop_at_write;
        EXPECT_EQ(run_stream(), 130);
        EXPECT_EQ(fake.output_write_calls, c.writes_made);
        EXPECT_TRUE(fake.output.empty());
    }
}

TEST_F(StreamMain, StopIsPolledAtTheStartOfEvery256thBlock) {
    struct {
        uint64_t stop_at_write;
        size_t blocks_written;
        size_t polls;
    } const cases[] = {
        {1, 255, 1}, {255, 255, 1}, {256, 511, 2}, {300, 511, 2}, {512, 767, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "stop at write " << c.stop_at_write);
        reset_script();
        // Enough for the latest stop; a stop that is not seen ends with 0.
        fake.writes.assign(1000, WriteStep{take_all});
        fake.stop_at_write = c.stop_at_write;
        EXPECT_EQ(run_stream(), 130);
        EXPECT_EQ(fake.output.size(), c.blocks_written * block_bytes);
        EXPECT_EQ(fake.polls_after_write.size(), c.polls);
        for (size_t i = 0; i < fake.polls_after_write.size(); ++i) {
            EXPECT_EQ(fake.polls_after_write[i], 255 + 256 * i);
        }
    }
    EXPECT_EQ(fake.output, expected_stream(767 * block_bytes));
}

TEST_F(StreamMain, WithoutAnEventAStopCannotBeSeen) {
    fake.event_creation_fails = true;
    fake.writes.assign(600, WriteStep{take_all});
    fake.stop_at_write = 10;
    EXPECT_EQ(run_stream(), 0);
    EXPECT_EQ(fake.output.size(), 600 * block_bytes);
    EXPECT_FALSE(fake.event_signalled);
}

} // namespace
