// sprayl-check [FILE...|DIR], sprayl-check --fill DIR: checks that files, a
// directory of fill files or standard input hold one stream of sprayl intact,
// or fills a file system with such a stream and checks it. Exit code 0:
// intact; 1: damaged; 2: usage error, input that cannot be opened, or too
// short to check; 3: no damage found, but possibly read from memory; 130:
// interrupted.
#include "check_input.h"
#include "check_options.h"
#include "check_report.h"
#include "damage_kinds.h"
#include "drive_capacity.h"
#include "exit_code.h"
#include "fill.h"
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

const char usage_text[] =
    "usage: sprayl-check [--size N] [FILE...]\n"
    "       sprayl-check DIR\n"
    "       sprayl-check --fill DIR [--file-size N] [--replace | --resume] [--keep-going]\n"
    "       sprayl-check --probe DEVICE [--backup FILE | --destructive]\n"
    "       sprayl-check --restore BACKUP DEVICE\n"
    "Checks that the files, read one after another as one stream (or standard\n"
    "input when there is no FILE, or FILE is \"-\"), hold a stream of sprayl\n"
    "intact, byte for byte; DIR: the fill files in it, in their order.\n"
    "  --fill DIR       fill the file system that holds DIR with files\n"
    "                   sprayl-00001.bin, ... of one stream until it is full,\n"
    "                   reading samples back as it goes, then check them all;\n"
    "                   a sample that was not kept stops the writing early\n"
    "  --file-size N    largest fill file (default 1G; the first ones are smaller)\n"
    "  --replace        overwrite fill files that are there already\n"
    "  --resume         go on with an interrupted fill: check the files there, cut\n"
    "                   the last one back to its last intact sector, write on\n"
    "  --keep-going     write to the end even when a sample was not kept\n"
    "  --size N         the input should be N bytes long; check that many\n"
    "  --json FILE      also write the report for programs, as JSON, to FILE\n"
    "                   (\"-\": standard output, the text report to standard error)\n"
    "  --plot FILE      draw the write and read rates over the stream, and the\n"
    "                   damage, as an SVG chart in FILE\n"
    "  --probe DEVICE   find a drive's real capacity in seconds (Linux, root, a\n"
    "                   whole disk that is not in use); every sector it\n"
    "                   overwrites is saved first and written back at the end\n"
    "  --backup FILE    where --probe saves them (default: the current\n"
    "                   directory, sprayl-probe-DEVICE-TIME.backup)\n"
    "  --destructive    --probe saves nothing: the drive's data may be lost\n"
    "  --restore BACKUP DEVICE  put a probe's saved sectors back\n"
    "  --version        the version\n"
    "  -h, --help       this text (also /? on Windows)\n"
    "N: bytes, or with K, M, G, T (powers of 1024).\n"
    "Exit code 0: intact (a genuine drive); 1: damaged (a fake drive); 2: usage\n"
    "error, input that cannot be opened, too short to check, or a drive that\n"
    "cannot be probed; 3: no damage found, but what was read may have come from\n"
    "memory rather than the drive; 130: interrupted.\n";

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
                 unreached_drive_reason());
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

// After a fill that found damage, what the drive holds, where that can be
// told: the report's verdict, and the JSON's fill.drive_verdict.
char drive_verdict[512];

// Reads the inputs into the check, which is started already, and reports.
// header_given: the input's first bytes define the run (not a fill's seed).
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
    if (!header_given && inputs.directory != nullptr && check.result.outcome == outcome_damaged &&
        !capacity_verdict(inputs.directory, static_cast<uint32_t>(inputs.count), verdict,
                          sizeof drive_verdict)) {
        verdict[0] = '\0';
    }
    if (verdict[0] != '\0') {
        write_report_with_verdict(&check.result, verdict, write_line, report_out);
    } else {
        write_report(&check.result, write_line, report_out);
    }
    print_inputs(report_out, &inputs, &check);
    std::fflush(report_out);
    if (message[0] != '\0') {
        std::fprintf(stderr, "sprayl-check: %s\n", message);
        std::snprintf(failure, sizeof failure, "%s", message);
    }
    if (end == check_end_of_input && header_given && !check_is_conclusive(&check.result)) {
        explain_short_input();
    }
    if (check.result.possibly_from_memory) {
        explain_possible_memory();
    }
    return run_exit_code();
}

