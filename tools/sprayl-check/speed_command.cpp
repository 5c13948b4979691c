#include "speed_command.h"

#include "drive_speed.h"
#include "exit_code.h"
#include "gather_seed.h"
#include "json_output.h"
#include "output_file.h"
#include "speed_report.h"
#include "svg_plot.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

// The scratch file's name: a dot first, as of a hidden file, and a number
// that another run would not pick; made only where nothing has that name.
constexpr const char scratch_format[] = ".sprayl-speed-%08x.tmp";
constexpr int scratch_attempts = 64;

struct SpeedRun {
    CheckOptions options;
    std::FILE* report_out; // standard output, or standard error where the JSON takes it
    OpenDirectory folder;
    char scratch[64]; // the scratch file's name; "" until it is made
    bool around_cache;
    ClaimList claims;
    bool measured;
    SpeedWork work;
    OutputFile output;
    RunOutcome outcome;
    char error[4096 + 512]; // why it failed, "" where it did not
};

void write_line(void* file, const char* line) {
    std::fputs(line, static_cast<std::FILE*>(file));
}

// Fails the run for the text that format and the values give.
void fail(SpeedRun* run, const char* format, const char* value, int error) {
    char text[256] = "it came to an end early";
    if (error > 0) {
        error_text(error, text, sizeof text);
    }
    std::snprintf(run->error, sizeof run->error, format, value, text);
    run->outcome = run_failed;
}

// Makes the scratch file in the directory, under a name nothing has yet.
bool make_scratch(SpeedRun* run) {
    // The clock's microseconds, their low 32 bits (a double past 2^32 does
    // not convert to 32 bits).
    uint64_t microseconds = static_cast<uint64_t>(clock_seconds() * 1e6);
    uint32_t number = static_cast<uint32_t>(microseconds) ^ run->work.stream.word[0];
    int error = 0;
    for (int attempt = 0; attempt < scratch_attempts; ++attempt, number = number * 69069u + 1) {
        std::snprintf(run->scratch, sizeof run->scratch, scratch_format, number);
        run->work.file = create_scratch_in(&run->folder, run->scratch, &run->around_cache, &error);
        if (run->work.file != 0) {
            return true;
        }
        if (!error_is_existing(error)) {
            break;
        }
    }
    run->scratch[0] = '\0';
    fail(run, "cannot make a scratch file in \"%s\": %s", run->options.speed_directory, error);
    return false;
}

// Closes and removes the scratch file; false where it stays.
bool remove_scratch(SpeedRun* run) {
    close_file(run->work.file);
    int error = remove_file_in(&run->folder, run->scratch);
    if (error != 0) {
        char path[4096 + 64];
        std::snprintf(path, sizeof path, "%s/%s", run->options.speed_directory, run->scratch);
        fail(run, "cannot remove the scratch file \"%s\": %s", path, error);
        return false;
    }
    return true;
}

// The outcome of a test that measured the drive.
RunOutcome judge_measured(const SpeedRun* run) {
    const SpeedFigures* figures = &run->work.figures;
    for (size_t i = 0; run->options.claims != nullptr && i < run->claims.count; ++i) {
        if (judge_class(run->claims.claims[i], figures) != class_met) {
            return run_claim_not_met;
        }
    }
    return run->around_cache ? run_measured : run_unconfirmed;
}

// The measuring in the scratch file, from its making to its removal.
void measure_in_scratch(SpeedRun* run) {
    SpeedWork* work = &run->work;
    if (!make_scratch(run)) {
        return;
    }
    SpeedEnd end = measure_sequential(work);
    if (end == speed_done) {
        end = measure_random(work);
    }
    bool removed = remove_scratch(run);
    if (end == speed_interrupted) {
        std::snprintf(run->error, sizeof run->error, "interrupted; the scratch file is removed");
        run->outcome = run_interrupted;
    } else if (end == speed_failed) {
        char what[128];
        std::snprintf(what, sizeof what, "the %s of the scratch file", work->failed);
        fail(run, "%s failed: %s", what, work->error != 0 ? work->error : -1);
    } else if (removed) {
        find_speed_figures(work);
        run->measured = true;
        run->outcome = judge_measured(run);
    }
}

