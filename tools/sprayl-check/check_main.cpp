// sprayl-check [FILE...|DIR], sprayl-check --fill DIR: checks that files, a
// directory of fill files or standard input hold one stream of sprayl intact,
// or fills a file system with such a stream and checks it. Exit code 0:
// intact; 1: damaged; 2: usage error, input that cannot be opened, too short
// to check, a fill refused or whose directory went away; 3: no damage found,
// but possibly read from memory, or not all of the drive tested; 130:
// interrupted.
#include "check_input.h"
#include "check_options.h"
#include "check_report.h"
#include "damage_kinds.h"
#include "exit_code.h"
#include "fill.h"
#include "fill_capacity.h"
#include "fill_report.h"
#include "fill_start.h"
#include "gather_seed.h"
#include "input_report.h"
#include "json_output.h"
#include "output_file.h"
#include "probe_command.h"
#include "progress.h"
#include "speed_profile.h"
#include "sprayl_version.h"
#include "stream_check.h"
#include "stream_position.h"
#include "svg_plot.h"

#include "system.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
// The wide main alone: the arguments as the system holds them.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace {

StreamCheck check;
InputList inputs;
char message[4096 + 256];

// What the report for programs and the chart tell of the run, beside the
// check itself.
FillOutcome fill;
RateTable write_rates;
RateTable read_rates;
bool check_ran;           // check_and_report was reached
char failure[4096 + 256]; // why the run failed, for the report for programs
// Where the text report goes: standard error when the JSON takes standard
// output.
std::FILE* report_out = stdout;

int usage_error(const char* text) {
    std::fprintf(stderr, "sprayl-check: %s\nTry \"sprayl-check --help\".\n", text);
    return exit_unverifiable;
}

int fail(const char* text) {
    std::fprintf(stderr, "sprayl-check: %s\n", text);
    std::snprintf(failure, sizeof failure, "%s", text);
    return exit_unverifiable;
}

// Writes a line of the report to file.
void write_line(void* file, const char* line) {
    std::fputs(line, static_cast<std::FILE*>(file));
}

// Flushes the report; a report that could not be written fails the run.
int finish_output(int exit_code) {
    if (std::fflush(report_out) != 0 || std::ferror(report_out)) {
        std::fprintf(stderr, "sprayl-check: cannot write the report: %s\n", std::strerror(errno));
        return exit_unverifiable;
    }
    return exit_code;
}

// Says on standard error why the input gave no verdict: it was too short.
void explain_short_input() {
    char name[4096 + 8]; // the path in quotes
    quoted_input_name(inputs.directory != nullptr ? inputs.directory
                      : inputs.count == 0         ? "-"
                                                  : inputs.paths[0],
                      name, sizeof name);
    std::fprintf(stderr,
                 "sprayl-check: %s is too short to check: %" PRIu64
                 " bytes read, at least %u needed, as the first %u define the stream\n",
                 name, check.result.bytes_read,
                 static_cast<unsigned>(header_bytes + min_checked_bytes),
                 static_cast<unsigned>(header_bytes));
}

// Says on standard error that what was read may not have come from the
// drive, why, and what to do about it.
void explain_possible_memory() {
    std::fprintf(stderr,
                 "sprayl-check: %s: what was read may have come from memory rather than the"
                 " drive, so an intact check confirms nothing.\n",
                 inputs.unreached_reason);
    if (inputs.directory != nullptr) {
        std::fprintf(stderr,
                     "sprayl-check: unplug the drive and plug it in again (or run this as root),"
                     " then check again: sprayl-check \"%s\"\n",
                     inputs.directory);
    } else {
        std::fprintf(stderr, "sprayl-check: unplug the drive and plug it in again (or run this as"
                             " root), then check the files again\n");
    }
}

// The check's exit code (which knows how the input ended), with what only
// the reading knows: fill files that are missing.
int run_exit_code() {
    int exit_code = exit_code_of(check.result.outcome);
    if (missing_inputs(&inputs) > 0 &&
        (exit_code == exit_intact || exit_code == exit_unconfirmed)) {
        return exit_differs;
    }
    return exit_code;
}

