// The fill as a run: what it starts from, the writing, the check of what
// it wrote, and what the drive holds where that check found damage.
#include "check_run.h"

#include "drive_lines.h"
#include "progress.h"
#include "report_text.h"
#include "speed_class.h"

#include <cinttypes>
#include <cstdio>

namespace {

// Where the fill files lie on the drive, as stream offsets; none where the
// file system cannot tell for every file.
DriveMap map_fill_files(FillRun* fill, const char* directory, const uint64_t* starts,
                        uint32_t files) {
    DriveMap map = {fill->stream_extents, 0};
    for (uint32_t i = 0; i < files; ++i) {
        char path[4096];
        fill_file_path(directory, i + 1, path, sizeof path);
        int64_t count = file_extents(path, fill->file_extents, most_extents);
        if (count < 0 || map.count + static_cast<size_t>(count) > most_extents) {
            map.count = 0;
            return map;
        }
        uint64_t file_end = starts[i + 1] - starts[i];
        for (int64_t e = 0; e < count; ++e) {
            const FileExtent& extent = fill->file_extents[e];
            if (extent.file_offset >= file_end) {
                continue;
            }
            uint64_t length = extent.length < file_end - extent.file_offset
                                  ? extent.length
                                  : file_end - extent.file_offset;
            fill->stream_extents[map.count++] = {starts[i] + extent.file_offset,
                                                 extent.drive_offset, length};
        }
    }
    return map;
}

// What the drive holds, from where the damage lies on it, or estimated from
// what came back intact where the file system cannot say where its files
// lie, into fill->drive_verdict; "" where the damage says nothing of the
// drive's size. It stands in for the check's own verdict, which speaks of
// offsets in the stream that the file system placed on the drive as it
// liked.
void find_drive_verdict(CheckRun* run) {
    FillRun* fill = &run->fill;
    fill->drive_verdict[0] = '\0';
    if (run->check.result.outcome != outcome_damaged) {
        return;
    }
    const InputList& inputs = run->inputs;
    DriveMap map =
        map_fill_files(fill, inputs.directory, inputs.starts, static_cast<uint32_t>(inputs.count));
    DriveVerdict found = find_capacity(&run->check.result, &map, drive_size(inputs.directory));
    if (found.finding != drive_says_nothing) {
        fill->capacity = found;
        format_drive_verdict(&found, fill->drive_verdict, sizeof fill->drive_verdict);
    }
}

// The verdict on a drive that turned read-only or stopped answering at a
// write of the fill: what the fill showed it holds, the claim and the
// event, into fill->drive_verdict and the run's verdict (exit 1), never
// intact. checked: the fill files were read back (the drive still
// answers reads); else only what was written and sampled before the
// failed write vouches.
void judge_drive_event(CheckRun* run, bool checked) {
    FillRun* fill = &run->fill;
    const FillOutcome& outcome = fill->outcome;
    uint64_t vouched = checked ? intact_end_of(&run->check.result) : outcome.bytes_before;
    DriveMap map =
        map_fill_files(fill, run->options.fill_directory, fill->work.starts, outcome.files);
    fill->capacity = event_capacity(&map, vouched, fill->start.record.drive_bytes, outcome.event);
    format_drive_verdict(&fill->capacity, fill->drive_verdict, sizeof fill->drive_verdict);
    verdict_drive_event(&run->verdict, fill->drive_verdict);
}

// Readies the fill and writes it; false where the run failed (it says why).
bool write_the_fill(CheckRun* run) {
    const char* directory = run->options.fill_directory;
    FillRun* fill = &run->fill;
    if (!fill_allowed(directory, run->message, sizeof run->message)) {
        return false;
    }
    int error = open_directory(directory, &fill->folder);
    if (error != 0) {
        char text[128];
        error_text(error, text, sizeof text);
        std::snprintf(run->message, sizeof run->message, "cannot list \"%s\": %s", directory, text);
        return false;
    }
    directory_drive_identity(directory, &run->drive);
    catch_stop_requests();
    if (!prepare_fill(&fill->folder, &run->options, &run->new_seed, &run->inputs, &run->check,
                      &fill->start, run->message, sizeof run->message)) {
        return false;
    }
    const FillPlan& plan = fill->start.plan;
    FillRecord& record = fill->start.record;
    Progress progress;
    progress_start(&progress, "written", plan.bytes_there + record.free_bytes);
    progress.rates = &run->write_rates; // the speed profile's
    rates_start(&run->write_rates, rate_stretch_bytes(run->options.file_size), progress.started);
    progress_start_at(&progress, plan.bytes_there);
    run->message[0] = '\0';
    fill->started = true;
    bool filled = fill_directory(&fill->work, &fill->folder, &plan, &fill->start.seed, &record,
                                 &progress, &fill->outcome, run->message, sizeof run->message);
    progress_end(&progress, fill->outcome.bytes, no_damage_count);
    return filled;
}

// What the fill says on standard error once it has written: a message,
// a record it could not write, a piece read back not as written.
void tell_how_the_fill_went(CheckRun* run) {
    const char* directory = run->options.fill_directory;
    const FillOutcome& outcome = run->fill.outcome;
    if (run->message[0] != '\0') {
        std::fprintf(run->messages, "sprayl-check: %s\n", run->message);
    }
    if (outcome.record_error[0] != '\0') {
        std::fprintf(run->messages,
                     "sprayl-check: %s; a later check of \"%s\" cannot tell from it how long"
                     " the fill was\n",
                     outcome.record_error, directory);
    }
    if (outcome.finding.found) {
        explain_finding(run->messages, &outcome, directory, run->options.keep_going);
    }
}

void write_line(void* file, const char* line) {
    std::fputs(line, static_cast<std::FILE*>(file));
}

// The speed classes that the fill's own profile meets: its sustained write
// over the whole drive, after any cliff; random accesses it does not
// measure.
void print_fill_classes(const CheckRun* run) {
    if (run->write_rates.count == 0) {
        return;
    }
    SpeedCliff cliff = table_cliff(&run->write_rates);
    SpeedFigures figures = {sustained_rate(&cliff), table_rate(&run->read_rates),
                            not_measured,           not_measured,
                            not_measured,           not_measured};
    write_cliff_line(&cliff, run->write_rates.noted, write_line, run->report_out);
    write_class_line(&figures, write_line, run->report_out);
}

} // namespace

