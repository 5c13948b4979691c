// sprayl-check's system layer on Linux and other POSIX systems.
#include "system.h"

#include "file_systems.h"
#include "monotonic_clock.h"
#include "posix/pipe_size.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

volatile std::sig_atomic_t stop_requested = 0;

const char path_separator = '/';
const char* const system_help_option = nullptr;
const char* const around_cache_text = "O_DIRECT";

namespace {

int descriptor(intptr_t handle) {
    return static_cast<int>(handle - 1);
}

bool is_standard_input(const char* path) {
    return std::strcmp(path, "-") == 0;
}

// Writes back what is still in the cache, then drops the file from it, so
// that the reads that follow come from the device.
void drop_from_cache(int fd) {
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

// The file system that holds the open file fd, from /proc/self/mountinfo.
void find_file_system(int fd, FileSystemInfo* info) {
    info->kind = file_system_local;
    info->type[0] = '\0';
    info->source[0] = '\0';
    struct stat status;
    if (fstat(fd, &status) != 0) {
        return;
    }
    std::FILE* mounts = std::fopen("/proc/self/mountinfo", "re");
    if (mounts == nullptr) {
        return;
    }
    char line[8192];
    while (std::fgets(line, sizeof line, mounts) != nullptr) {
        unsigned major_number;
        unsigned minor_number;
        if (parse_mount_line(line, &major_number, &minor_number, info->type, sizeof info->type,
                             info->source, sizeof info->source) &&
            major_number == major(status.st_dev) && minor_number == minor(status.st_dev)) {
            info->kind = file_system_kind(info->type);
            break;
        }
        info->type[0] = '\0';
        info->source[0] = '\0';
    }
    std::fclose(mounts);
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

void on_stop_signal(int) {
    stop_requested = 1;
}

} // namespace

// ---- Errors ----

bool error_is_interruption(int error) {
    return error == EINTR;
}

bool error_is_misalignment(int error) {
    return error == EINVAL;
}

bool error_is_full(int error) {
    return error == ENOSPC || error == EFBIG || error == EDQUOT;
}

bool error_is_not_found(int error) {
    return error == ENOENT;
}

void error_text(int error, char* text, size_t capacity) {
    std::snprintf(text, capacity, "%s", std::strerror(error));
}

// ---- Paths ----

bool path_status(const char* path, PathStatus* status, int* error) {
    struct stat info;
    if (stat(path, &info) != 0) {
        *error = errno;
        return false;
    }
    status->is_directory = S_ISDIR(info.st_mode);
    status->size = S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0;
    if (S_ISBLK(info.st_mode)) {
        // A whole drive, checked after sprayl wrote to it directly.
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        off_t end = fd >= 0 ? lseek(fd, 0, SEEK_END) : -1;
        status->size = end > 0 ? static_cast<uint64_t>(end) : 0;
        if (fd >= 0) {
            close(fd);
        }
    }
    return true;
}

bool file_identity(const char* path, FileIdentity* identity, int* error) {
    struct stat info;
    int result = is_standard_input(path) ? fstat(STDIN_FILENO, &info) : stat(path, &info);
    if (result != 0) {
        *error = errno;
        return false;
    }
    identity->kind = S_ISREG(info.st_mode)   ? file_kind_regular
                     : S_ISDIR(info.st_mode) ? file_kind_directory
                     : S_ISBLK(info.st_mode) ? file_kind_device
                                             : file_kind_stream;
    identity->known = true;
    identity->volume = static_cast<uint64_t>(info.st_dev);
    identity->index = static_cast<uint64_t>(info.st_ino);
    identity->size = S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0;
    return true;
}

void parent_directory(const char* path, char* parent, size_t capacity) {
    size_t end = std::strlen(path);
    while (end > 1 && path[end - 1] == '/') { // "dir/" names dir
        --end;
    }
    while (end > 0 && path[end - 1] != '/') {
        --end;
    }
    while (end > 1 && path[end - 1] == '/') {
        --end;
    }
    if (end == 0) {
        std::snprintf(parent, capacity, ".");
    } else {
        std::snprintf(parent, capacity, "%.*s", static_cast<int>(end), path);
    }
}

bool list_directory(const char* directory, void (*each)(const char* name, void* context),
                    void* context, int* error) {
    DIR* listing = opendir(directory);
    if (listing == nullptr) {
        *error = errno;
        return false;
    }
    while (dirent* entry = readdir(listing)) {
        each(entry->d_name, context);
    }
    closedir(listing);
    return true;
}

// ---- Reading ----

int open_input(const char* path, OpenInput* input) {
    int fd = STDIN_FILENO;
    input->path = path;
    input->method = read_as_it_comes;
    if (!is_standard_input(path)) {
        fd = open(path, O_RDONLY | O_CLOEXEC | O_DIRECT);
        input->method = read_around_cache;
        if (fd < 0 && errno == EINVAL) {
            fd = open(path, O_RDONLY | O_CLOEXEC);
            input->method = read_dropped_cache;
        }
        if (fd < 0) {
            return errno;
        }
    }
    input->handle = fd + 1; // 0 stays "not open"
    struct stat status;
    if (fstat(fd, &status) != 0) {
        return errno;
    }
    if (S_ISDIR(status.st_mode)) {
        return EISDIR;
    }
    input->seekable = S_ISREG(status.st_mode) || S_ISBLK(status.st_mode);
    if (!input->seekable || input->method == read_as_it_comes) {
        // Standard input is read as it comes even when it is a file: it
        // need not start at offset 0.
        input->seekable = false;
        input->method = read_as_it_comes;
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_DIRECT);
        // A larger pipe lets the writer run ahead in bigger strides; other
        // inputs ignore the request.
        request_pipe_size(fd, 1 << 20);
        return 0;
    }
    off_t end = lseek(fd, 0, SEEK_END);
    input->size = end > 0 ? static_cast<uint64_t>(end) : 0;
    input->around_cache = input->method == read_around_cache;
    if (input->method == read_dropped_cache) {
        drop_from_cache(fd);
    }
    return 0;
}

void reach_the_drive(OpenInput* input, char* why, size_t capacity) {
    if (!input->seekable) {
        return;
    }
    FileSystemInfo info;
    find_file_system(descriptor(input->handle), &info);
    switch (info.kind) {
    case file_system_local:
        return;
    case file_system_network:
        std::snprintf(why, capacity, "\"%s\" is a network file system (%s)", info.source,
                      info.type);
        input->method = read_network;
        return;
    case file_system_fuse:
        std::snprintf(why, capacity, "\"%s\" is a FUSE file system (%s) with no device to read",
                      info.source, info.type);
        input->method = read_fuse_unbacked;
        return;
    case file_system_fuse_device:
        input->method = drop_device_cache(info.source, why, capacity);
        return;
    }
}

int64_t read_input(const OpenInput* input, unsigned char* buffer, size_t size, uint64_t offset,
                   int* error) {
    int fd = descriptor(input->handle);
    ssize_t got = input->seekable ? pread(fd, buffer, size, static_cast<off_t>(offset))
                                  : read(fd, buffer, size);
    if (got < 0) {
        *error = errno;
    }
    return got;
}

int reopen_through_cache(OpenInput* input) {
    int fd = descriptor(input->handle);
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_DIRECT) != 0) {
        return errno;
    }
    drop_from_cache(fd);
    input->around_cache = false;
    if (input->method == read_around_cache) {
        input->method = read_dropped_cache;
    }
    return 0;
}

