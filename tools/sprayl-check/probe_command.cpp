#include "probe_command.h"

#include "command_word.h"
#include "drive_lines.h"
#include "exit_code.h"
#include "gather_seed.h"
#include "json_output.h"
#include "output_file.h"
#include "probe.h"
#include "probe_drive.h"
#include "probe_json.h"
#include "probe_report.h"
#include "progress.h"
#include "run_verdict.h"
#include "system.h"
#include "text_sizes.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

void print_line(void* out, const char* line) {
    std::fputs(line, static_cast<std::FILE*>(out));
}

// Where a probe's reports go: the text report, and the report for
// programs where it is asked for (--json).
struct ProbeReports {
    const CheckOptions* options;
    OutputTarget json; // its path nullptr where not asked for
    std::FILE* text;   // standard output, or standard error where the JSON takes that
    YearMonth today;
};

// Writes the report for programs of probe where it is asked for; false
// (it says why on standard error) where it could not be written.
bool write_probe_document(const ProbeReports* reports, const ProbeRecord* probe) {
    if (reports->json.path == nullptr) {
        return true;
    }
    OutputFile* output = new OutputFile();
    char message[1024];
    bool written = output_open(output, &reports->json, message, sizeof message);
    if (written) {
        write_probe_json(probe, output_text, output);
        written = output_close(output, message, sizeof message);
    }
    delete output;
    if (!written) {
        std::fprintf(stderr, "sprayl-check: %s\n", message);
    }
    return written;
}

// A probe that could not run: says why, and writes the report for
// programs with it. drive: nullptr where it could not be opened.
int refuse_probe(const ProbeReports* reports, const ProbeDrive* drive, const char* message) {
    std::fprintf(stderr, "sprayl-check: %s\n", message);
    ProbeRecord probe = {reports->options->probe_device,
                         nullptr,
                         "",
                         false,
                         drive != nullptr ? &drive->reported : nullptr,
                         reports->today,
                         run_failed,
                         message};
    write_probe_document(reports, &probe);
    return run_exit_code(run_failed);
}

// The last part of a path: "sdb" of "/dev/sdb".
const char* last_part(const char* path) {
    const char* part = path;
    for (const char* at = path; *at != '\0'; ++at) {
        if ((*at == '/' || *at == '\\') && at[1] != '\0') {
            part = at + 1;
        }
    }
    return part;
}

// ---- The progress line: the drive, wrapped so that every read and write
// counts its bytes on the line (standard error, when it is a terminal). ----

struct ProgressDrive {
    const ProbeDevice* drive;
    Progress progress;
    uint64_t moved;   // bytes read and written
    const char* path; // the drive's, for the request to replug it
};

bool progress_read(void* context, uint64_t offset, size_t length, unsigned char* buffer) {
    ProgressDrive* wrapped = static_cast<ProgressDrive*>(context);
    const ProbeDevice* drive = wrapped->drive;
    bool ok = drive->read(drive->context, offset, length, buffer);
    wrapped->moved += length;
    progress_tick(&wrapped->progress, wrapped->moved, no_damage_count);
    return ok;
}

void progress_read_many(void* context, const uint64_t* offsets, size_t count, size_t length,
                        unsigned char* buffer, bool* ok) {
    ProgressDrive* wrapped = static_cast<ProgressDrive*>(context);
    const ProbeDevice* drive = wrapped->drive;
    drive->read_many(drive->context, offsets, count, length, buffer, ok);
    wrapped->moved += count * length;
    progress_tick(&wrapped->progress, wrapped->moved, no_damage_count);
}

bool progress_write(void* context, uint64_t offset, size_t length, const unsigned char* data) {
    ProgressDrive* wrapped = static_cast<ProgressDrive*>(context);
    const ProbeDevice* drive = wrapped->drive;
    bool ok = drive->write(drive->context, offset, length, data);
    wrapped->moved += length;
    progress_tick(&wrapped->progress, wrapped->moved, no_damage_count);
    return ok;
}

bool progress_flush(void* context) {
    const ProbeDevice* drive = static_cast<ProgressDrive*>(context)->drive;
    return drive->flush(drive->context);
}

double progress_seconds(void* context) {
    const ProbeDevice* drive = static_cast<ProgressDrive*>(context)->drive;
    return drive->seconds(drive->context);
}

