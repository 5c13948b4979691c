// Starting a program as a child process with its standard streams set up,
// and waiting for its end: the one launcher of the end-to-end suites.
#pragma once

#include <cerrno>
#include <csignal>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// What a standard stream of the child is: one of our descriptors, or these.
constexpr int keep_ours = -1;    // the child inherits ours
constexpr int leave_closed = -2; // the child starts with it closed

struct ChildSetup {
    int input = keep_ours;
    int output = keep_ours;
    int error = keep_ours;
    rlim_t file_size_limit = RLIM_INFINITY;
    // With a file-size limit: whether a write beyond it should fail rather
    // than end the child by SIGXFSZ (a program that does not ignore the
    // signal itself).
    bool ignore_file_size_signal = false;
    unsigned time_limit = 0; // seconds until SIGALRM ends the child; 0 for none
};

namespace child_process_detail {
inline void set_stream(int descriptor, int stream) {
    if (descriptor == leave_closed) {
        close(stream);
    } else if (descriptor != keep_ours) {
        dup2(descriptor, stream);
    }
}
} // namespace child_process_detail

// Starts command[0] (looked up on the PATH when it has no slash) with the
// rest as its arguments. Every other descriptor of ours is closed in the
// child, so that no pipe end stays open behind the test's back. Returns the
// child's id, or -1.
inline pid_t start_child(const std::vector<std::string>& command, const ChildSetup& setup) {
    std::vector<std::string> words = command;
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    pid_t child = fork();
    if (child == 0) {
        child_process_detail::set_stream(setup.input, STDIN_FILENO);
        child_process_detail::set_stream(setup.output, STDOUT_FILENO);
        child_process_detail::set_stream(setup.error, STDERR_FILENO);
        for (int descriptor = 3; descriptor < 256; ++descriptor) {
            close(descriptor);
        }
        if (setup.file_size_limit != RLIM_INFINITY) {
            if (setup.ignore_file_size_signal) {
                signal(SIGXFSZ, SIG_IGN);
            }
            rlimit limit{setup.file_size_limit, setup.file_size_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        // Whatever the test runner ignores, the child starts as a shell
        // would start it.
        signal(SIGPIPE, SIG_DFL);
        alarm(setup.time_limit);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

// The child's wait status, once it has ended.
inline int wait_status(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// The exit code, or -signal when a signal ended the process.
inline int wait_for(pid_t child) {
    int status = wait_status(child);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}