void close_input(OpenInput* input) {
    if (input->handle != 0 && !is_standard_input(input->path)) {
        close(descriptor(input->handle));
    }
    input->handle = 0;
}

unsigned char* aligned_buffer(size_t size) {
    void* memory = nullptr;
    return posix_memalign(&memory, 4096, size) == 0 ? static_cast<unsigned char*>(memory) : nullptr;
}

// ---- Writing ----

intptr_t create_file(const char* path, int* error) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = errno;
        return 0;
    }
    return fd + 1;
}

intptr_t create_new_file(const char* path, int* error) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = errno;
        return 0;
    }
    return fd + 1;
}

int64_t write_file(intptr_t file, const unsigned char* data, size_t size, int* error) {
    ssize_t written = write(descriptor(file), data, size);
    if (written < 0) {
        *error = errno;
    }
    return written;
}

int flush_and_close(intptr_t file) {
    int fd = descriptor(file);
    int error = fdatasync(fd) == 0 ? 0 : errno;
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    return error;
}

int close_file(intptr_t file) {
    return close(descriptor(file)) == 0 ? 0 : errno;
}

int remove_file(const char* path) {
    return unlink(path) == 0 || errno == ENOENT ? 0 : errno;
}

int rename_file(const char* from, const char* to) {
    return rename(from, to) == 0 ? 0 : errno;
}

int truncate_file(const char* path, uint64_t size) {
    return truncate(path, static_cast<off_t>(size)) == 0 ? 0 : errno;
}

bool holds_running_system(const char* directory) {
    struct stat place;
    struct stat root;
    return stat(directory, &place) == 0 && stat("/", &root) == 0 && place.st_dev == root.st_dev;
}

uint64_t free_space(const char* directory) {
    struct statvfs info;
    return statvfs(directory, &info) == 0
               ? static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize)
               : 0;
}

uint64_t drive_size(const char* directory) {
    uint64_t size = 0;
    int fd = open(directory, O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    if (fd >= 0) {
        FileSystemInfo info;
        find_file_system(fd, &info);
        close(fd);
        int device = std::strncmp(info.source, "/dev/", 5) == 0
                         ? open(info.source, O_RDONLY | O_CLOEXEC)
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

// ---- The terminal and stop requests ----

bool stdin_is_terminal() {
    return isatty(STDIN_FILENO) != 0;
}

bool stderr_is_terminal() {
    return isatty(STDERR_FILENO) != 0;
}

int terminal_width() {
    winsize size{};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

// Without SA_RESTART, so that a read waiting on a pipe ends at once.
void catch_stop_requests() {
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

double clock_seconds() {
    return monotonic_seconds();
}