// Asks the user on standard error to unplug the drive and plug it in
// again, and waits for it (the system layer finds it by its identity).
bool progress_replug(void* context, const char* why) {
    ProgressDrive* wrapped = static_cast<ProgressDrive*>(context);
    const ProbeDevice* drive = wrapped->drive;
    std::fprintf(stderr,
                 "\nsprayl-check: %s: unplug %s, wait a moment and plug it in again (Ctrl+C"
                 " stops the probe)\n",
                 why, wrapped->path);
    bool back = drive->replug(drive->context, why);
    std::fprintf(stderr, "sprayl-check: %s\n",
                 back ? "the drive is back" : "the drive did not come back");
    return back;
}

// The drive, its reads and writes shown on the progress line; the user is
// asked for a replug only where replug says so and the system can.
ProbeDevice with_progress(const ProbeDevice* drive, const char* path, bool replug,
                          ProgressDrive* wrapped) {
    *wrapped = {drive, {}, 0, path};
    progress_start(&wrapped->progress, "read and written", 0);
    return {wrapped,
            drive->size,
            drive->sector_size,
            progress_read,
            progress_write,
            progress_flush,
            progress_seconds,
            replug && drive->replug != nullptr ? progress_replug : nullptr,
            drive->read_many != nullptr ? progress_read_many : nullptr};
}

// ---- The probe. ----

// Intact: the drive holds what it claims; damaged: it does not, or not the
// same from one look to the next; interrupted: stopped on request
// (everything written back); failed: anything else: refused, stopped by the
// backup or the drive, or the data not all written back. Its exit code is
// the outcome's, as for a check.
RunOutcome probe_outcome(const ProbeResult* result, bool saved) {
    // A drive that turned read-only or stopped answering past what it
    // holds is a fake, whether or not its data could be written back yet
    // (the report says how).
    bool event = result->end == probe_finished &&
                 (result->past == past_read_only || result->past == past_gone);
    if (saved && !result->restored && !event) {
        return run_failed;
    }
    switch (result->end) {
    case probe_finished:
        return result->past == past_nothing && !result->unstable ? run_intact : run_damaged;
    case probe_stopped_by_request:
        return run_interrupted;
    default:
        return run_failed;
    }
}

// The probe's own run: a fresh one, as sprayl seeds it, past its header.
GeneratorState fresh_run() {
    GeneratorState seed;
    gather_seed(&seed);
    for (int i = 0; i < 4; ++i) {
        next_word(&seed);
    }
    return seed;
}

// Writes the reports of a probe of drive that ran, after removing its
// backup where everything was put back: the report for programs, then the
// text report; returns the exit code.
int report_probe(const ProbeReports* reports, const ProbeDrive* drive, const ProbeResult* result,
                 const BackupFile* backup, bool closed, const char* message) {
    const char* path = backup != nullptr ? backup->path.c_str() : "";
    bool removed = backup != nullptr && result->restored && remove_file(path) == 0;
    RunOutcome outcome = probe_outcome(result, backup != nullptr);
    const char* device = reports->options->probe_device;
    ProbeRecord probe = {device,           result,         path,    removed,
                         &drive->reported, reports->today, outcome, message};
    bool documented = write_probe_document(reports, &probe);
    write_probe_report(result, device, path, removed, print_line, reports->text,
                       identity_lines(&drive->reported, reports->today).c_str());
    std::fflush(reports->text);
    if (message[0] != '\0') {
        std::fprintf(stderr, "sprayl-check: %s\n", message);
    }
    if (!closed && !result->restored) {
        std::fprintf(stderr, "sprayl-check: the backup %s may not be whole: closing it failed\n",
                     path);
    }
    return run_exit_code(documented ? outcome : run_failed);
}

// Probes the open drive, its saves going to backup (nullptr: --destructive).
int probe_open_drive(const ProbeReports* reports, const ProbeDrive* drive, BackupFile* backup) {
    ProbeOptions probe = {fresh_run(), drive->identity.c_str(), backup == nullptr, &stop_requested};
    catch_stop_requests();
    ProgressDrive wrapped;
    // A replug needs someone at the terminal to do it.
    bool replug = !reports->options->no_replug && stdin_is_terminal() && stderr_is_terminal();
    ProbeDevice device =
        with_progress(&drive->device, reports->options->probe_device, replug, &wrapped);
    ProbeResult result;
    char message[1024] = "";
    BackupSink none = {};
    probe_drive(&device, backup != nullptr ? &backup->sink : &none, &probe, &result, message,
                sizeof message);
    progress_end(&wrapped.progress, wrapped.moved, no_damage_count);
    bool closed = backup == nullptr || close_backup_file(backup);
    if (result.end == probe_refused) {
        // Nothing was written, to the drive or to the backup (made empty).
        if (backup != nullptr) {
            remove_file(backup->path.c_str());
        }
        return refuse_probe(reports, drive, message);
    }
    return report_probe(reports, drive, &result, backup, closed, message);
}