bool capacity_verdict(const char* directory, uint32_t files, char* text, size_t capacity);

// The fill's record, and the directory it fills, held open.
FillStart fill_start;
OpenDirectory fill_folder;
FillWork fill_work;
bool fill_started; // fill_directory was reached

// After a fill that found damage, what the drive holds, where that can be
// told: the report's verdict, and the JSON's fill.drive_verdict.
char drive_verdict[512];

// What the fill's directory adds to the report, after a fill or a check of
// a directory, and the verdict line the report gave.
DirectoryReport directory_report;
const char* shown_verdict = "";

// Writes a line of the report to report_out; the check's result line gives
// way to the one in context where that is not empty.
void write_report_line(void* context, const char* line) {
    const char* result_line = static_cast<const char*>(context);
    if (result_line[0] != '\0' && std::strncmp(line, "result: ", 8) == 0) {
        line = result_line;
    }
    std::fputs(line, report_out);
}

// Reads the inputs into the check, which is started already, and reports.
// header_given: the input's first bytes define the run (not a fill's seed
// or its record's).
int check_and_report(uint64_t expected_size, bool header_given) {
    Progress progress;
    progress_start(&progress, "checked", expected_size != 0 ? expected_size : inputs.total_size);
    if (inputs.count > 0 && inputs.methods[0] != read_as_it_comes) {
        // Files have a speed to profile; a stream's is that of its writer.
        progress.rates = &read_rates;
        rates_start(&read_rates, rate_stretch_bytes(inputs.largest_size), progress.started);
    }
    check_ran = true;
    message[0] = '\0';
    CheckEnd end = check_inputs(&inputs, &check, read_input, &progress, message, sizeof message);
    progress_end(&progress, check.result.bytes_read, bytes_damaged(&check.result));
    // A check that was stopped tells how much it would have read.
    bool files_stopped = end == check_end_interrupted && expected_size == 0;
    check_finish(&check, end, files_stopped ? inputs.total_size : expected_size);
    // After a fill, damage that says what the drive holds is the verdict.
    char* verdict = drive_verdict;
    if (fill_started && check.result.outcome == outcome_damaged &&
        !capacity_verdict(inputs.directory, static_cast<uint32_t>(inputs.count), verdict,
                          sizeof drive_verdict)) {
        verdict[0] = '\0';
    }
    static char data_verdict[1024];
    if (verdict[0] != '\0') {
        std::snprintf(data_verdict, sizeof data_verdict, "%s", verdict);
    } else {
        format_verdict(&check.result, data_verdict, sizeof data_verdict);
    }
    judge_directory(&inputs, &check, run_exit_code(), data_verdict, &directory_report);
    shown_verdict = directory_report.verdict[0] != '\0' ? directory_report.verdict : data_verdict;
    write_report_with_verdict(&check.result, shown_verdict, write_report_line,
                              directory_report.result);
    print_inputs(report_out, &inputs, &check);
    print_directory_lines(report_out, &inputs, &directory_report);
    std::fflush(report_out);
    if (message[0] != '\0') {
        std::fprintf(stderr, "sprayl-check: %s\n", message);
        std::snprintf(failure, sizeof failure, "%s", message);
        if (inputs.directory != nullptr &&
            directory_gone(&inputs.folder, message, sizeof message)) {
            std::fprintf(stderr, "sprayl-check: %s\n", message);
            std::snprintf(failure, sizeof failure, "%s", message);
        }
    }
    if (end == check_end_of_input && header_given && !check_is_conclusive(&check.result)) {
        explain_short_input();
    }
    if (check.result.possibly_from_memory) {
        explain_possible_memory();
    }
    return directory_report.exit_code;
}

// The speed over the stream, where it was measured.
void print_profiles() {
    write_profile(&write_rates, "write", write_line, report_out);
    write_profile(&read_rates, "read", write_line, report_out);
}

