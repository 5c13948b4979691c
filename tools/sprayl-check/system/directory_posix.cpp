// sprayl-check's system layer on POSIX systems: a directory held open, its
// files made, cut, renamed and removed through its descriptor (the *at
// calls), and what became of it.
#include "system.h"

#include "descriptor_posix.h"
#include "file_systems.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

int directory_descriptor(const OpenDirectory* directory) {
    return descriptor(directory->handle);
}

// The line of /proc/self/mountinfo for the file system with device number
// device: its source and its file system's own options (the last field).
// False when none is mounted.
bool find_mount(dev_t device, char* source, size_t source_capacity, char* options,
                size_t options_capacity) {
    std::FILE* mounts = std::fopen("/proc/self/mountinfo", "re");
    if (mounts == nullptr) {
        return true; // nothing to tell by: taken as mounted
    }
    char line[8192];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, mounts) != nullptr) {
        unsigned major_number;
        unsigned minor_number;
        char type[64];
        found = parse_mount_line(line, &major_number, &minor_number, type, sizeof type, source,
                                 source_capacity) &&
                major_number == major(device) && minor_number == minor(device);
    }
    std::fclose(mounts);
    if (found) {
        const char* last = std::strrchr(line, ' ');
        std::snprintf(options, options_capacity, "%s", last != nullptr ? last + 1 : "");
        options[std::strcspn(options, "\n")] = '\0';
    }
    return found;
}

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

// Whether the block device at source answers a read of its first sector
// around the cache; *error says why not. A device that cannot be opened
// for want of rights tells nothing and counts as answering.
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
    bool answers = sector == nullptr || pread(fd, sector, 4096, 0) >= 0 || errno == EINVAL;
    if (!answers) {
        *error = errno;
    }
    close(fd);
    return answers;
}

} // namespace

int open_directory(const char* path, OpenDirectory* directory) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    struct stat status;
    if (fstat(fd, &status) != 0) {
        int error = errno;
        close(fd);
        return error;
    }
    *directory = {fd + 1, static_cast<uint64_t>(status.st_dev),
                  static_cast<uint64_t>(status.st_ino), path};
    return 0;
}

void close_directory(OpenDirectory* directory) {
    if (directory->handle != 0) {
        close(directory_descriptor(directory));
    }
    directory->handle = 0;
}

bool list_open_directory(const OpenDirectory* directory,
                         void (*each)(const char* name, void* context), void* context, int* error) {
    int fd = dup(directory_descriptor(directory));
    DIR* listing = fd >= 0 ? fdopendir(fd) : nullptr;
    if (listing == nullptr) {
        *error = errno;
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    rewinddir(listing); // the copy shares its place with the directory's handle
    errno = 0;
    while (dirent* entry = readdir(listing)) {
        each(entry->d_name, context);
    }
    *error = errno;
    closedir(listing);
    return *error == 0;
}

bool status_in(const OpenDirectory* directory, const char* name, PathStatus* status, int* error) {
    struct stat info;
    if (fstatat(directory_descriptor(directory), name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        *error = errno;
        return false;
    }
    status->is_directory = S_ISDIR(info.st_mode);
    status->size = S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0;
    return true;
}

intptr_t create_file_in(const OpenDirectory* directory, const char* name, int* error) {
    int at = directory_descriptor(directory);
    int fd = openat(at, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = errno;
        return 0;
    }
    // Made by this call (O_EXCL), so it may go again where it is wrong.
    struct stat status;
    int failure = fstat(fd, &status) != 0                                     ? errno
                  : static_cast<uint64_t>(status.st_dev) != directory->volume ? EXDEV
                                                                              : 0;
    if (failure != 0) {
        close(fd);
        unlinkat(at, name, 0);
        *error = failure;
        return 0;
    }
    return fd + 1;
}

intptr_t open_for_writing_in(const OpenDirectory* directory, const char* name, int* error) {
    int fd = openat(directory_descriptor(directory), name, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return 0;
    }
    return fd + 1;
}

int cut_file(intptr_t file, uint64_t size) {
    return ftruncate(descriptor(file), static_cast<off_t>(size)) == 0 ? 0 : errno;
}

int remove_file_in(const OpenDirectory* directory, const char* name) {
    return unlinkat(directory_descriptor(directory), name, 0) == 0 || errno == ENOENT ? 0 : errno;
}

int truncate_file_in(const OpenDirectory* directory, const char* name, uint64_t size) {
    int error = 0;
    intptr_t file = open_for_writing_in(directory, name, &error);
    if (file == 0) {
        return error;
    }
    error = cut_file(file, size);
    int flushed = flush_and_close(file);
    return error != 0 ? error : flushed;
}

int replace_file_in(const OpenDirectory* directory, const char* from, const char* to) {
    int at = directory_descriptor(directory);
    if (renameat(at, from, at, to) != 0) {
        return errno;
    }
    return fsync(at) == 0 || errno == EINVAL || errno == ENOSYS ? 0 : errno;
}

DirectoryState directory_state(const OpenDirectory* directory, int* error) {
    int fd = directory_descriptor(directory);
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
    char source[4096];
    char options[1024];
    if (!find_mount(status.st_dev, source, sizeof source, options, sizeof options)) {
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
    if (has_option(options, "shutdown")) {
        return directory_shut_down;
    }
    if (!device_answers(source, error)) {
        return directory_drive_gone;
    }
    return directory_in_place;
}
