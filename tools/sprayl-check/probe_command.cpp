#include "probe_command.h"

#include "exit_code.h"
#include "gather_seed.h"
#include "probe_drive.h"
#include "probe_report.h"
#include "system.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

void print_line(void*, const char* line) {
    std::fputs(line, stdout);
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

int run_probe_command(const CheckOptions* options) {
    if (probe_unavailable != nullptr) {
        std::fprintf(stderr, "sprayl-check: %s\n", probe_unavailable);
        return exit_unverifiable;
    }
    char backup[4096] = "";
    if (!options->destructive) {
        if (options->backup_path != nullptr) {
            std::snprintf(backup, sizeof backup, "%s", options->backup_path);
        } else {
            default_backup_name(options->probe_device, backup, sizeof backup);
        }
    } else {
        std::fprintf(stderr, "sprayl-check: --destructive: what the probe overwrites on %s is"
                             " not saved and will be lost\n",
                     options->probe_device);
    }
    // The probe's own run: a fresh one, as sprayl seeds it, past its header.
    ProbeOptions probe = {};
    GeneratorState seed;
    gather_seed(&seed);
    for (int i = 0; i < 4; ++i) {
        next_word(&seed);
    }
    probe.run = seed;
    probe.destructive = options->destructive;
    probe.stop_requested = &stop_requested;
    catch_stop_requests();
    ProbeResult result = {}; // what a refused probe leaves: nothing probed
    char message[1024] = "";
    bool finished = run_probe(options->probe_device, backup, &probe, options->file_as_drive,
                              &result, message, sizeof message);
    if (!finished && result.claimed_bytes == 0) {
        // Refused, or the drive or backup could not be opened: nothing was written.
        std::fprintf(stderr, "sprayl-check: %s\n", message);
        return exit_unverifiable;
    }
    bool removed = false;
    if (result.restored && backup[0] != '\0') {
        removed = remove_file(backup) == 0;
    }
    write_probe_report(&result, options->probe_device, backup, removed, print_line, nullptr);
    std::fflush(stdout);
    if (message[0] != '\0') {
        std::fprintf(stderr, "sprayl-check: %s\n", message);
    }
    if (!result.restored && backup[0] != '\0') {
        std::fprintf(stderr,
                     "sprayl-check: the drive's data is in %s: put it back with\n"
                     "  sprayl-check --restore %s %s\n",
                     backup, backup, options->probe_device);
    }
    if (result.interrupted) {
        return exit_interrupted;
    }
    if (!finished || (!result.restored && backup[0] != '\0')) {
        return exit_unverifiable;
    }
    return result.past == past_nothing ? exit_intact : exit_differs;
}

int run_restore_command(const CheckOptions* options) {
    if (probe_unavailable != nullptr) {
        std::fprintf(stderr, "sprayl-check: %s\n", probe_unavailable);
        return exit_unverifiable;
    }
    const char* device = options->inputs[0];
    RestoreOutcome outcome;
    char message[1024] = "";
    bool restored = run_restore(device, options->restore_backup, options->file_as_drive,
                                &outcome, message, sizeof message);
    std::printf("restored: %" PRIu64 " sectors written back, %" PRIu64
                " holding the probe's own data left out, %" PRIu64 " read back otherwise\n",
                outcome.sectors_written, outcome.sectors_skipped, outcome.sectors_differing);
    std::printf("result: %s\n", restored ? "restored" : "NOT RESTORED");
    std::fflush(stdout);
    if (!restored) {
        std::fprintf(stderr, "sprayl-check: %s\n", message);
        return exit_unverifiable;
    }
    return exit_intact;
}
