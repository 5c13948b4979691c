// The probe on Windows: not yet. How a whole drive would go is in
// doc/probe.md: the drive opened as \\.\PhysicalDriveN, its size from
// IOCTL_DISK_GET_LENGTH_INFO, its volumes locked and dismounted
// (FSCTL_LOCK_VOLUME, FSCTL_DISMOUNT_VOLUME), the system disk refused. A
// regular file standing for the drive (--file-as-drive) needs only the
// file calls: CreateFileW, ReadFile and WriteFile at an OVERLAPPED offset,
// FlushFileBuffers, and for the backup CREATE_NEW.
#include "probe_drive.h"

#include <cstdio>

namespace {

const char* const probe_unavailable =
    "--probe is not available on Windows yet: use --fill DIR on the drive's file system";

bool unavailable(char* message, size_t capacity) {
    std::snprintf(message, capacity, "%s", probe_unavailable);
    return false;
}

} // namespace

bool open_probe_drive(const char*, bool, ProbeDrive* drive, char* message, size_t capacity) {
    *drive = {};
    return unavailable(message, capacity);
}

void close_probe_drive(ProbeDrive* drive) {
    drive->device.context = nullptr;
}

bool create_backup_file(const char*, const ProbeDrive*, const char*, BackupFile* backup,
                        char* message, size_t capacity) {
    *backup = {};
    return unavailable(message, capacity);
}

bool close_backup_file(BackupFile* backup) {
    backup->sink.context = nullptr;
    return true;
}

bool read_backup_file(const char*, std::vector<unsigned char>* bytes, char* message,
                      size_t capacity) {
    bytes->clear();
    return unavailable(message, capacity);
}