int run_check(const CheckOptions* options) {
    if (options->input_count == 0 && stdin_is_terminal()) {
        write_usage(stderr);
        return exit_unverifiable;
    }
    if (!prepare_inputs(&inputs, options->inputs, static_cast<size_t>(options->input_count),
                        message, sizeof message)) {
        return fail(message);
    }
    inputs.read_limit = options->expected_size;
    catch_stop_requests();
    bool header_given = true;
    if (inputs.directory != nullptr && inputs.record_state == record_read) {
        // The record names the run; files that begin another run say that
        // it is not theirs.
        unsigned char run[header_bytes];
        if (read_file_start(&inputs.folder, 1, run) == start_of_run &&
            std::memcmp(run, inputs.record.run, header_bytes) != 0) {
            char record_path[4096];
            file_path_in(inputs.directory, fill_record_name, record_path, sizeof record_path);
            std::snprintf(message, sizeof message,
                          "the fill record \"%s\" names another run than the fill files in"
                          " \"%s\": nothing can be said of the fill by it (move it away to check"
                          " the fill files without it)",
                          record_path, inputs.directory);
            return fail(message);
        }
        GeneratorState seed = seed_of_header(inputs.record.run);
        check_start_run(&check, &seed);
        header_given = false;
    } else {
        check_start(&check);
    }
    int exit_code = check_and_report(options->expected_size, header_given);
    print_profiles();
    return finish_output(exit_code);
}

// The fill's rates: a resumed fill's from the bytes this run wrote.
void print_rates(const FillOutcome* outcome, double read_seconds) {
    char size[32];
    char write_rate[32];
    char read_rate[32];
    format_size(outcome->bytes, size, sizeof size);
    format_rate(bytes_per_second(outcome->bytes_this_run, outcome->seconds), write_rate,
                sizeof write_rate);
    format_rate(bytes_per_second(check.result.bytes_read, read_seconds), read_rate,
                sizeof read_rate);
    if (outcome->bytes_this_run == outcome->bytes) {
        std::fprintf(report_out, "written: %" PRIu64 " bytes (%s) in %" PRIu32 " files, %s\n",
                     outcome->bytes, size, outcome->files, write_rate);
    } else {
        char this_run[32];
        format_size(outcome->bytes_this_run, this_run, sizeof this_run);
        std::fprintf(report_out,
                     "written: %" PRIu64 " bytes (%s) in %" PRIu32 " files, %" PRIu64
                     " bytes (%s) of them by this run, %s\n",
                     outcome->bytes, size, outcome->files, outcome->bytes_this_run, this_run,
                     write_rate);
    }
    std::fprintf(report_out,
                 "read back while writing: %" PRIu64 " pieces of %u KiB, %.2f s of %.2f s\n",
                 outcome->pieces_read, static_cast<unsigned>(sample_piece_bytes / 1024),
                 outcome->read_back_seconds, outcome->seconds);
    std::fprintf(report_out, "read back: %s\n", read_rate);
}

// Where the fill files lie on the drive, as stream offsets; none where the
// file system cannot tell for every file.
StreamExtent stream_extents[1 << 16];
FileExtent file_extent_buffer[1 << 16];

DriveMap map_fill_files(const char* directory, uint32_t files) {
    DriveMap map = {stream_extents, 0};
    for (uint32_t i = 0; i < files; ++i) {
        char path[4096];
        fill_file_path(directory, i + 1, path, sizeof path);
        int64_t count = file_extents(path, file_extent_buffer,
                                     sizeof file_extent_buffer / sizeof file_extent_buffer[0]);
        if (count < 0 || map.count + static_cast<size_t>(count) >
                             sizeof stream_extents / sizeof stream_extents[0]) {
            map.count = 0;
            return map;
        }
        uint64_t file_end = inputs.starts[i + 1] - inputs.starts[i];
        for (int64_t e = 0; e < count; ++e) {
            const FileExtent& extent = file_extent_buffer[e];
            if (extent.file_offset >= file_end) {
                continue;
            }
            uint64_t length = extent.length < file_end - extent.file_offset
                                  ? extent.length
                                  : file_end - extent.file_offset;
            stream_extents[map.count++] = {inputs.starts[i] + extent.file_offset,
                                           extent.drive_offset, length};
        }
    }
    return map;
}

