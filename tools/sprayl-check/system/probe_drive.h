// The probe's part of the system layer: a whole drive opened for the probe
// alone, after the checks that keep it off anything in use, and the backup
// file beside it, flushed to its own storage before each write to the drive.
// On Linux in probe_drive_posix.cpp; on Windows not yet (probe_drive_windows.cpp).
#pragma once

#include "probe.h"

#include <cstddef>

// Whether this system can probe drives; where it cannot, why not.
extern const char* const probe_unavailable;

// Probes the drive at path, its backup written to backup_path (created; it
// must not exist, nor be on the drive) and flushed before each write to
// the drive. Returns false with message as probe_drive does, or when the
// drive or the backup cannot be opened.
bool run_probe(const char* path, const char* backup_path, const ProbeOptions* options,
               bool allow_regular_file, ProbeResult* result, char* message, size_t capacity);

// Writes the sectors a backup holds back onto the drive at path, after
// checking that the backup names that drive.
bool run_restore(const char* path, const char* backup_path, bool allow_regular_file,
                 RestoreOutcome* outcome, char* message, size_t capacity);
