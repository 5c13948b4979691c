// sprayl-check [FILE]: reads FILE, or standard input when FILE is absent or
// "-", and checks every byte after the first 16 against the stream of sprayl
// that those 16 define. Exit code 0: intact; 1: some byte differs; 2: usage
// error, unreadable input, or too short to check.
#include "check_report.h"
#include "stream_check.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <ctime>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

constexpr size_t read_size = 1 << 20;
constexpr double progress_interval = 0.25; // seconds
constexpr int exit_help = 0;

const char usage_text[] =
    "usage: sprayl-check [FILE]\n"
    "Checks that FILE, or standard input when FILE is absent or \"-\", holds a\n"
    "stream of sprayl intact from its start, byte for byte, to its end.\n"
    "Exit code 0: every byte matches; 1: some bytes differ; 2: usage error,\n"
    "input that cannot be read, or input too short to check.\n";

unsigned char input_buffer[read_size];
StreamCheck check;

struct Progress {
    bool enabled;
    double started; // seconds on a monotonic clock
    double last_shown;
};

// Seconds from some fixed point. Not std::chrono: with mingw-w64 that pulls
// in a thread library that needs a later Windows than XP.
double monotonic_seconds() {
#if defined(_WIN32)
    LARGE_INTEGER frequency;
    LARGE_INTEGER count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
#else
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
#endif
}

bool stderr_is_terminal() {
#if defined(_WIN32)
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

void set_binary_mode(std::FILE* file) {
#if defined(_WIN32)
    _setmode(_fileno(file), _O_BINARY);
#else
    (void)file;
#endif
}

// A larger pipe lets the writer run ahead in bigger strides, with far fewer
// switches between the two processes. Best effort: the pipe may refuse.
void enlarge_pipe(std::FILE* file) {
#if defined(F_SETPIPE_SZ)
    fcntl(fileno(file), F_SETPIPE_SZ, static_cast<int>(read_size));
#else
    (void)file;
#endif
}

void show_progress(Progress* progress, double now) {
    double seconds = now - progress->started;
    char checked[32];
    char rate[32];
    format_size(check.bytes_read, checked, sizeof checked);
    double per_second = seconds > 0 ? static_cast<double>(check.bytes_read) / seconds : 0;
    format_size(static_cast<uint64_t>(per_second), rate, sizeof rate);
    // Padded so that a shorter line covers the previous one completely.
    std::fprintf(stderr, "\rchecked %-12s %12s/s   damaged bytes: %-20" PRIu64, checked, rate,
                 bytes_damaged(&check));
    std::fflush(stderr);
    progress->last_shown = now;
}

void tick_progress(Progress* progress) {
    if (!progress->enabled) {
        return;
    }
    double now = monotonic_seconds();
    if (now - progress->last_shown >= progress_interval) {
        show_progress(progress, now);
    }
}

void end_progress(Progress* progress) {
    if (progress->enabled) {
        show_progress(progress, monotonic_seconds());
        std::fputc('\n', stderr);
    }
}

// Reads the whole input into the check. Returns 0 at the end of the input,
// or the error number of a failed read.
int check_input(std::FILE* input, Progress* progress) {
    for (;;) {
        size_t got = std::fread(input_buffer, 1, read_size, input);
        int read_error = std::ferror(input) ? errno : 0;
        check_bytes(&check, input_buffer, got);
        tick_progress(progress);
        if (got < read_size) {
            return read_error;
        }
    }
}

int report_usage_error(const char* problem, const char* argument) {
    std::fprintf(stderr, "sprayl-check: %s \"%s\"\n%s", problem, argument, usage_text);
    return exit_unverifiable;
}

// The path to read ("-" for standard input), or null when the arguments
// asked for help or were wrong; *exit_code then holds the exit code.
const char* input_path(int argc, char** argv, int* exit_code) {
    if (argc > 2) {
        *exit_code = report_usage_error("too many arguments, from", argv[2]);
        return nullptr;
    }
    const char* path = argc == 2 ? argv[1] : "-";
    if (std::strcmp(path, "-h") == 0 || std::strcmp(path, "-?") == 0 ||
        std::strcmp(path, "--help") == 0) {
        std::fputs(usage_text, stdout);
        *exit_code = exit_help;
        return nullptr;
    }
    if (path[0] == '-' && path[1] != '\0') {
        *exit_code = report_usage_error("unknown option", path);
        return nullptr;
    }
    return path;
}

// Opens the input for large binary reads, or says why it cannot.
std::FILE* open_input(const char* path, const char* name) {
    std::FILE* input = std::strcmp(path, "-") == 0 ? stdin : std::fopen(path, "rb");
    if (input == nullptr) {
        std::fprintf(stderr, "sprayl-check: cannot open \"%s\": %s\n", name, std::strerror(errno));
        return nullptr;
    }
    set_binary_mode(input);
    enlarge_pipe(input);
    // Reads go straight into input_buffer, without a copy through stdio's.
    std::setvbuf(input, nullptr, _IONBF, 0);
    return input;
}

// Prints the report, and the reason when the input could not be checked;
// returns the exit code.
int report_outcome(const char* name, int read_error) {
    check_finish(&check, read_error == 0 ? check_end_of_input : check_end_read_failed, 0);
    print_report(stdout, &check);
    std::fflush(stdout);
    if (read_error != 0) {
        std::fprintf(stderr, "sprayl-check: cannot read \"%s\" past offset %" PRIu64 ": %s\n", name,
                     check.bytes_read, std::strerror(read_error));
    } else if (!check_is_conclusive(&check)) {
        std::fprintf(stderr,
                     "sprayl-check: \"%s\" is too short to check: %" PRIu64 " bytes read, at least "
                     "%u needed, as the first %u define the stream\n",
                     name, check.bytes_read, static_cast<unsigned>(header_bytes + min_checked_bytes),
                     static_cast<unsigned>(header_bytes));
    }
    return check_exit_code(&check);
}

} // namespace

int main(int argc, char** argv) {
    int exit_code = exit_unverifiable;
    const char* path = input_path(argc, argv, &exit_code);
    if (path == nullptr) {
        return exit_code;
    }
    const char* name = std::strcmp(path, "-") == 0 ? "standard input" : path;
    std::FILE* input = open_input(path, name);
    if (input == nullptr) {
        return exit_unverifiable;
    }
    double now = monotonic_seconds();
    Progress progress = {stderr_is_terminal(), now, now};
    check_start(&check);
    int read_error = check_input(input, &progress);
    end_progress(&progress);
    return report_outcome(name, read_error);
}
