// sprayl-check [FILE...|DIR], sprayl-check --fill DIR: checks that files, a
// directory of fill files or standard input hold one stream of sprayl intact,
// or fills a file system with such a stream and checks it. Exit code 0:
// intact; 1: damaged; 2: usage error, input that cannot be opened, too short
// to check, a fill refused or whose directory went away; 3: no damage found,
// but possibly read from memory, or not all of the drive tested; 130:
// interrupted.
#include "check_main.h"
#include "check_options.h"
#include "check_run.h"
#include "exit_code.h"
#include "gather_seed.h"
#include "probe_command.h"
#include "speed_command.h"
#include "sprayl_version.h"

#include "system.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

int usage_error(const char* text) {
    std::fprintf(stderr, "sprayl-check: %s\nTry \"sprayl-check --help\".\n", text);
    return exit_unverifiable;
}

// Flushes standard output; output that could not be written fails the run.
int finish_output(int exit_code) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "sprayl-check: cannot write the report: %s\n", std::strerror(errno));
        return exit_unverifiable;
    }
    return exit_code;
}

// The check or the fill, as one run made here and handed on.
int run_check_or_fill(const CheckOptions* options) {
    if (options->action == action_check && options->input_count == 0 && stdin_is_terminal()) {
        write_usage(stderr);
        return exit_unverifiable;
    }
    // In static storage, zero before the program starts: a page of its
    // 11 MB (the tables for 65,536 files) costs nothing until it is used.
    // Zeroed on the heap, it took 35 ms of a check's start, a tenth of a
    // check of 2 GiB from a fast drive (perf, AMD EPYC). One run a process.
    static CheckRun run;
    GeneratorState new_seed = {};
    if (options->action == action_fill) {
        gather_seed(&new_seed);
    }
    start_run(&run, options, &new_seed);
    int exit_code = run_and_record(&run);
    end_run(&run);
    return exit_code;
}

} // namespace

int check_main(int argc, char** argv) {
    CheckOptions options;
    parse_options(argc, argv, &options);
    switch (options.action) {
    case action_help:
        write_usage(stdout);
        return finish_output(exit_intact);
    case action_version:
        std::puts("sprayl-check " SPRAYL_VERSION);
        return finish_output(exit_intact);
    case action_usage_error:
        return usage_error(options.message);
    case action_probe:
        return finish_output(run_probe_command(&options));
    case action_restore:
        return finish_output(run_restore_command(&options));
    case action_speed:
        return finish_output(run_speed_command(&options));
    case action_fill:
    case action_check:
        break;
    }
    return run_check_or_fill(&options);
}
