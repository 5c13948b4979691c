// Runs the built sprayl program as a user would: at the head of a pipe, into
// files, with its output closed or a terminal, and stopped by signals, alone
// and in a shell loop.
#include "child_process.h"
#include "help_text.h"
#include "reference_stream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// sprayl's path in the build, from a source the build makes
// (sprayl_test_paths).
extern const char sprayl_program_path[];

namespace {

// Runs the built sprayl with these arguments and standard streams.
pid_t launch(std::vector<std::string> arguments, const ChildSetup& setup) {
    arguments.insert(arguments.begin(), sprayl_program_path);
    return start_child(arguments, setup);
}

// Reads to the end of input, but no more than limit bytes; returns the count.
size_t count_bytes(int descriptor, size_t limit) {
    size_t count = 0;
    char chunk[65536];
    ssize_t got = 0;
    while (count < limit && (got = read(descriptor, chunk, sizeof chunk)) > 0) {
        count += static_cast<size_t>(got);
    }
    return count;
}

// Reads `count` bytes, or until end of input when count is 0.
std::vector<unsigned char> read_bytes(int descriptor, size_t count = 0) {
    std::vector<unsigned char> bytes;
    unsigned char chunk[65536];
    while (count == 0 || bytes.size() < count) {
        size_t want = count == 0 ? sizeof chunk : std::min(sizeof chunk, count - bytes.size());
        ssize_t got = read(descriptor, chunk, want);
        if (got <= 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

std::string read_text(int descriptor) {
    std::vector<unsigned char> bytes = read_bytes(descriptor);
    return std::string(bytes.begin(), bytes.end());
}

struct Pipe {
    int read_end;
    int write_end;
};

Pipe make_pipe() {
    int ends[2] = {-1, -1};
    EXPECT_EQ(pipe(ends), 0);
    return {ends[0], ends[1]};
}

// Runs sprayl into a pipe and reads `count` bytes of its stream, then closes
// the pipe. Returns the exit code.
int stream_from_pipe(size_t count, std::vector<unsigned char>* bytes) {
    Pipe output = make_pipe();
    pid_t child = launch({}, {keep_ours, output.write_end});
    close(output.write_end);
    *bytes = read_bytes(output.read_end, count);
    close(output.read_end);
    return wait_for(child);
}

TEST(EndToEnd, HelpGoesToStandardError) {
    for (const char* word : {"-h", "-?", "/?"}) {
        SCOPED_TRACE(word);
        Pipe output = make_pipe();
        Pipe error = make_pipe();
        pid_t child = launch({word, "more"}, {keep_ours, output.write_end, error.write_end});
        close(output.write_end);
        close(error.write_end);
        EXPECT_EQ(read_text(error.read_end), help_text);
        EXPECT_EQ(read_text(output.read_end), "");
        EXPECT_EQ(wait_for(child), 1);
        close(output.read_end);
        close(error.read_end);
    }
}

TEST(EndToEnd, PipeCarriesTheReferenceStreamUntilTheReaderGoes) {
    // Not a whole number of blocks or words: the reader may stop anywhere.
    const size_t count = 8 * 1024 * 1024 + 5;
    std::vector<unsigned char> bytes;
    EXPECT_EQ(stream_from_pipe(count, &bytes), 0);
    ASSERT_EQ(bytes.size(), count);
    EXPECT_TRUE(is_reference_stream(bytes));
}

TEST(EndToEnd, TwoRunsGiveDifferentStreams) {
    std::vector<unsigned char> first;
    std::vector<unsigned char> second;
    EXPECT_EQ(stream_from_pipe(64, &first), 0);
    EXPECT_EQ(stream_from_pipe(64, &second), 0);
    EXPECT_NE(first, second);
}

TEST(EndToEnd, StopSignalsEndTheRunByThatSignal) {
    const size_t block = 16384;
    for (int signal_number : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal_number));
        Pipe output = make_pipe();
        int pipe_capacity = fcntl(output.read_end, F_GETPIPE_SZ);
        pid_t child = launch({}, {keep_ours, output.write_end});
        close(output.write_end);
        std::vector<unsigned char> before = read_bytes(output.read_end, 3 * block);
        kill(child, signal_number);
        std::vector<unsigned char> after = read_bytes(output.read_end);
        close(output.read_end);
        // Ended by the signal itself, as a shell needs to see it: its status
        // is then 128 + the signal's number (130 for SIGINT).
        int status = wait_status(child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "exit code " << WEXITSTATUS(status);
        EXPECT_EQ(WTERMSIG(status), signal_number);
        EXPECT_FALSE(WCOREDUMP(status));

        // The pipe may still hold what was written before the signal, one
        // block may be under way, and 256 more may follow before the poll.
        // The pipe may have been enlarged after we asked its size.
        size_t allowed =
            std::max<size_t>(static_cast<size_t>(pipe_capacity), 1 << 20) + 257 * block;
        EXPECT_LE(after.size(), allowed);
        before.insert(before.end(), after.begin(), after.end());
        EXPECT_EQ(before.size() % block, 0u); // the run ended between blocks
        EXPECT_TRUE(is_reference_stream(before));
    }
}

TEST(EndToEnd, StopSignalToTheProcessGroupEndsAShellLoop) {
    struct Case {
        int signal_number;
        int shell_status;
    };
    for (Case expected : {Case{SIGINT, 130}, Case{SIGTERM, 143}}) {
        SCOPED_TRACE(strsignal(expected.signal_number));
        Pipe output = make_pipe();
        // Three runs in a process group of their own, like a job that an
        // interactive shell starts: Ctrl+C signals the whole group.
        pid_t shell = fork();
        if (shell == 0) {
            setpgid(0, 0);
            dup2(output.write_end, STDOUT_FILENO);
            for (int descriptor = 3; descriptor < 256; ++descriptor) {
                close(descriptor);
            }
            // Whatever the test runner ignores, the loop's shell must not.
            signal(SIGINT, SIG_DFL);
            signal(SIGTERM, SIG_DFL);
            execl("/bin/bash", "bash", "-c", "for run in 1 2 3; do \"$0\"; done",
                  sprayl_program_path, static_cast<char*>(nullptr));
            _exit(127);
        }
        setpgid(shell, shell);
        close(output.write_end);
        // Once the stream flows, the first run has its signal handlers.
        EXPECT_EQ(read_bytes(output.read_end, 65536).size(), 65536u);
        kill(-shell, expected.signal_number);
        // The stopped run writes at most 4 MiB more (and what the pipe
        // holds); a loop that went on would stream its next run for ever.
        const size_t limit = 64 << 20;
        size_t after = count_bytes(output.read_end, limit);
        if (after >= limit) {
            kill(-shell, SIGKILL);
        }
        close(output.read_end);
        int status = wait_status(shell);
        EXPECT_LT(after, limit) << "the loop went on to its next run";
        ASSERT_TRUE(WIFSIGNALED(status)) << "exit code " << WEXITSTATUS(status);
        EXPECT_EQ(128 + WTERMSIG(status), expected.shell_status);
    }
}

// A pseudo-terminal: the controller side and the terminal device.
struct Terminal {
    int controller;
    int device;
};

// Empty on success, otherwise why no terminal could be had.
std::string open_terminal(Terminal* terminal) {
    terminal->controller = posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal->controller < 0) {
        return std::string("posix_openpt: ") + strerror(errno);
    }
    const char* name = nullptr;
    if (grantpt(terminal->controller) != 0 || unlockpt(terminal->controller) != 0 ||
        (name = ptsname(terminal->controller)) == nullptr) {
        std::string why = std::string("grantpt, unlockpt or ptsname: ") + strerror(errno);
        close(terminal->controller);
        return why;
    }
    terminal->device = open(name, O_RDWR | O_NOCTTY);
    if (terminal->device < 0) {
        std::string why = std::string("open ") + name + ": " + strerror(errno);
        close(terminal->controller);
        return why;
    }
    return "";
}

TEST(EndToEnd, TerminalOutputIsRefusedUnlessHelpIsAsked) {
    const std::string refusal_example = "sprayl | head -c 1M > ";
    struct Case {
        std::vector<std::string> arguments;
        bool help;
    };
    const Case cases[] = {{{}, false}, {{"--help"}, false}, {{"-H"}, false}, {{"-h"}, true}};
    for (const Case& run : cases) {
        SCOPED_TRACE(run.arguments.empty() ? "no arguments" : run.arguments[0]);
        Terminal terminal{};
        std::string why = open_terminal(&terminal);
        if (!why.empty()) {
            GTEST_SKIP() << "no pseudo-terminal can be had here: " << why;
        }
        Pipe error = make_pipe();
        // A program that streamed to the terminal would block once its
        // buffer is full: the alarm ends it.
        pid_t child = launch(
            run.arguments, {keep_ours, terminal.device, error.write_end, RLIM_INFINITY, false, 20});
        close(terminal.device);
        close(error.write_end);
        std::string message = read_text(error.read_end);
        close(error.read_end);
        EXPECT_EQ(wait_for(child), 1);
        if (run.help) {
            EXPECT_EQ(message, help_text);
        } else {
            EXPECT_NE(message.find(refusal_example), std::string::npos) << message;
            EXPECT_EQ(message.find('\n'), message.size() - 1) << message; // one line
        }
        // Nothing reached the terminal.
        fcntl(terminal.controller, F_SETFL, O_NONBLOCK);
        char byte = 0;
        EXPECT_LT(read(terminal.controller, &byte, 1), 0);
        close(terminal.controller);
    }
}

TEST(EndToEnd, ClosedOutputIsRefused) {
    Pipe error = make_pipe();
    pid_t child = launch({}, {keep_ours, leave_closed, error.write_end});
    close(error.write_end);
    EXPECT_EQ(read_text(error.read_end), output_error_text);
    EXPECT_EQ(wait_for(child), 1);
    close(error.read_end);
}

TEST(EndToEnd, FullDeviceEndsWithZero) {
    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    Pipe error = make_pipe();
    pid_t child = launch({}, {keep_ours, full, error.write_end});
    close(full);
    close(error.write_end);
    EXPECT_EQ(read_text(error.read_end), "");
    EXPECT_EQ(wait_for(child), 0);
    close(error.read_end);
}

TEST(EndToEnd, FileThatCanGrowNoMoreHoldsAPrefixOfTheStream) {
    // The limit is not a whole number of blocks, so the last write is partial.
    const rlim_t limit = 3 * 1024 * 1024 + 1000;
    char name[] = "/tmp/sprayl-file-XXXXXX";
    int file = mkstemp(name);
    ASSERT_GE(file, 0);
    pid_t child = launch({}, {keep_ours, file, keep_ours, limit});
    EXPECT_EQ(wait_for(child), 0);
    lseek(file, 0, SEEK_SET);
    std::vector<unsigned char> bytes = read_bytes(file);
    close(file);
    unlink(name);
    EXPECT_EQ(bytes.size(), limit);
    EXPECT_TRUE(is_reference_stream(bytes));
}

TEST(EndToEnd, NonBlockingPipeBacksOffAndLosesNothing) {
    Pipe output = make_pipe();
    fcntl(output.write_end, F_SETFL, O_NONBLOCK);
    pid_t child = launch({}, {keep_ours, output.write_end});
    close(output.write_end);
    // A slow reader: the writer keeps finding the pipe full.
    std::vector<unsigned char> bytes;
    for (int i = 0; i < 20; ++i) {
        usleep(5000);
        std::vector<unsigned char> chunk = read_bytes(output.read_end, 100000);
        bytes.insert(bytes.end(), chunk.begin(), chunk.end());
    }
    close(output.read_end);
    EXPECT_EQ(wait_for(child), 0);
    EXPECT_EQ(bytes.size(), 20u * 100000u);
    EXPECT_TRUE(is_reference_stream(bytes));
}

} // namespace
