// What a run of a check or a fill writes when it is over, however it
// ended: the chart (--plot), the report for programs (--json) and the
// text report, in that order, each from the run's one verdict. The text
// report comes last, so that a file that cannot be written before it
// shows in it as in the exit code; where the JSON itself cannot be
// written, the text report and the exit code still say so. The text
// report cannot say that it was not written itself: standard error and
// the exit code do, and a JSON written before it cannot.
#include "check_run.h"

#include "check_report.h"
#include "input_report.h"
#include "json_output.h"
#include "output_file.h"
#include "svg_plot.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Writes a line of the report to file.
void write_line(void* file, const char* line) {
    std::fputs(line, static_cast<std::FILE*>(file));
}

// What was run, as the report for programs gives it.
RunMode run_mode(const CheckRun* run) {
    if (run->options.action == action_fill) {
        return mode_fill;
    }
    if (run->inputs.directory != nullptr) {
        return mode_directory;
    }
    return run->options.input_count == 0 ? mode_stream : mode_files;
}

// The fill's record as the run knows it: the fill's own, once it began,
// or the record of the directory checked.
const FillRecord* run_record(const CheckRun* run) {
    if (run->options.action == action_fill) {
        return run->fill.started ? &run->fill.start.record : nullptr;
    }
    const InputList& inputs = run->inputs;
    return inputs.directory != nullptr && inputs.record_state == record_read ? &inputs.record
                                                                             : nullptr;
}

void write_json_document(TextWriter write, void* output, const CheckRun* run) {
    bool filled = run->options.action == action_fill;
    RunRecord record = {run_mode(run),
                        &run->inputs,
                        run->check_ran ? &run->check : nullptr,
                        run->options.fill_directory,
                        filled ? &run->fill.outcome : nullptr,
                        run->fill.drive_verdict,
                        filled ? &run->fill.capacity : nullptr,
                        &run->verdict,
                        run->write_rates.count > 0 ? &run->write_rates : nullptr,
                        run->read_rates.count > 0 ? &run->read_rates : nullptr,
                        run_record(run),
                        filled ? &run->drive : nullptr,
                        run->today};
    write_run_json(&record, write, output);
}

void write_plot_document(TextWriter write, void* output, const CheckRun* run) {
    PlotData data = {&run->write_rates, &run->read_rates,
                     run->check_ran ? &run->check.result : nullptr, nullptr};
    write_plot_svg(&data, write, output);
}

// Writes the target's document; a file that cannot be written fails the
// run from here on.
void write_output_file(CheckRun* run, const OutputTarget* target,
                       void (*write_document)(TextWriter, void*, const CheckRun*)) {
    OutputFile* output = &run->output;
    if (output_open(output, target, run->message, sizeof run->message)) {
        write_document(output_text, output, run);
        if (output_close(output, run->message, sizeof run->message)) {
            return;
        }
    }
    std::fprintf(run->messages, "sprayl-check: %s\n", run->message);
    verdict_fails_after(&run->verdict, run->message);
}

// The speed over the stream, where it was measured.
void print_profiles(const CheckRun* run) {
    write_profile(&run->write_rates, "write", write_line, run->report_out);
    write_profile(&run->read_rates, "read", write_line, run->report_out);
    write_pace_limit(&run->read_rates, run->inputs.checking_seconds, write_line, run->report_out);
}

// The text report of a run whose check ran, then what the check has to
// say on standard error; a report that could not be written fails the run.
void print_text_report(CheckRun* run) {
    if (!run->verdict.checked) {
        return;
    }
    std::FILE* out = run->report_out;
    write_report_with_verdict(&run->check.result, run->verdict.verdict, run->verdict.result,
                              write_line, out);
    print_inputs(out, &run->inputs, &run->check);
    print_directory_lines(out, &run->inputs, &run->directory);
    std::fflush(out);
    std::fputs(run->notes.c_str(), run->messages);
    if (run->options.action == action_fill) {
        print_fill_lines(run);
    }
    print_profiles(run);
    if (std::fflush(out) != 0 || std::ferror(out)) {
        char why[256];
        std::snprintf(why, sizeof why, "cannot write the report: %s", std::strerror(errno));
        std::fprintf(run->messages, "sprayl-check: %s\n", why);
        verdict_fails_after(&run->verdict, why);
    }
}

} // namespace

int run_and_record(CheckRun* run) {
    const CheckOptions& options = run->options;
    const OutputTarget json = {"--json", "JSON report", options.json_path, is_run_json};
    const OutputTarget plot = {"--plot", "SVG chart", options.plot_path, is_plot_svg};
    const OutputTarget targets[] = {json, plot};
    // What the run reads or fills, which no report may be written over.
    static const char* const standard_input[] = {"-"};
    const char* const* reads = options.inputs;
    size_t read_count = static_cast<size_t>(options.input_count);
    if (options.action == action_fill) {
        reads = &options.fill_directory;
        read_count = 1;
    } else if (read_count == 0) {
        reads = standard_input;
        read_count = 1;
    }
    if (!outputs_allowed(targets, 2, reads, read_count, run->message, sizeof run->message)) {
        fail_run(run, run->message);
        return run_exit_code(run->verdict.outcome);
    }
    if (options.json_path != nullptr && std::strcmp(options.json_path, "-") == 0) {
        run->report_out = run->messages;
    }
    if (options.action == action_fill) {
        run_fill(run);
    } else {
        run_check(run);
    }
    if (options.plot_path != nullptr) {
        write_output_file(run, &plot, write_plot_document);
    }
    if (options.json_path != nullptr) {
        write_output_file(run, &json, write_json_document);
    }
    print_text_report(run);
    return run_exit_code(run->verdict.outcome);
}
