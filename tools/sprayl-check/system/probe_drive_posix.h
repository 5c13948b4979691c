// The probe's drive on Linux: a whole block device opened for itself alone,
// after the checks that keep it off anything in use. Regular files only when
// asked (for tests).
#pragma once

#include "probe_drive.h"

#include <cstddef>
#include <cstdint>
#include <string>

struct PosixDrive {
    int fd;
    uint64_t size;
    uint32_t sector;
    std::string name;       // the kernel's name (sdb, loop3), or the file's path
    std::string identity;   // name, size and what the system says it is
    unsigned char* aligned; // a bounce buffer for O_DIRECT
};

// Opens path for the probe: O_RDWR | O_DIRECT | O_EXCL. Refuses (false with
// message) what is not a block device (a regular file only with
// allow_regular_file), a partition (naming its disk), a disk with a mounted
// or swapped-on partition or one held by another device (naming it), one
// in use, a read-only one, and one smaller than the probe needs.
bool open_probe_drive(const char* path, bool allow_regular_file, PosixDrive* drive, char* message,
                      size_t capacity);
void close_probe_drive(PosixDrive* drive);
ProbeDevice posix_probe_device(PosixDrive* drive);

// The first mount point in mountinfo (the text of /proc/self/mountinfo) of
// a file system on one of the devices (major:minor strings, as in
// /sys/class/block/NAME/dev); empty when none.
std::string mounted_from(const char* mountinfo, const std::string* devices, size_t count);

