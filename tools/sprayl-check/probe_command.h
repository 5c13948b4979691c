// sprayl-check --probe DEVICE and --restore BACKUP DEVICE: the probe's
// sequence of steps on the command line. The system layer opens the drive
// and the backup file; this calls the probe over them.
#pragma once

#include "check_options.h"

#include <cstddef>

// The backup's default name, in the current directory: after the device
// and the time ("sprayl-probe-sdb-20261208-103512.backup").
void default_backup_name(const char* device, char* name, size_t capacity);

// Probes the drive, prints the report and returns the exit code: 0 the
// drive holds what it claims, 1 it does not, 2 refused, stopped by the
// backup or the drive, or the data not all put back, 130 stopped on
// request (after everything was put back).
int run_probe_command(const CheckOptions* options);

// Puts a backup back onto its drive and prints what it did: 0 when the
// backup is whole, every sector was written back and read back as saved
// and none of the probe's data is left where the backup says it wrote; 3
// the same for a backup that cannot show it is whole (version 1); 1 when
// the backup is cut short or damaged, or something is left (the report
// names the ranges); 2 when it was refused (another drive, not a backup)
// or the drive failed.
int run_restore_command(const CheckOptions* options);