// The speed over the stream, where it was measured.
void print_profiles() {
    write_profile(&write_rates, "write", write_line, report_out);
    write_profile(&read_rates, "read", write_line, report_out);
}

int run_check(const CheckOptions* options) {
    if (options->input_count == 0 && stdin_is_terminal()) {
        std::fputs(usage_text, stderr);
        return exit_unverifiable;
    }
    if (!prepare_inputs(&inputs, options->inputs, static_cast<size_t>(options->input_count),
                        message, sizeof message)) {
        return fail(message);
    }
    inputs.read_limit = options->expected_size;
    catch_stop_requests();
    check_start(&check);
    int exit_code = check_and_report(options->expected_size, true);
    print_profiles();
    return finish_output(exit_code);
}

// Refuses to fill over earlier fill files, or removes them when asked to.
bool clear_directory(const CheckOptions* options) {
    int64_t last = last_fill_file(options->fill_directory, message, sizeof message);
    if (last < 0) {
        return false;
    }
    if (last > 0 && !options->replace) {
        char last_path[4096];
        fill_file_path(options->fill_directory, static_cast<uint32_t>(last), last_path,
                       sizeof last_path);
        std::snprintf(message, sizeof message,
                      "\"%s\" holds fill files already, up to %s; --replace overwrites them",
                      options->fill_directory, last_path);
        return false;
    }
    return remove_fill_files(options->fill_directory, static_cast<uint32_t>(last), message,
                             sizeof message);
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
    DriveCapacity found = find_capacity(&check.result, &map, drive_size(directory));
    if (found.finding == capacity_not_found) {
        return false;
    }
    format_capacity(&found, text, capacity);
    return true;
}

// Says on standard error that a sample read back was not what was written.
void explain_finding(const FillOutcome* outcome, bool keep_going) {
    const SampleFinding& finding = outcome->finding;
    Stretch stretch = {finding.file_offset, finding.file_offset + 1, finding.kind, finding.source,
                       0};
    char what[128];
    damage_kinds[finding.kind].describe(stretch, what, sizeof what);
    char path[4096];
    fill_file_path(inputs.directory != nullptr ? inputs.directory : "", finding.file, path,
                   sizeof path);
    std::fprintf(stderr,
                 "sprayl-check: the drive did not keep what it was given: read back, %s at"
                 " offset %" PRIu64 " is %s (%s)%s\n",
                 path, finding.file_offset, damage_kinds[finding.kind].name, what,
                 keep_going            ? "; writing goes on (--keep-going)"
                 : outcome->stopped_early ? "; writing stops here, and every file written is checked"
                                       : "");
}

// Refuses to go on with a fill directory, with the reason.
bool refuse_resume(const char* directory, const char* reason) {
    std::snprintf(message, sizeof message,
                  "cannot resume the fill in \"%s\": it does not hold one intact run from its"
                  " start: %s",
                  directory, reason);
    return false;
}

// The run that the first fill file's header gives.
bool read_run_of_first_file(const char* directory, GeneratorState* seed) {
    char path[4096];
    fill_file_path(directory, 1, path, sizeof path);
    static unsigned char* buffer = aligned_buffer(4096);
    OpenInput input = {};
    input.path = path;
    int error = open_input(path, &input);
    int64_t got = -1;
    if (error == 0 && buffer != nullptr) {
        reach_the_drive(&input, message, sizeof message);
        got = read_input(&input, buffer, 4096, 0, &error);
        if (got < 0 && error_is_misalignment(error) && reopen_through_cache(&input) == 0) {
            got = read_input(&input, buffer, 4096, 0, &error);
        }
    }
    close_input(&input);
    if (got < static_cast<int64_t>(header_bytes)) {
        return refuse_resume(directory, "its first file has no header to read the run from");
    }
    GeneratorState header_state = recover_generator_state(buffer);
    *seed = seed_of_run(&header_state);
    return true;
}

