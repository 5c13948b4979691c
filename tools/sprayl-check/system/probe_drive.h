// The probe's part of the system layer: a whole drive opened for the probe
// alone, after the checks that keep it off anything in use, and a new file
// for its backup. Both are handed out as the plain interfaces of device.h;
// the command line gives them to the probe. The system layer runs no part
// of the probe itself.
//
// On Linux in probe_drive_linux.cpp. On Windows in probe_drive_windows.cpp,
// a regular file standing for the drive only: whole drives are refused
// there, and doc/probe.md says how they would go.
#pragma once

#include "device.h"
#include "drive_identity.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A drive open for the probe. Its device's context is the system's own
// state for it; close it with close_probe_drive.
struct ProbeDrive {
    ProbeDevice device;
    std::string identity;   // names the drive in a backup: its size, model and serial number
    DriveIdentity reported; // what the drive says it is, where the system tells
};

// Opens path for the probe, exclusively. Refuses (false with message) what
// is not a block device (a regular file only with regular_file), a
// partition (naming its disk), a disk with a mounted or swapped-on
// partition or one held by another device (naming it), one in use, a
// read-only one, and one smaller than the probe needs.
bool open_probe_drive(const char* path, bool regular_file, ProbeDrive* drive, char* message,
                      size_t capacity);
void close_probe_drive(ProbeDrive* drive);

// A new file for the probe's backup, and the sink that writes it.
struct BackupFile {
    BackupSink sink; // its context is the system's own state for the file
    std::string path;
};

// Creates path for the backup of drive (opened from drive_path). Refuses
// (false with message, nothing created) a path that names the drive
// itself, anything that exists already (a file of the user's, a link), and
// a file on the drive probed, where the probe would overwrite it.
bool create_backup_file(const char* path, const ProbeDrive* drive, const char* drive_path,
                        BackupFile* backup, char* message, size_t capacity);
// Closes it; false when the system reports that what was written may not
// be safe.
bool close_backup_file(BackupFile* backup);

// A backup file, up to its first limit bytes (SIZE_MAX: the whole of it);
// false with message when it cannot be read.
bool read_backup_file(const char* path, size_t limit, std::vector<unsigned char>* bytes,
                      char* message, size_t capacity);
