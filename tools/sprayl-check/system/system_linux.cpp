// sprayl-check's system layer, the parts that only Linux has: which file
// system holds a file (from /proc/self/mountinfo), a block device's cache
// dropped (BLKFLSBUF) and its size (BLKGETSIZE64), what the drive under a
// directory says it is (sysfs_identity_linux.cpp reads it), and where a
// file's bytes lie on its drive (FIEMAP). The rest of the POSIX layer is in
// system_posix.cpp and directory_posix.cpp.
#include "system.h"

#include "descriptor_posix.h"
#include "mounts_linux.h"
#include "sysfs_identity.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// The mount of the file system that holds the open file fd; false where
// mountinfo does not list it.
bool mount_of(int fd, MountLine* mount) {
    struct stat status;
    return fstat(fd, &status) == 0 && find_mount(&status.st_dev, 1, mount) == mount_found;
}

// The daemon of a FUSE file system on a block device reads the device
// through the device's page cache, which still holds what was just
// written: write it back and drop it.
ReadMethod drop_device_cache(const char* device, char* why, size_t capacity) {
    int fd = open(device, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::snprintf(why, capacity, "cannot open %s to drop its cache: %s", device,
                      std::strerror(errno));
        return read_device_cached;
    }
    ReadMethod method = read_device_flushed;
    if (ioctl(fd, BLKFLSBUF, 0) != 0) {
        int error = errno;
        method = read_device_advised;
        if (fdatasync(fd) != 0 || posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) != 0) {
            std::snprintf(why, capacity, "cannot drop the cache of %s: %s", device,
                          std::strerror(error));
            method = read_device_cached;
        }
    }
    close(fd);
    return method;
}

} // namespace

// ---- Reading ----

void reach_the_drive(OpenInput* input, char* why, size_t capacity) {
    if (!input->seekable) {
        return;
    }
    MountLine mount;
    if (!mount_of(descriptor(input->handle), &mount)) {
        return;
    }
    switch (file_system_kind(mount.type)) {
    case file_system_local:
        input->in_memory =
            std::strcmp(mount.type, "tmpfs") == 0 || std::strcmp(mount.type, "ramfs") == 0;
        return;
    case file_system_network:
        std::snprintf(why, capacity, "\"%s\" is a network file system (%s)", mount.source,
                      mount.type);
        input->method = read_network;
        return;
    case file_system_fuse:
        std::snprintf(why, capacity, "\"%s\" is a FUSE file system (%s) with no device to read",
                      mount.source, mount.type);
        input->method = read_fuse_unbacked;
        return;
    case file_system_fuse_device:
        input->method = drop_device_cache(mount.source, why, capacity);
        return;
    }
}

// ---- Writing ----

uint64_t drive_size(const char* directory) {
    uint64_t size = 0;
    int fd = open(directory, O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    if (fd >= 0) {
        MountLine mount;
        bool found = mount_of(fd, &mount);
        close(fd);
        int device = found && std::strncmp(mount.source, "/dev/", 5) == 0
                         ? open(mount.source, O_RDONLY | O_CLOEXEC)
                         : -1;
        if (device >= 0 && ioctl(device, BLKGETSIZE64, &size) != 0) {
            size = 0;
        }
        if (device >= 0) {
            close(device);
        }
    }
    struct statvfs info;
    if (size == 0 && statvfs(directory, &info) == 0) {
        size = static_cast<uint64_t>(info.f_blocks) * static_cast<uint64_t>(info.f_frsize);
    }
    return size;
}

void directory_drive_identity(const char* directory, DriveIdentity* identity) {
    *identity = {};
    int fd = open(directory, O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return;
    }
    // A file system whose device number is not its device's (FUSE on a
    // block device, btrfs) names the device it is mounted from.
    dev_t device = status.st_dev;
    MountLine mount;
    struct stat source;
    if (mount_of(fd, &mount) && std::strncmp(mount.source, "/dev/", 5) == 0 &&
        stat(mount.source, &source) == 0 && S_ISBLK(source.st_mode)) {
        device = source.st_rdev;
    }
    close(fd);
    read_disk_identity_of("/sys", major(device), minor(device), identity);
}

// ---- Where a file lies on its drive ----

int64_t file_extents(const char* path, FileExtent* extents, size_t capacity) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    constexpr unsigned batch = 256;
    alignas(
        fiemap) static unsigned char request_memory[sizeof(fiemap) + batch * sizeof(fiemap_extent)];
    fiemap* request = reinterpret_cast<fiemap*>(request_memory);
    size_t count = 0;
    uint64_t start = 0;
    bool last = false;
    while (!last) {
        std::memset(request_memory, 0, sizeof request_memory);
        request->fm_start = start;
        request->fm_length = FIEMAP_MAX_OFFSET - start;
        request->fm_flags = FIEMAP_FLAG_SYNC;
        request->fm_extent_count = batch;
        if (ioctl(fd, FS_IOC_FIEMAP, request) != 0) {
            close(fd);
            return -1;
        }
        if (request->fm_mapped_extents == 0) {
            break;
        }
        for (unsigned i = 0; i < request->fm_mapped_extents; ++i) {
            const fiemap_extent& extent = request->fm_extents[i];
            // Data whose place the file system does not tell, or that lies
            // inside its own structures, maps to no offset of the drive.
            const uint32_t unplaced = FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC |
                                      FIEMAP_EXTENT_DATA_INLINE | FIEMAP_EXTENT_DATA_TAIL |
                                      FIEMAP_EXTENT_NOT_ALIGNED | FIEMAP_EXTENT_ENCODED;
            if ((extent.fe_flags & unplaced) != 0 || count == capacity) {
                close(fd);
                return -1;
            }
            extents[count++] = {extent.fe_logical, extent.fe_physical, extent.fe_length};
            start = extent.fe_logical + extent.fe_length;
            last = (extent.fe_flags & FIEMAP_EXTENT_LAST) != 0;
        }
    }
    close(fd);
    return static_cast<int64_t>(count);
}