// Checks the fill files there as one stream, cuts the last one back to its
// last intact sector, and plans to go on from there.
bool prepare_resume(const CheckOptions* options, GeneratorState* seed, FillPlan* plan) {
    const char* directory = options->fill_directory;
    int64_t last = last_fill_file(directory, message, sizeof message);
    if (last < 0) {
        return false;
    }
    if (last == 0) {
        return refuse_resume(directory, "it holds no fill files");
    }
    prepare_fill_inputs(&inputs, directory, static_cast<size_t>(last));
    if (missing_inputs(&inputs) > 0) {
        return refuse_resume(directory, "fill files are missing");
    }
    if (!read_run_of_first_file(directory, seed)) {
        return false;
    }
    check_start_run(&check, seed);
    Progress progress;
    progress_start(&progress, "checked", inputs.total_size);
    message[0] = '\0';
    CheckEnd end = check_inputs(&inputs, &check, read_input, &progress, message, sizeof message);
    progress_end(&progress, check.result.bytes_read, bytes_damaged(&check.result));
    check_finish(&check, end, 0);
    if (end != check_end_of_input) {
        return refuse_resume(directory, message[0] != '\0' ? message : "the check was stopped");
    }
    uint64_t intact_end = check.result.bytes_read;
    if (check.result.stretch_count > 0) {
        intact_end = check.result.stretches[0].start;
    }
    if (check.result.slip_count > 0 && check.result.slips[0].offset < intact_end) {
        intact_end = check.result.slips[0].offset;
    }
    uint32_t files = static_cast<uint32_t>(last);
    uint64_t last_start = inputs.starts[files - 1];
    if (intact_end < last_start) {
        char reason[256];
        std::snprintf(reason, sizeof reason,
                      "damage at stream offset %" PRIu64 ", before its last file", intact_end);
        return refuse_resume(directory, reason);
    }
    // The last file ends at its last sector that is intact to its end.
    if (intact_end < check.result.bytes_read) {
        intact_end = last_start + (intact_end - last_start) / sector_bytes * sector_bytes;
    }
    if (intact_end < header_bytes + min_checked_bytes) {
        return refuse_resume(directory, "its first file holds too little of the run");
    }
    char path[4096];
    fill_file_path(directory, files, path, sizeof path);
    int error =
        intact_end > last_start ? truncate_file(path, intact_end - last_start) : remove_file(path);
    if (error != 0) {
        char text[128];
        error_text(error, text, sizeof text);
        std::snprintf(message, sizeof message, "cannot cut \"%s\" back: %s", path, text);
        return false;
    }
    if (intact_end == last_start) {
        --files;
    }
    std::fprintf(stderr,
                 "sprayl-check: going on with the fill in \"%s\" after %" PRIu64
                 " intact bytes in %" PRIu32 " files\n",
                 directory, intact_end, files);
    *plan = {options->file_size, options->keep_going, files, intact_end, inputs.starts};
    return true;
}

int run_fill(const CheckOptions* options) {
    if (!fill_allowed(options->fill_directory, message, sizeof message)) {
        return fail(message);
    }
    GeneratorState seed;
    FillPlan plan = {options->file_size, options->keep_going, 0, 0, nullptr};
    catch_stop_requests();
    if (options->resume) {
        if (!prepare_resume(options, &seed, &plan)) {
            return fail(message);
        }
    } else {
        if (!clear_directory(options)) {
            return fail(message);
        }
        gather_seed(&seed);
    }
    Progress progress;
    progress_start(&progress, "written", plan.bytes_there + free_space(options->fill_directory));
    progress.rates = &write_rates; // the speed profile's
    rates_start(&write_rates, rate_stretch_bytes(options->file_size), progress.started);
    progress_start_at(&progress, plan.bytes_there);
    message[0] = '\0';
    bool filled = fill_directory(options->fill_directory, &plan, &seed, &progress, &fill, message,
                                 sizeof message);
    progress_end(&progress, fill.bytes, no_damage_count);
    if (!filled) {
        return fail(message);
    }
    if (message[0] != '\0') {
        std::fprintf(stderr, "sprayl-check: %s\n", message);
    }
    inputs.directory = options->fill_directory;
    if (fill.finding.found) {
        explain_finding(&fill, options->keep_going);
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
    prepare_fill_inputs(&inputs, options->fill_directory, fill.files);
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

void write_json_document(TextWriter write, void* context) {
    RunRecord run = {run_mode(&run_options),
                     &inputs,
                     check_ran ? &check : nullptr,
                     run_options.fill_directory,
                     run_options.action == action_fill ? &fill : nullptr,
                     drive_verdict,
                     write_rates.count > 0 ? &write_rates : nullptr,
                     read_rates.count > 0 ? &read_rates : nullptr,
                     failure,
                     run_exit};
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
        std::fputs(usage_text, stdout);
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