void run_fill(CheckRun* run) {
    FillRun* fill = &run->fill;
    const FillOutcome& outcome = fill->outcome;
    if (!write_the_fill(run)) {
        fail_run(run, run->message);
        return;
    }
    tell_how_the_fill_went(run);
    run->inputs.directory = run->options.fill_directory;
    if (outcome.interrupted) {
        std::fprintf(run->messages,
                     "sprayl-check: interrupted after %" PRIu64 " bytes in %" PRIu32
                     " files; --resume goes on from there\n",
                     outcome.bytes, outcome.files);
        verdict_interrupted(&run->verdict);
        return;
    }
    if (outcome.files == 0 && outcome.event == past_nothing) {
        fail_run(run, "the file system took no byte of the first fill file");
        return;
    }
    // A drive that stopped answering has nothing to read back, nor one that
    // took no byte.
    if (outcome.event == past_gone || outcome.files == 0) {
        check_start_run(&run->check, &fill->start.seed);
        judge_drive_event(run, false);
        return;
    }
    // Where the directory went away, what is there is not the fill's to check.
    if (outcome.event == past_nothing &&
        directory_gone(&fill->folder, run->message, sizeof run->message)) {
        fail_run(run, run->message);
        return;
    }
    prepare_fill_inputs(&run->inputs, &fill->folder, outcome.files, &fill->start.record);
    check_start_run(&run->check, &fill->start.seed);
    double started = clock_seconds();
    CheckEnd end = read_inputs(run, outcome.bytes);
    // After a fill, damage that says what the drive holds is the verdict.
    find_drive_verdict(run);
    fill->read_seconds = clock_seconds() - started;
    judge_the_check(run, end, false);
    // A drive that turned read-only keeps what it took; where the check
    // found damage, the file system broke on a drive that lost data, and
    // the damage is the verdict.
    if (outcome.event != past_nothing && !check_found_damage(&run->check.result)) {
        judge_drive_event(run, true);
    }
}

void print_fill_lines(const CheckRun* run) {
    const FillOutcome* outcome = &run->fill.outcome;
    std::FILE* out = run->report_out;
    char size[32];
    char write_rate[32];
    char read_rate[32];
    format_size(outcome->bytes, size, sizeof size);
    // The drive's rate: over the writing, flushing and reading back, without
    // the time this computer took to make the stream.
    double drive_seconds = outcome->seconds - outcome->generating_seconds;
    format_rate(bytes_per_second(outcome->bytes_this_run, drive_seconds), write_rate,
                sizeof write_rate);
    format_rate(bytes_per_second(run->check.result.bytes_read, run->fill.read_seconds), read_rate,
                sizeof read_rate);
    if (outcome->bytes_this_run == outcome->bytes) {
        std::fprintf(out, "written: %" PRIu64 " bytes (%s) in %" PRIu32 " files, %s\n",
                     outcome->bytes, size, outcome->files, write_rate);
    } else {
        char this_run[32];
        format_size(outcome->bytes_this_run, this_run, sizeof this_run);
        std::fprintf(out,
                     "written: %" PRIu64 " bytes (%s) in %" PRIu32 " files, %" PRIu64
                     " bytes (%s) of them by this run, %s\n",
                     outcome->bytes, size, outcome->files, outcome->bytes_this_run, this_run,
                     write_rate);
    }
    // Where making the stream took longer than the drive's part, this
    // computer set the pace rather than the drive.
    if (outcome->generating_seconds > drive_seconds) {
        char making_rate[32];
        format_rate(bytes_per_second(outcome->bytes_this_run, outcome->generating_seconds),
                    making_rate, sizeof making_rate);
        std::fprintf(out, "limited by this computer: %s\n", making_rate);
    }
    std::fprintf(out, "read back while writing: %" PRIu64 " pieces of %u KiB, %.2f s of %.2f s\n",
                 outcome->pieces_read, static_cast<unsigned>(sample_piece_bytes / 1024),
                 outcome->read_back_seconds, outcome->seconds);
    std::fprintf(out, "read back: %s\n", read_rate);
    print_identity_lines(out, &run->drive, run->today);
    print_fill_classes(run);
}