// ---- A backup left by an earlier probe of the same drive. ----

struct BackupSearch {
    std::string folder; // "" for the current one
    const char* chosen; // the name this probe's backup would take
    const ProbeDrive* drive;
    std::string found; // the first backup of the drive, or ""
};

bool ends_with(const char* name, const char* end) {
    size_t length = std::strlen(name), end_length = std::strlen(end);
    return length >= end_length && std::strcmp(name + length - end_length, end) == 0;
}

// Whether the entry name of the folder is a backup of the drive searched
// for. Only names a backup takes are read: those ending in .backup, and
// the name chosen with --backup.
void look_for_backup(const char* name, void* context) {
    BackupSearch* search = static_cast<BackupSearch*>(context);
    if (!search->found.empty() ||
        (!ends_with(name, ".backup") && std::strcmp(name, search->chosen) != 0)) {
        return;
    }
    std::string path = search->folder + name;
    std::vector<unsigned char> bytes;
    char message[512];
    BackupHeader header;
    FileIdentity file;
    int error = 0;
    // Regular files alone: a pipe of that name would hold the read up.
    if (file_identity(path.c_str(), &file, &error) && file.kind == file_kind_regular &&
        read_backup_file(path.c_str(), backup_header_limit, &bytes, message, sizeof message) &&
        parse_backup_header(bytes.data(), bytes.size(), &header, message, sizeof message) &&
        backup_names_drive(&header, &search->drive->device, search->drive->identity.c_str())) {
        search->found = path;
    }
}

// Refuses (false with message) a probe of drive when the folder of the
// backup path holds a backup of the same drive: an earlier probe's that
// was not restored (it was killed, or its restore failed). A new probe
// would save the earlier one's data as the user's, and the user's own
// would be in the old backup alone.
bool no_earlier_backup(const char* backup_path, const ProbeDrive* drive,
                       const CheckOptions* options, char* message, size_t capacity) {
    char folder[path_capacity];
    parent_directory(backup_path, folder, sizeof folder);
    const char* chosen = last_part(backup_path);
    // A bare name's folder is the current one, and its backups go by bare names too.
    std::string prefix = chosen == backup_path ? "" : folder;
    if (!prefix.empty() && prefix.back() != '/' && prefix.back() != '\\') {
        prefix += '/';
    }
    BackupSearch search = {prefix, chosen, drive, ""};
    int error = 0;
    list_directory(folder, look_for_backup, &search, &error);
    if (search.found.empty()) {
        return true;
    }
    std::snprintf(message, capacity,
                  "%s holds an earlier probe's backup of this drive, not restored: restore it"
                  " first with: sprayl-check --restore %s %s%s",
                  search.found.c_str(), command_word(search.found, command_shell()).c_str(),
                  command_word(options->probe_device, command_shell()).c_str(),
                  options->file_as_drive ? " --file-as-drive" : "");
    return false;
}

} // namespace

void default_backup_name(const char* device, char* name, size_t capacity) {
    std::time_t now = std::time(nullptr);
    char stamp[32] = "";
    std::tm* local = std::localtime(&now);
    if (local != nullptr) {
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", local);
    }
    char part[64];
    std::snprintf(part, sizeof part, "%s", last_part(device));
    for (char* c = part; *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\' || *c == ':') {
            *c = '-';
        }
    }
    std::snprintf(name, capacity, "sprayl-probe-%s-%s.backup", part, stamp);
}

