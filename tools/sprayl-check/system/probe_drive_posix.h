// The probe's drive on Linux: a whole block device opened for itself alone,
// after the checks that keep it off anything in use (probe_drive.h). Regular
// files only when asked (for tests). What the tests call besides:
#pragma once

#include "probe_drive.h"

#include <cstddef>
#include <string>

// The first mount point in mountinfo (the text of /proc/self/mountinfo) of
// a file system on one of the devices (major:minor strings, as in
// /sys/class/block/NAME/dev); empty when none.
std::string mounted_from(const char* mountinfo, const std::string* devices, size_t count);