// The line that says what the drive really holds, where the check found it
// did not keep everything.
// What the drive holds, from where the damage lies on it, or estimated from
// what came back intact where the file system cannot say where its files
// lie, as a sentence; false where the damage says nothing of the drive's
// size. It stands in for the check's own verdict, which speaks of offsets in
// the stream that the file system placed on the drive as it liked.
bool capacity_verdict(const char* directory, uint32_t files, char* text, size_t capacity) {
    DriveMap map = map_fill_files(directory, files);
    DriveVerdict found = find_capacity(&check.result, &map, drive_size(directory));
    if (found.finding == drive_says_nothing) {
        return false;
    }
    format_drive_verdict(&found, text, capacity);
    return true;
}

int run_fill(const CheckOptions* options) {
    const char* directory = options->fill_directory;
    if (!fill_allowed(directory, message, sizeof message)) {
        return fail(message);
    }
    int error = open_directory(directory, &fill_folder);
    if (error != 0) {
        char text[128];
        error_text(error, text, sizeof text);
        std::snprintf(message, sizeof message, "cannot list \"%s\": %s", directory, text);
        return fail(message);
    }
    catch_stop_requests();
    GeneratorState new_seed;
    gather_seed(&new_seed);
    if (!prepare_fill(&fill_folder, options, &new_seed, &inputs, &check, &fill_start, message,
                      sizeof message)) {
        return fail(message);
    }
    const GeneratorState& seed = fill_start.seed;
    const FillPlan& plan = fill_start.plan;
    FillRecord& fill_record = fill_start.record;
    Progress progress;
    progress_start(&progress, "written", plan.bytes_there + fill_record.free_bytes);
    progress.rates = &write_rates; // the speed profile's
    rates_start(&write_rates, rate_stretch_bytes(options->file_size), progress.started);
    progress_start_at(&progress, plan.bytes_there);
    message[0] = '\0';
    fill_started = true;
    bool filled = fill_directory(&fill_work, &fill_folder, &plan, &seed, &fill_record, &progress,
                                 &fill, message, sizeof message);
    progress_end(&progress, fill.bytes, no_damage_count);
    if (!filled) {
        return fail(message);
    }
    if (message[0] != '\0') {
        std::fprintf(stderr, "sprayl-check: %s\n", message);
    }
    if (fill.record_error[0] != '\0') {
        std::fprintf(stderr,
                     "sprayl-check: %s; a later check of \"%s\" cannot tell from it how long"
                     " the fill was\n",
                     fill.record_error, directory);
    }
    inputs.directory = directory;
    if (fill.finding.found) {
        explain_finding(&fill, directory, options->keep_going);
    }
    if (fill.interrupted) {
        std::fprintf(stderr,
                     "sprayl-check: interrupted after %" PRIu64 " bytes in %" PRIu32
                     " files; --resume goes on from there\n",
                     fill.bytes, fill.files);
        return exit_interrupted;
    }
    if (fill.files == 0) {
        return fail("the file system took no byte of the first fill file");
    }
    // Where the directory went away, what is there is not the fill's to check.
    if (directory_gone(&fill_folder, message, sizeof message)) {
        return fail(message);
    }
    prepare_fill_inputs(&inputs, &fill_folder, fill.files, &fill_record);
    check_start_run(&check, &seed);
    double started = clock_seconds();
    int exit_code = check_and_report(fill.bytes, false);
    double read_seconds = clock_seconds() - started;
    if (fill.finding.found && (exit_code == exit_intact || exit_code == exit_unconfirmed)) {
        // What was read back while writing stays a fact: a drive that gave
        // it once may give it again.
        std::fprintf(stderr, "sprayl-check: every byte checked was in place, but a piece read"
                             " back while writing was not: the drive does not keep its data"
                             " reliably\n");
        exit_code = exit_differs;
    }
    print_rates(&fill, read_seconds);
    print_profiles();
    return finish_output(exit_code);
}

// What was run, as the report for programs gives it.
RunMode run_mode(const CheckOptions* options) {
    if (options->action == action_fill) {
        return mode_fill;
    }
    if (inputs.directory != nullptr) {
        return mode_directory;
    }
    return options->input_count == 0 ? mode_stream : mode_files;
}

