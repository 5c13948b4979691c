// End-to-end tests of sprayl.exe, run under wine from Linux: the program's
// standard streams are real pipes and files, its stop request a real SIGINT.
//
// Usage: wine_end_to_end_test <wine> <sprayl.exe> [gtest options]
#include "child_process.h"
#include "help_text.h"
#include "reference_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::string wine_command;
std::string sprayl_path;

using Clock = std::chrono::steady_clock;
constexpr auto run_time_limit = std::chrono::seconds(60);

// ---- running the program --------------------------------------------------

struct Child {
    pid_t pid;
    int output_read_end; // -1 when the output goes to a file
};

struct Outputs {
    int output_fd; // a file, or -1 for a pipe to the test
    int error_fd;
    rlim_t file_size_limit; // RLIM_INFINITY for none
};

Child start_sprayl(const std::vector<std::string>& arguments, const Outputs& outputs) {
    int pipe_ends[2] = {-1, -1};
    if (outputs.output_fd < 0 && pipe(pipe_ends) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return {-1, -1};
    }
    std::vector<std::string> command = {wine_command, sprayl_path};
    command.insert(command.end(), arguments.begin(), arguments.end());
    int null_input = open("/dev/null", O_RDONLY);
    ChildSetup setup;
    setup.input = null_input;
    setup.output = outputs.output_fd < 0 ? pipe_ends[1] : outputs.output_fd;
    setup.error = outputs.error_fd;
    setup.file_size_limit = outputs.file_size_limit;
    // sprayl.exe knows no signals: beyond the limit a write must fail with
    // EFBIG, as a full file fails on Windows.
    setup.ignore_file_size_signal = true;
    pid_t pid = start_child(command, setup);
    close(null_input);
    if (pipe_ends[1] >= 0) {
        close(pipe_ends[1]);
    }
    return {pid, pipe_ends[0]};
}

// Waits for the end of the run; returns its exit code, or -1 (with a test
// failure) when it did not end in time or ended by a signal.
int wait_for_exit(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (WIFEXITED(status)) {
                return WEXITSTATUS(status);
            }
            ADD_FAILURE() << "ended by signal " << WTERMSIG(status);
            return -1;
        }
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "did not end in time";
            return -1;
        }
        usleep(10000);
    }
}

// Reads up to count bytes, fewer when the pipe ends or the deadline passes.
std::vector<unsigned char> read_from(int fd, size_t count, Clock::time_point deadline) {
    std::vector<unsigned char> bytes(count);
    size_t have = 0;
    while (have < count && Clock::now() < deadline) {
        struct pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) {
            continue;
        }
        ssize_t got = read(fd, bytes.data() + have, count - have);
        if (got <= 0) {
            break;
        }
        have += static_cast<size_t>(got);
    }
    bytes.resize(have);
    return bytes;
}

int temporary_file() {
    char name[] = "/tmp/sprayl-wine-XXXXXX";
    int fd = mkstemp(name);
    unlink(name);
    return fd;
}

