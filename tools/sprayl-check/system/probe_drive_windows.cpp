// The probe on Windows: not yet. How it would go is in doc/probe.md: the
// drive opened as \\.\PhysicalDriveN, its size from IOCTL_DISK_GET_LENGTH_INFO,
// its volumes locked and dismounted (FSCTL_LOCK_VOLUME, FSCTL_DISMOUNT_VOLUME),
// the system disk refused.
#include "probe_drive.h"

#include <cstdio>

const char* const probe_unavailable =
    "--probe is not available on Windows yet: use --fill DIR on the drive's file system";

bool run_probe(const char*, const char*, const ProbeOptions*, bool, ProbeResult*, char* message,
               size_t capacity) {
    std::snprintf(message, capacity, "%s", probe_unavailable);
    return false;
}

bool run_restore(const char*, const char*, bool, RestoreOutcome*, char* message,
                 size_t capacity) {
    std::snprintf(message, capacity, "%s", probe_unavailable);
    return false;
}
