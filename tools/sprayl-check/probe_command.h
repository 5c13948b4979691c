// sprayl-check --probe DEVICE and --restore BACKUP DEVICE: the probe's
// sequence of steps on the command line, over the system layer's drive.
#pragma once

#include "check_options.h"

#include <cstddef>

// The backup's default name, in the current directory: after the device
// and the time ("sprayl-probe-sdb-20261208-103512.backup").
void default_backup_name(const char* device, char* name, size_t capacity);

// Probes the drive, prints the report and returns the exit code: 0 the
// drive holds what it claims, 1 it does not, 2 refused or could not probe,
// 130 interrupted (after everything was put back).
int run_probe_command(const CheckOptions* options);

// Puts a backup back onto its drive; 0 when every sector was written back
// and read back as saved, 2 otherwise.
int run_restore_command(const CheckOptions* options);
