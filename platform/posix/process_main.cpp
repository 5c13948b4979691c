// The process frame on POSIX systems: signals stand in for console control
// events, and the byte arguments for the wide command line.
#include "output_pipe.h"
#include "platform.h"
#include "stream.h"
#include "wide_arguments.h"

#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace {

struct SignalEvent {
    int signal_number;
    DWORD ctrl_type;
};

const SignalEvent signal_events[] = {
    {SIGINT, CTRL_C_EVENT},
    {SIGQUIT, CTRL_BREAK_EVENT},
    {SIGHUP, CTRL_CLOSE_EVENT},
    {SIGTERM, CTRL_SHUTDOWN_EVENT},
};

// Async-signal-safe: a table look-up and console_ctrl_handler, which only
// reads a pointer and stores to a lock-free atomic.
void on_signal(int signal_number) {
    for (const SignalEvent& entry : signal_events) {
        if (entry.signal_number == signal_number) {
            console_ctrl_handler(entry.ctrl_type);
        }
    }
}

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // Restart interrupted writes; the stream notices the stop at its next poll.
    action.sa_flags = SA_RESTART;
    for (const SignalEvent& entry : signal_events) {
        sigaction(entry.signal_number, &action, nullptr);
    }
    // A reader that has gone, or a file that may grow no more, must end the
    // run through a failed write, not by a signal.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

} // namespace

int main(int argc, char** argv) {
    install_signal_handlers();
    enlarge_output_pipe(STDOUT_FILENO);
    WCHAR** wide_argv = build_wide_arguments(argc, argv);
    if (wide_argv == nullptr) {
        return -1;
    }
    int exit_code = stream_main(argc, wide_argv);
    free(wide_argv);
    return exit_code;
}