std::string file_contents(int fd) {
    std::string text;
    char chunk[4096];
    ssize_t got;
    lseek(fd, 0, SEEK_SET);
    while ((got = read(fd, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<size_t>(got));
    }
    return text;
}

// ---- help -----------------------------------------------------------------

class Help : public testing::TestWithParam<const char*> {};

TEST_P(Help, PrintsTheThreeTextsOnStandardErrorAndExitsWithOne) {
    int output = temporary_file();
    int error = temporary_file();
    Child run = start_sprayl({GetParam()}, {output, error, RLIM_INFINITY});
    ASSERT_GT(run.pid, 0);
    EXPECT_EQ(wait_for_exit(run.pid, Clock::now() + run_time_limit), 1);

    std::string text = file_contents(error);
    const std::string& start = help_banner_start;
    const std::string& tail = help_after_credit;
    ASSERT_GT(text.size(), start.size() + tail.size()) << text;
    EXPECT_EQ(text.substr(0, start.size()), start);
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    std::string credit = text.substr(start.size(), text.size() - start.size() - tail.size());
    EXPECT_FALSE(credit.empty());
    EXPECT_EQ(credit.find('\n'), std::string::npos) << credit;
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(file_contents(output), "");
    close(output);
    close(error);
}

INSTANTIATE_TEST_SUITE_P(HelpWords, Help, testing::Values("-h", "-?", "/?"));

// ---- streaming into a pipe ------------------------------------------------

struct PipeCase {
    const char* name;
    std::vector<std::string> arguments;
    size_t bytes;
};

class PipeStream : public testing::TestWithParam<PipeCase> {};

// The reader takes the stream, checks every byte and closes its end: the
// next write fails and the program ends with 0, without a message.
TEST_P(PipeStream, IsTheReferenceStreamAndEndsWithZeroWhenTheReaderCloses) {
    int error = temporary_file();
    Child run = start_sprayl(GetParam().arguments, {-1, error, RLIM_INFINITY});
    ASSERT_GT(run.pid, 0);
    auto deadline = Clock::now() + run_time_limit;

    std::vector<unsigned char> stream = read_from(run.output_read_end, GetParam().bytes, deadline);
    close(run.output_read_end);
    ASSERT_EQ(stream.size(), GetParam().bytes) << "the stream ended early";
    EXPECT_TRUE(is_reference_stream(stream));
    EXPECT_EQ(wait_for_exit(run.pid, deadline), 0);
    EXPECT_EQ(file_contents(error), "");
    close(error);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, PipeStream,
    testing::Values(PipeCase{"NoArguments", {}, 64u << 20},
                    // Upper case is no help word, and only the first argument counts.
                    PipeCase{"UpperCaseH", {"-H"}, 1u << 20},
                    PipeCase{"HelpAsSecondArgument", {"x", "-h"}, 1u << 20}),
    [](const testing::TestParamInfo<PipeCase>& case_info) {
        return std::string(case_info.param.name);
    });

// Each run seeds itself: two runs, even started together, give different
// streams.
TEST(PipeStreams, TwoRunsGiveDifferentStreams) {
    int error = temporary_file();
    Child first = start_sprayl({}, {-1, error, RLIM_INFINITY});
    Child second = start_sprayl({}, {-1, error, RLIM_INFINITY});
    ASSERT_GT(first.pid, 0);
    ASSERT_GT(second.pid, 0);
    auto deadline = Clock::now() + run_time_limit;
    std::vector<unsigned char> one = read_from(first.output_read_end, 4096, deadline);
    std::vector<unsigned char> other = read_from(second.output_read_end, 4096, deadline);
    close(first.output_read_end);
    close(second.output_read_end);
    EXPECT_EQ(wait_for_exit(first.pid, deadline), 0);
    EXPECT_EQ(wait_for_exit(second.pid, deadline), 0);
    ASSERT_EQ(one.size(), 4096u);
    ASSERT_EQ(other.size(), 4096u);
    EXPECT_TRUE(is_reference_stream(one));
    EXPECT_TRUE(is_reference_stream(other));
    EXPECT_NE(one, other);
    close(error);
}

// A reader that takes small pieces with pauses between them keeps the
// program waiting on a full pipe, again and again: nothing is lost or
// repeated across those waits.
TEST(PipeStreams, ASlowReaderGetsTheWholeStream) {
    int error = temporary_file();
    Child run = start_sprayl({}, {-1, error, RLIM_INFINITY});
    ASSERT_GT(run.pid, 0);
    auto deadline = Clock::now() + run_time_limit;
    std::vector<unsigned char> stream;
    for (int piece = 0; piece < 40; ++piece) {
        std::vector<unsigned char> bytes = read_from(run.output_read_end, 100003, deadline);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
        usleep(20000);
    }
    close(run.output_read_end);
    EXPECT_EQ(stream.size(), 40u * 100003);
    EXPECT_TRUE(is_reference_stream(stream));
    EXPECT_EQ(wait_for_exit(run.pid, deadline), 0);
    EXPECT_EQ(file_contents(error), "");
    close(error);
}

// ---- stop request ---------------------------------------------------------

// Wine turns SIGINT into CTRL_C_EVENT for the program's console control
// handler.
TEST(StopRequest, SigintsEndTheStreamWithOneHundredThirty) {
    int error = temporary_file();
    Child run = start_sprayl({}, {-1, error, RLIM_INFINITY});
    ASSERT_GT(run.pid, 0);
    auto deadline = Clock::now() + run_time_limit;

    // Once bytes flow, the stop event exists.
    std::vector<unsigned char> stream = read_from(run.output_read_end, 1u << 20, deadline);
    ASSERT_EQ(stream.size(), 1u << 20);
    // Two presses act as one; neither falls through to wine's default
    // handling, which would end the process otherwise.
    kill(run.pid, SIGINT);
    usleep(20000);
    kill(run.pid, SIGINT);

    // Keep reading, so that the program never waits on a full pipe, until
    // the pipe ends with the process. A stop that is never seen shows as a
    // stream that goes on far beyond the 4 MiB between two polls.
    size_t after_stop = 0;
    std::vector<unsigned char> chunk;
    do {
        chunk = read_from(run.output_read_end, 1u << 20, deadline);
        stream.insert(stream.end(), chunk.begin(), chunk.end());
        after_stop += chunk.size();
    } while (!chunk.empty() && after_stop < (256u << 20));
    EXPECT_LT(after_stop, 256u << 20);
    EXPECT_TRUE(is_reference_stream(stream));
    close(run.output_read_end);
    EXPECT_EQ(wait_for_exit(run.pid, deadline), 130);
    EXPECT_EQ(file_contents(error), "");
    close(error);
}

// ---- a file that can grow no more -----------------------------------------

TEST(FileOutput, EndsWithZeroWhenTheFileIsFullAndHoldsAPrefixOfTheStream) {
    // Not a whole number of blocks, so that the last write is cut short.
    const rlim_t limit = (8u << 20) + 5000;
    int output = temporary_file();
    int error = temporary_file();
    Child run = start_sprayl({}, {output, error, limit});
    ASSERT_GT(run.pid, 0);
    EXPECT_EQ(wait_for_exit(run.pid, Clock::now() + run_time_limit), 0);

    struct stat status {};
    fstat(output, &status);
    // Every byte up to the limit is there: the part of a block that still
    // fitted was written.
    EXPECT_EQ(static_cast<rlim_t>(status.st_size), limit);
    std::string bytes = file_contents(output);
    EXPECT_TRUE(is_reference_stream(std::vector<unsigned char>(bytes.begin(), bytes.end())));
    EXPECT_EQ(file_contents(error), "");
    close(output);
    close(error);
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <wine> <sprayl.exe> [gtest options]\n", argv[0]);
        return 2;
    }
    wine_command = argv[1];
    sprayl_path = argv[2];
    // A closed pipe must show up as a failed read here, not end the driver.
    signal(SIGPIPE, SIG_IGN);
    return RUN_ALL_TESTS();
}
