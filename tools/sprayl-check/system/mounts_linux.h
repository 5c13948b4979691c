// The mounts of Linux, as /proc/self/mountinfo lists them: one parser of
// its lines for every part of the system layer that asks which file system
// is mounted where, and what kind it is.
#pragma once

#include "file_systems.h"

#include <cstddef>
#include <string>
#include <sys/types.h>

// One line of /proc/self/mountinfo, its fields with the escapes that the
// kernel writes for odd characters (\040 for a space) undone.
struct MountLine {
    dev_t device;                    // the file system's device number
    char mount_point[path_capacity]; // where it is mounted
    char type[64];                   // "ext4", "fuseblk", "nfs4"
    char source[path_capacity];      // the device or share it is mounted from
    char options[1024];              // its own, comma-separated ("rw,errors=remount-ro")
};

// Reads one line ("36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 - ext3
// /dev/root rw"). False when the line is not of that form.
bool parse_mount_line(const char* line, MountLine* mount);

// The file system type of a mount, sorted.
FileSystemKind file_system_kind(const char* type);

// The first mount in mountinfo (the text of /proc/self/mountinfo) of a file
// system on one of devices[0..count), into *mount; false when there is
// none.
bool find_mount_in(const char* mountinfo, const dev_t* devices, size_t count, MountLine* mount);

// What find_mount found.
enum MountSearch {
    mount_found,
    mount_not_found,
    mounts_unknown, // /proc/self/mountinfo cannot be read
};

// find_mount_in over this process's /proc/self/mountinfo.
MountSearch find_mount(const dev_t* devices, size_t count, MountLine* mount);

// The whole of a small file of the kernel's (/proc/self/mountinfo,
// /proc/swaps); empty when it cannot be read.
std::string kernel_file_text(const char* path);
