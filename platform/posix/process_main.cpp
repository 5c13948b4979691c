// The process frame on POSIX systems: signals stand in for console control
// events, and the byte arguments for the wide command line.
#include "output_pipe.h"
#include "platform.h"
#include "stream.h"
#include "wide_arguments.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

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

// The stop signal that arrived first, 0 while none has. The run ends by it
// once the stream has stopped.
volatile sig_atomic_t stop_signal = 0;

// Exit code when standard output is a terminal.
constexpr int exit_output_is_terminal = 1;

const char terminal_refusal[] =
    "sprayl writes binary data: send its output to a pipe or a file, not to a terminal, "
    "e.g. sprayl | head -c 1M > random.bin (sprayl -h for help)\n";

// Async-signal-safe: a store to a sig_atomic_t, a table look-up and
// console_ctrl_handler, which only reads a pointer and stores to a lock-free
// atomic.
void on_signal(int signal_number) {
    if (stop_signal == 0) {
        stop_signal = signal_number;
    }
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

// The same three words that stream_main takes for a request for help.
bool asks_for_help(int argc, char** argv) {
    if (argc < 2) {
        return false;
    }
    const char* const help_words[] = {"-h", "-?", "/?"};
    for (const char* word : help_words) {
        if (std::strcmp(argv[1], word) == 0) {
            return true;
        }
    }
    return false;
}

// Ends the process by the signal with its default action, so that the
// parent sees the program stopped by it: a shell then gives 128 + its
// number and stops a loop around sprayl, as it does for a program that
// never caught it. SIGQUIT leaves no core dump: nothing went wrong.
void end_by_signal(int signal_number) {
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
#ifdef __linux__
    // A core pattern that pipes to a program ignores the limit; this does not.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

} // namespace

int main(int argc, char** argv) {
    install_signal_handlers();
    // A terminal would take the binary stream as text and answer its escape
    // sequences, which then reach the shell as if typed.
    if (isatty(STDOUT_FILENO) && !asks_for_help(argc, argv)) {
        ssize_t ignored = write(STDERR_FILENO, terminal_refusal, sizeof terminal_refusal - 1);
        (void)ignored;
        return exit_output_is_terminal;
    }
    enlarge_output_pipe(STDOUT_FILENO);
    WCHAR** wide_argv = build_wide_arguments(argc, argv);
    if (wide_argv == nullptr) {
        return -1;
    }
    int exit_code = stream_main(argc, wide_argv);
    free(wide_argv);
    if (exit_code == exit_stopped && stop_signal != 0) {
        end_by_signal(stop_signal);
    }
    return exit_code;
}