void measure(SpeedRun* run) {
    const char* directory = run->options.speed_directory;
    int error = open_directory(directory, &run->folder);
    if (error != 0) {
        fail(run, "cannot open \"%s\": %s", directory, error);
        return;
    }
    run->work.size = plan_speed_bytes(free_space(directory), run->options.expected_size);
    run->work.piece = aligned_buffer(speed_buffer_bytes);
    if (run->work.size == 0 || run->work.piece == nullptr) {
        fail(run,
             run->work.size == 0 ? "too little free room in \"%s\" to measure: a speed test needs"
                                   " 16 MiB and a little more%s"
                                 : "no memory to measure \"%s\"%s",
             directory, 0);
    } else {
        catch_stop_requests();
        gather_seed(&run->work.stream);
        measure_in_scratch(run);
    }
    free_aligned_buffer(run->work.piece);
    close_directory(&run->folder);
}

void print_report(const SpeedRun* run) {
    std::FILE* out = run->report_out;
    const SpeedWork& work = run->work;
    char size[32];
    format_size(work.size, size, sizeof size);
    std::fprintf(out, "speed of: \"%s\", %s written and read back in a scratch file, %s\n",
                 run->options.speed_directory, size,
                 run->around_cache ? "around the system's cache"
                                   : "through the system's cache (it cannot be passed here):"
                                     " the figures may be the memory's");
    write_cliff_line(&work.cliff, work.size, write_line, out);
    write_speed_lines(&work.figures, work.deep_queue, write_line, out);
    if (run->options.claims != nullptr) {
        write_claim_verdicts(&run->claims, &work.figures, write_line, out);
    }
}

void write_plot_document(TextWriter write, void* output, const SpeedRun* run) {
    PlotData data = {&run->work.write_rates, &run->work.read_rates, nullptr, &run->work.cliff};
    write_plot_svg(&data, write, output);
}

void write_json_document(TextWriter write, void* output, const SpeedRun* run) {
    const SpeedWork& work = run->work;
    SpeedRecord record = {run->options.speed_directory,
                          work.size,
                          run->around_cache,
                          &work.cliff,
                          run->measured ? &work.figures : nullptr,
                          work.deep_queue,
                          run->options.claims != nullptr ? &run->claims : nullptr,
                          &work.write_rates,
                          &work.read_rates,
                          run->outcome,
                          run->error};
    write_speed_json(&record, write, output);
}

// Writes the target's document; one that cannot be written fails the run.
void write_output(SpeedRun* run, const OutputTarget* target,
                  void (*document)(TextWriter, void*, const SpeedRun*)) {
    char message[4096 + 256];
    if (output_open(&run->output, target, message, sizeof message)) {
        document(output_text, &run->output, run);
        if (output_close(&run->output, message, sizeof message)) {
            return;
        }
    }
    std::fprintf(stderr, "sprayl-check: %s\n", message);
    std::snprintf(run->error, sizeof run->error, "%s", message);
    run->outcome = run_failed;
}

} // namespace

int run_speed_command(const CheckOptions* options) {
    std::unique_ptr<SpeedRun> run(new (std::nothrow) SpeedRun());
    if (run == nullptr) {
        std::fputs("sprayl-check: no memory for the speed test\n", stderr);
        return exit_unverifiable;
    }
    run->options = *options;
    run->report_out = stdout;
    run->outcome = run_failed;
    if (options->claims != nullptr) {
        char message[256];
        parse_claims(options->claims, &run->claims, message, sizeof message);
    }
    const OutputTarget json = {"--json", "JSON report", options->json_path, is_run_json};
    const OutputTarget plot = {"--plot", "SVG chart", options->plot_path, is_plot_svg};
    const OutputTarget targets[] = {json, plot};
    char message[4096 + 256];
    if (!outputs_allowed(targets, 2, &options->speed_directory, 1, message, sizeof message)) {
        std::fprintf(stderr, "sprayl-check: %s\n", message);
        return exit_unverifiable;
    }
    if (options->json_path != nullptr && std::strcmp(options->json_path, "-") == 0) {
        run->report_out = stderr;
    }
    measure(run.get());
    if (run->error[0] != '\0') {
        std::fprintf(stderr, "sprayl-check: %s\n", run->error);
    }
    if (options->plot_path != nullptr && run->measured) {
        write_output(run.get(), &plot, write_plot_document);
    }
    if (options->json_path != nullptr) {
        write_output(run.get(), &json, write_json_document);
    }
    if (run->measured) {
        print_report(run.get());
    }
    std::fflush(run->report_out);
    return run_exit_code(run->outcome);
}
