// The POSIX layer's enlargement of an output pipe.
#include "output_pipe.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

// sprayl's path in the build, from a source the build makes
// (sprayl_test_paths).
extern const char sprayl_program_path[];

namespace {

long pipe_max_size() {
    FILE* file = std::fopen("/proc/sys/fs/pipe-max-size", "r");
    long size = 0;
    if (file != nullptr) {
        if (std::fscanf(file, "%ld", &size) != 1) {
            size = 0;
        }
        std::fclose(file);
    }
    return size;
}

TEST(OutputPipe, GrowsAPipeToOneMebibyte) {
    if (pipe_max_size() < (1 << 20)) {
        GTEST_SKIP() << "the system limit for pipe buffers is below 1 MiB";
    }
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    ASSERT_LT(fcntl(ends[1], F_GETPIPE_SZ), 1 << 20);
    enlarge_output_pipe(ends[1]);
    EXPECT_EQ(1 << 20, fcntl(ends[1], F_GETPIPE_SZ));
    // The pipe still carries bytes.
    ASSERT_EQ(3, write(ends[1], "abc", 3));
    char got[3] = {};
    ASSERT_EQ(3, read(ends[0], got, 3));
    EXPECT_EQ('c', got[2]);
    close(ends[0]);
    close(ends[1]);
}

TEST(OutputPipe, LeavesOtherOutputsAlone) {
    FILE* file = std::tmpfile();
    ASSERT_NE(nullptr, file);
    const int descriptor = fileno(file);
    const int flags = fcntl(descriptor, F_GETFL);
    enlarge_output_pipe(descriptor);
    EXPECT_EQ(flags, fcntl(descriptor, F_GETFL));
    EXPECT_EQ(5, write(descriptor, "bytes", 5));
    std::fclose(file);
    // A closed descriptor is no pipe either; nothing happens.
    enlarge_output_pipe(descriptor);
}

TEST(OutputPipe, SpraylGrowsItsOutputPipe) {
    if (pipe_max_size() < (1 << 20)) {
        GTEST_SKIP() << "the system limit for pipe buffers is below 1 MiB";
    }
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(ends[1], STDOUT_FILENO);
        close(ends[0]);
        close(ends[1]);
        execl(sprayl_program_path, sprayl_program_path, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ends[1]);
    // Once bytes arrive, sprayl is past its start-up.
    char byte = 0;
    ASSERT_EQ(1, read(ends[0], &byte, 1));
    EXPECT_EQ(1 << 20, fcntl(ends[0], F_GETPIPE_SZ));
    close(ends[0]);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

} // namespace
