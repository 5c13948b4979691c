// The check of files, of a directory of fill files or of standard input,
// as a run: the inputs read into the check, and the run's verdict.
#include "check_run.h"

#include "drive_lines.h"
#include "progress.h"
#include "read_ahead.h"
#include "stream_position.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Adds a line to what the check says on standard error after its report.
void add_note(CheckRun* run, const char* format, ...) __attribute__((format(printf, 2, 3)));

void add_note(CheckRun* run, const char* format, ...) {
    char line[8192];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    run->notes += "sprayl-check: ";
    run->notes += line;
    run->notes += "\n";
}

// Why the input gave no verdict: it was too short.
void note_short_input(CheckRun* run) {
    const InputList& inputs = run->inputs;
    char name[4096 + 8]; // the path in quotes
    quoted_input_name(inputs.directory != nullptr ? inputs.directory
                      : inputs.count == 0         ? "-"
                                                  : inputs.paths[0],
                      name, sizeof name);
    add_note(run,
             "%s is too short to check: %" PRIu64
             " bytes read, at least %u needed, as the first %u define the stream",
             name, run->check.result.bytes_read,
             static_cast<unsigned>(header_bytes + min_checked_bytes),
             static_cast<unsigned>(header_bytes));
}

// That what was read may not have come from the drive, why, and what to do
// about it.
void note_possible_memory(CheckRun* run) {
    add_note(run,
             "%s: what was read may have come from memory rather than the drive, so an intact"
             " check confirms nothing.",
             run->inputs.unreached_reason);
    if (run->inputs.directory != nullptr) {
        add_note(run,
                 "unplug the drive and plug it in again (or run this as root), then check again:"
                 " sprayl-check \"%s\"",
                 run->inputs.directory);
    } else {
        add_note(run, "unplug the drive and plug it in again (or run this as root), then check"
                      " the files again");
    }
}

// Why the reading stopped, and what became of a directory that went away;
// the last of them is why the run failed.
void note_failure(CheckRun* run, char* failure, size_t capacity) {
    failure[0] = '\0';
    if (run->message[0] == '\0') {
        return;
    }
    add_note(run, "%s", run->message);
    std::snprintf(failure, capacity, "%s", run->message);
    if (run->inputs.directory != nullptr &&
        directory_gone(&run->inputs.folder, run->message, sizeof run->message)) {
        add_note(run, "%s", run->message);
        std::snprintf(failure, capacity, "%s", run->message);
    }
}

// Starts the check of a directory whose record names the run; false where
// the fill files there begin another run.
bool start_recorded_run(CheckRun* run) {
    InputList* inputs = &run->inputs;
    unsigned char first[header_bytes];
    if (read_file_start(&inputs->folder, 1, first) == start_of_run &&
        std::memcmp(first, inputs->record.run, header_bytes) != 0) {
        char record_path[4096];
        file_path_in(inputs->directory, fill_record_name, record_path, sizeof record_path);
        std::snprintf(run->message, sizeof run->message,
                      "the fill record \"%s\" names another run than the fill files in \"%s\":"
                      " nothing can be said of the fill by it (move it away to check the fill"
                      " files without it)",
                      record_path, inputs->directory);
        return false;
    }
    GeneratorState seed = seed_of_header(inputs->record.run);
    check_start_run(&run->check, &seed);
    return true;
}

} // namespace

void start_run(CheckRun* run, const CheckOptions* options, const GeneratorState* new_seed) {
    run->options = *options;
    run->new_seed = *new_seed;
    run->report_out = stdout;
    run->messages = stderr;
    run->message[0] = '\0';
    run->notes.clear();
    run->check_ran = false;
    run->fill.started = false;
    run->fill.drive_verdict[0] = '\0';
    run->fill.capacity = {};
    run->drive = {};
    run->today = this_month();
    run->verdict = {};
    verdict_failed(&run->verdict, "");
}

void end_run(CheckRun* run) {
    free_aligned_buffer(run->inputs.read_buffer);
    run->inputs.read_buffer = nullptr;
    free_aligned_buffer(run->inputs.ahead_buffers);
    run->inputs.ahead_buffers = nullptr;
    end_read_queue(&run->inputs.queue);
    free_aligned_buffer(run->fill.work.read_back.buffer);
    run->fill.work.read_back.buffer = nullptr;
}

void fail_run(CheckRun* run, const char* why) {
    std::fprintf(run->messages, "sprayl-check: %s\n", why);
    verdict_failed(&run->verdict, why);
}

CheckEnd read_inputs(CheckRun* run, uint64_t expected_size) {
    InputList* inputs = &run->inputs;
    StreamCheck* check = &run->check;
    Progress progress;
    progress_start(&progress, "checked", expected_size != 0 ? expected_size : inputs->total_size);
    if (inputs->count > 0 && inputs->methods[0] != read_as_it_comes) {
        // Files have a speed to profile; a stream's is that of its writer.
        progress.rates = &run->read_rates;
        rates_start(&run->read_rates, rate_stretch_bytes(inputs->largest_size), progress.started);
    }
    run->check_ran = true;
    run->message[0] = '\0';
    inputs->checking_seconds = 0;
    if (inputs->queue.submit == nullptr) {
        start_read_queue(&inputs->queue, queued_pieces); // none: the ring reads ahead
    }
    CheckEnd end =
        check_inputs(inputs, check, read_input, &progress, run->message, sizeof run->message);
    progress_end(&progress, check->result.bytes_read, bytes_damaged(&check->result));
    // A check that was stopped tells how much it would have read.
    bool files_stopped = end == check_end_interrupted && expected_size == 0;
    check_finish(check, end, files_stopped ? inputs->total_size : expected_size);
    return end;
}

void judge_the_check(CheckRun* run, CheckEnd end, bool header_given) {
    char failure[sizeof run->message];
    note_failure(run, failure, sizeof failure);
    if (end == check_end_of_input && header_given && !check_is_conclusive(&run->check.result)) {
        note_short_input(run);
    }
    if (run->check.result.possibly_from_memory) {
        note_possible_memory(run);
    }
    bool filled = run->options.action == action_fill;
    CheckFacts facts = {&run->inputs, &run->check, run->fill.drive_verdict,
                        filled ? &run->fill.outcome.finding : nullptr, failure};
    if (judge_check(&facts, &run->directory, &run->verdict)) {
        // What was read back while writing stays a fact: a drive that gave
        // it once may give it again.
        add_note(run, "every byte checked was in place, but a piece read back while writing was"
                      " not: the drive does not keep its data reliably");
    }
}

void run_check(CheckRun* run) {
    InputList* inputs = &run->inputs;
    const CheckOptions& options = run->options;
    // From the start: a Ctrl+C while the inputs are opened (a fill
    // directory's record read, its files listed) stops the check as soon as
    // it reads, rather than killing it without a report.
    catch_stop_requests();
    if (!prepare_inputs(inputs, options.inputs, static_cast<size_t>(options.input_count),
                        run->message, sizeof run->message)) {
        fail_run(run, run->message);
        return;
    }
    inputs->read_limit = options.expected_size;
    bool header_given = true;
    if (inputs->directory != nullptr && inputs->record_state == record_read) {
        // The record names the run; files that begin another run say that
        // it is not theirs.
        if (!start_recorded_run(run)) {
            fail_run(run, run->message);
            return;
        }
        header_given = false;
    } else {
        check_start(&run->check);
    }
    CheckEnd end = read_inputs(run, options.expected_size);
    judge_the_check(run, end, header_given);
}
