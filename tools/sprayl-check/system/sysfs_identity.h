// What a drive says it is, read from a sysfs tree (Linux): the vendor,
// model and revision of its SCSI or NVMe device, the IDs and strings of the
// USB device it sits behind, and an SD or MMC card's registers. The tree's
// root is a parameter, "/sys" for the system's own, so that tests can give
// made-up trees of drives they do not have.
#pragma once

#include "drive_identity.h"

// The identity of the block device name (sdb, mmcblk0, nvme0n1) in the
// tree at root. Not known (identity->known false) where the tree has no
// such device or tells nothing of it (a loop device).
void read_drive_identity(const char* root, const char* name, DriveIdentity* identity);

// The identity of the disk that holds the block device major:minor: the
// device itself, or the disk of a partition.
void read_disk_identity_of(const char* root, unsigned major, unsigned minor,
                           DriveIdentity* identity);
