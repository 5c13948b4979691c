// sprayl-check --speed DIR: the speed test of the drive that holds DIR, in
// a scratch file of its own there (drive_speed), and its reports: the text,
// the report for programs (--json) and the chart (--plot).
#pragma once

#include "check_options.h"

// Runs the speed test that options asks for; the exit code.
int run_speed_command(const CheckOptions* options);