namespace {

// The reports of a probe as options ask for them; false with message where
// the report for programs may not be written where asked (before anything
// is read or written). backup: the backup's path, "" for none.
bool start_probe_reports(const CheckOptions* options, const char* backup, ProbeReports* reports,
                         char* message, size_t capacity) {
    *reports = {
        options, {"--json", "JSON report", options->json_path, is_run_json}, stdout, this_month()};
    const char* const reads[] = {options->probe_device, backup};
    if (options->json_path != nullptr && std::strcmp(options->json_path, "-") == 0) {
        reports->text = stderr;
    }
    // The backup is made later: no file tells yet that the two are one.
    if (options->json_path != nullptr && std::strcmp(options->json_path, backup) == 0) {
        std::snprintf(message, capacity,
                      "refusing to write the JSON report to \"%s\": the probe saves the drive's"
                      " data there",
                      backup);
        return false;
    }
    return outputs_allowed(&reports->json, 1, reads, backup[0] != '\0' ? 2 : 1, message, capacity);
}

} // namespace

int run_probe_command(const CheckOptions* options) {
    const char* device = options->probe_device;
    char message[1024] = "";
    char name[path_capacity] = "";
    if (options->backup_path != nullptr) {
        std::snprintf(name, sizeof name, "%s", options->backup_path);
    } else if (!options->destructive) {
        default_backup_name(device, name, sizeof name);
    }
    ProbeReports reports;
    if (!start_probe_reports(options, name, &reports, message, sizeof message)) {
        std::fprintf(stderr, "sprayl-check: %s\n", message);
        return exit_unverifiable;
    }
    ProbeDrive drive;
    if (!open_probe_drive(device, options->file_as_drive, &drive, message, sizeof message)) {
        return refuse_probe(&reports, nullptr, message);
    }
    if (options->destructive) {
        std::fprintf(stderr,
                     "sprayl-check: --destructive: what the probe overwrites on %s is"
                     " not saved and will be lost\n",
                     device);
        int code = probe_open_drive(&reports, &drive, nullptr);
        close_probe_drive(&drive);
        return code;
    }
    BackupFile backup;
    if (!no_earlier_backup(name, &drive, options, message, sizeof message) ||
        !create_backup_file(name, &drive, device, &backup, message, sizeof message)) {
        int code = refuse_probe(&reports, &drive, message);
        close_probe_drive(&drive);
        return code;
    }
    int code = probe_open_drive(&reports, &drive, &backup);
    close_probe_drive(&drive);
    return code;
}

// ---- The restore. ----

namespace {

// Intact: everything restored; unconfirmed: everything the backup names,
// but it cannot show that it names every place the probe wrote; damaged:
// some of it not (the report names what); failed: the drive failed part
// way.
RunOutcome restore_outcome(RestoreVerdict verdict) {
    switch (verdict) {
    case restored_all:
        return run_intact;
    case restored_all_it_names:
        return run_unconfirmed;
    case restored_partly:
        return run_damaged;
    case restore_failed:
        break;
    }
    return run_failed;
}

int refuse_restore(const char* message) {
    std::fprintf(stderr, "sprayl-check: %s\n", message);
    return exit_unverifiable;
}

} // namespace

int run_restore_command(const CheckOptions* options) {
    const char* device = options->inputs[0];
    const char* path = options->restore_backup;
    char message[1024] = "";
    std::vector<unsigned char> bytes;
    if (!read_backup_file(path, SIZE_MAX, &bytes, message, sizeof message)) {
        return refuse_restore(message);
    }
    BackupContents backup;
    char why[512];
    if (!parse_backup(bytes.data(), bytes.size(), &backup, why, sizeof why)) {
        std::snprintf(message, sizeof message, "%s: %s", path, why);
        return refuse_restore(message);
    }
    ProbeDrive drive;
    if (!open_probe_drive(device, options->file_as_drive, &drive, message, sizeof message)) {
        return refuse_restore(message);
    }
    ProgressDrive wrapped;
    ProbeDevice wrapped_device = with_progress(&drive.device, device, false, &wrapped);
    RestoreOutcome outcome;
    bool done = restore_from_backup(&wrapped_device, drive.identity.c_str(), &backup, &outcome,
                                    message, sizeof message);
    progress_end(&wrapped.progress, wrapped.moved, no_damage_count);
    close_probe_drive(&drive);
    if (!done) {
        return refuse_restore(message);
    }
    RestoreVerdict verdict = restore_verdict(&backup, &outcome);
    bool removed = verdict == restored_all && remove_file(path) == 0;
    write_restore_report(&backup, &outcome, path, removed, print_line, stdout);
    return run_exit_code(restore_outcome(verdict));
}