// Writes what write_document makes to the target's file; a file that
// cannot be written fails the run.
int write_output_file(const OutputTarget* target, void (*write_document)(TextWriter, void*),
                      int exit_code) {
    static OutputFile output;
    if (output_open(&output, target, message, sizeof message)) {
        write_document(output_text, &output);
        if (output_close(&output, message, sizeof message)) {
            return exit_code;
        }
    }
    std::fprintf(stderr, "sprayl-check: %s\n", message);
    return exit_unverifiable;
}

// The run, for the documents written after it.
CheckOptions run_options;
int run_exit;

// The fill's record as the run knows it: the fill's own, once it began,
// or the record of the directory checked.
const FillRecord* run_record() {
    if (run_options.action == action_fill) {
        return fill_started ? &fill_start.record : nullptr;
    }
    return inputs.directory != nullptr && inputs.record_state == record_read ? &inputs.record
                                                                             : nullptr;
}

void write_json_document(TextWriter write, void* context) {
    RunRecord run = {run_mode(&run_options),
                     &inputs,
                     check_ran ? &check : nullptr,
                     run_options.fill_directory,
                     run_options.action == action_fill ? &fill : nullptr,
                     drive_verdict,
                     shown_verdict,
                     write_rates.count > 0 ? &write_rates : nullptr,
                     read_rates.count > 0 ? &read_rates : nullptr,
                     failure,
                     run_exit,
                     run_record(),
                     check_ran ? &directory_report : nullptr};
    write_run_json(&run, write, context);
}

void write_plot_document(TextWriter write, void* context) {
    PlotData data = {&write_rates, &read_rates, check_ran ? &check.result : nullptr};
    write_plot_svg(&data, write, context);
}

// Runs the check or the fill, then writes the report for programs and the
// chart, also after a failure or an interruption.
int run_and_record(const CheckOptions* options) {
    const OutputTarget targets[] = {
        {"--json", "JSON report", options->json_path, is_run_json},
        {"--plot", "SVG chart", options->plot_path, is_plot_svg},
    };
    // What the run reads or fills, which no report may be written over.
    static const char* const standard_input[] = {"-"};
    const char* const* reads = options->inputs;
    size_t read_count = static_cast<size_t>(options->input_count);
    if (options->action == action_fill) {
        reads = &options->fill_directory;
        read_count = 1;
    } else if (read_count == 0) {
        reads = standard_input;
        read_count = 1;
    }
    if (!outputs_allowed(targets, 2, reads, read_count, message, sizeof message)) {
        return fail(message);
    }
    if (options->json_path != nullptr && std::strcmp(options->json_path, "-") == 0) {
        report_out = stderr;
    }
    run_exit = options->action == action_fill ? run_fill(options) : run_check(options);
    run_options = *options;
    int exit_code = run_exit;
    if (options->json_path != nullptr) {
        exit_code = write_output_file(&targets[0], write_json_document, exit_code);
    }
    if (options->plot_path != nullptr) {
        exit_code = write_output_file(&targets[1], write_plot_document, exit_code);
    }
    return exit_code;
}

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
    case action_fill:
    case action_check:
        break;
    }
    return run_and_record(&options);
}

} // namespace

#if defined(_WIN32)

namespace {

// The arguments as UTF-8, so that every name reaches CreateFileW unchanged.
char argument_text[3 * 32768 + 1024];
char* argument_pointers[16384];

} // namespace

int wmain(int argc, wchar_t** wargv) {
    _setmode(_fileno(stdin), _O_BINARY);
    size_t used = 0;
    int count = 0;
    for (; count < argc && count < 16384; ++count) {
        int length =
            WideCharToMultiByte(CP_UTF8, 0, wargv[count], -1, argument_text + used,
                                static_cast<int>(sizeof argument_text - used), nullptr, nullptr);
        if (length <= 0) {
            std::fputs("sprayl-check: the command line is too long\n", stderr);
            return exit_unverifiable;
        }
        argument_pointers[count] = argument_text + used;
        used += static_cast<size_t>(length);
    }
    return check_main(count, argument_pointers);
}

#else

int main(int argc, char** argv) {
    return check_main(argc, argv);
}

#endif
