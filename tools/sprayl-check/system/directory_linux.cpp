// What became of a directory held open, on Linux: whether its file system
// is still mounted and not shut down (from /proc/self/mountinfo), and
// whether the device under it still answers. The rest of the directory
// held open is in directory_posix.cpp.
#include "system.h"

#include "descriptor_posix.h"
#include "mounts_linux.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// Whether the comma-separated options hold option.
bool has_option(const char* options, const char* option) {
    size_t length = std::strlen(option);
    for (const char* at = options; *at != '\0';) {
        size_t field = std::strcspn(at, ",");
        if (field == length && std::strncmp(at, option, length) == 0) {
            return true;
        }
        at += field + (at[field] == ',' ? 1 : 0);
    }
    return false;
}

// Whether a read of 4 KiB at offset of fd, around the cache,
// answers; *error says why not.
bool read_answers(int fd, unsigned char* buffer, off_t offset, int* error) {
    if (pread(fd, buffer, 4096, offset) >= 0 || errno == EINVAL) {
        return true;
    }
    *error = errno;
    return false;
}

// Whether the block device at source answers a read of its first sector
// or of its last 4 KiB around the cache; *error says why not. Both: a
// read around the cache first writes back what the cache holds there, and
// a drive that turned read-only fails that for the file system's own
// first sectors while it answers reads. A device that cannot be opened for
// want of rights tells nothing and counts as answering.
bool device_answers(const char* source, int* error) {
    if (std::strncmp(source, "/dev/", 5) != 0) {
        return true;
    }
    int fd = open(source, O_RDONLY | O_CLOEXEC | O_DIRECT);
    if (fd < 0) {
        // A drive unplugged takes its device node with it.
        *error = errno;
        return errno != ENOENT && errno != ENXIO && errno != ENODEV;
    }
    static unsigned char* sector = aligned_buffer(4096);
    off_t end = lseek(fd, 0, SEEK_END);
    bool answers = sector == nullptr || read_answers(fd, sector, 0, error) ||
                   (end >= 8192 && read_answers(fd, sector, end / 4096 * 4096 - 4096, error));
    close(fd);
    return answers;
}

} // namespace

DirectoryState directory_state(const OpenDirectory* directory, int* error) {
    int fd = descriptor(directory->handle);
    struct stat status;
    // fstatvfs too: a FUSE file system answers fstat from its cache for a
    // while after its daemon is gone, but never statfs.
    struct statvfs room;
    if (fstat(fd, &status) != 0 || fstatvfs(fd, &room) != 0) {
        *error = errno;
        return directory_unreachable;
    }
    if (status.st_nlink == 0) {
        return directory_removed;
    }
    // Where mountinfo cannot be read, nothing tells: taken as mounted, with
    // no options and no device to ask.
    MountLine mount = {};
    if (find_mount(&status.st_dev, 1, &mount) == mount_not_found) {
        return directory_unmounted;
    }
    struct stat at_path;
    int found = stat(directory->path, &at_path) == 0 ? 0 : errno;
    if (found != 0 && found != ENOENT && found != ENOTDIR) {
        // The file system answers the handle from its cache, but not the
        // path: a FUSE daemon gone.
        *error = found;
        return directory_unreachable;
    }
    if (found != 0 || at_path.st_dev != status.st_dev || at_path.st_ino != status.st_ino) {
        return directory_moved;
    }
    if (has_option(mount.options, "shutdown")) {
        return directory_shut_down;
    }
    if (!device_answers(mount.source, error)) {
        return directory_drive_gone;
    }
    return directory_in_place;
}
