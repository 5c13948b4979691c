// sprayl-check's system layer on POSIX systems: errors, paths, files read
// (around the cache with O_DIRECT, which Linux and the BSDs have) and
// written, free room, the terminal and stop requests. What only Linux
// answers is in system_linux.cpp; a directory held open in
// directory_posix.cpp.
#include "system.h"

#include "descriptor_posix.h"
#include "posix/pipe_size.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

volatile std::sig_atomic_t stop_requested = 0;

const char path_separator = '/';
const char* const system_help_option = nullptr;
const char* const around_cache_text = "O_DIRECT";

namespace {

bool is_standard_input(const char* path) {
    return std::strcmp(path, "-") == 0;
}

// Writes back what is still in the cache, then drops the file from it, so
// that the reads that follow come from the device.
void drop_from_cache(int fd) {
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
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

bool error_is_existing(int error) {
    return error == EEXIST;
}

bool error_is_drive_failure(int error) {
#if defined(EUCLEAN)
    if (error == EUCLEAN) { // Linux: the file system found its own checksums wrong
        return true;
    }
#endif
    return error == EIO || error == EBADMSG;
}

bool error_is_write_protected(int error) {
    return error == EROFS;
}

bool error_is_gone(int error) {
    return error == ENOTCONN || error == ESTALE || error == ENODEV;
}

bool error_is_elsewhere(int error) {
    return error == EXDEV;
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

namespace {

// open_input for path, relative to the directory at_directory (AT_FDCWD:
// the current one).
int open_input_at(int at_directory, const char* path, OpenInput* input) {
    int fd = STDIN_FILENO;
    input->method = read_as_it_comes;
    if (at_directory != AT_FDCWD || !is_standard_input(path)) {
        fd = openat(at_directory, path, O_RDONLY | O_CLOEXEC | O_DIRECT);
        input->method = read_around_cache;
        if (fd < 0 && errno == EINVAL) {
            fd = openat(at_directory, path, O_RDONLY | O_CLOEXEC);
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

} // namespace

int open_input(const char* path, OpenInput* input) {
    input->path = path;
    return open_input_at(AT_FDCWD, path, input);
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

void free_aligned_buffer(unsigned char* buffer) {
    free(buffer);
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

bool write_around_cache(intptr_t file, bool on) {
    int fd = descriptor(file);
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return false;
    }
    int wanted = on ? flags | O_DIRECT : flags & ~O_DIRECT;
    if (fcntl(fd, F_SETFL, wanted) != 0) {
        return (flags & O_DIRECT) != 0;
    }
    return on;
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

uint64_t free_files(const char* directory) {
    struct statvfs info;
    // File systems without inodes of their own (FAT, exFAT, btrfs) tell of
    // none: f_files is 0.
    if (statvfs(directory, &info) != 0 || info.f_files == 0) {
        return no_file_limit;
    }
    return static_cast<uint64_t>(info.f_favail);
}

// ---- A directory held open: the rest in directory_posix.cpp ----

int open_input_in(const OpenDirectory* directory, const char* name, OpenInput* input) {
    return open_input_at(descriptor(directory->handle), name, input);
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

CommandShell command_shell() {
    return shell_posix;
}
