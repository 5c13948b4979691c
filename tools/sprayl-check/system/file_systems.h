// The file systems that stand between a file and the drive that holds it. A
// read around the cache of the file system can still be answered from
// memory: by the page cache of the block device under a FUSE file system
// (exFAT through exfat-fuse, NTFS through ntfs-3g), by a FUSE daemon that
// has no device, or by the server of a network file system.
#pragma once

#include "text_sizes.h"

// The file system that holds an open file, as far as the reading cares.
enum FileSystemKind {
    file_system_local,       // the kernel's own: reads around the cache reach the drive
    file_system_fuse_device, // FUSE on a block device (fuseblk)
    file_system_fuse,        // FUSE without a device of its own
    file_system_network,     // NFS, SMB and the like
};

struct FileSystemInfo {
    FileSystemKind kind;
    char type[64];              // as the system names it ("fuseblk", "nfs4", "NTFS")
    char source[path_capacity]; // the device or share it is mounted from, when known
};
