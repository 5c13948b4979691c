// sprayl-check's system layer on POSIX systems: a directory held open, its
// files made, cut, renamed and removed through its descriptor (the *at
// calls). What became of it is asked in directory_linux.cpp.
#include "system.h"

#include "descriptor_posix.h"

#include <cerrno>
#include <cstdio> // renameat
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int directory_descriptor(const OpenDirectory* directory) {
    return descriptor(directory->handle);
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

namespace {

// Creates name in directory with flags besides O_CREAT | O_EXCL |
// O_NOFOLLOW | O_CLOEXEC; its descriptor, or -1 with the error. A file
// that lands on another file system is removed again (EXDEV).
int create_in(const OpenDirectory* directory, const char* name, int flags, int* error) {
    int at = directory_descriptor(directory);
    int fd = openat(at, name, flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = errno;
        return -1;
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
        return -1;
    }
    return fd;
}

} // namespace

intptr_t create_file_in(const OpenDirectory* directory, const char* name, int* error) {
    return create_in(directory, name, O_WRONLY, error) + 1;
}

intptr_t create_scratch_in(const OpenDirectory* directory, const char* name, bool* around_cache,
                           int* error) {
    // O_DIRECT set after the file is made: an open that a file system
    // refuses for it can leave the file made all the same.
    int fd = create_in(directory, name, O_RDWR, error);
    if (fd >= 0) {
        *around_cache = fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_DIRECT) == 0;
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

int replace_file_in(const OpenDirectory* directory, const char* from, const char* to) {
    int at = directory_descriptor(directory);
    if (renameat(at, from, at, to) != 0) {
        return errno;
    }
    return fsync(at) == 0 || errno == EINVAL || errno == ENOSYS ? 0 : errno;
}
