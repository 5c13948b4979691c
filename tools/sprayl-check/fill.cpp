#include "fill.h"

#include "check_input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace {

// The stream is made this many bytes at a time, in whole blocks.
constexpr size_t stream_size = 64 * block_bytes;

unsigned char stream_buffer[stream_size];

// The generated stream, handed out in pieces of any size: a file may end
// in the middle of a block, and the next file continues there.
struct StreamSource {
    GeneratorState state;
    size_t used; // bytes of stream_buffer already written
};

// The next bytes of the stream, at most limit of them; *size says how many.
const unsigned char* next_stream_bytes(StreamSource* source, uint64_t limit, size_t* size) {
    if (source->used == stream_size) {
        for (size_t offset = 0; offset < stream_size; offset += block_bytes) {
            fill_block(&source->state, stream_buffer + offset);
        }
        source->used = 0;
    }
    size_t room = stream_size - source->used;
    *size = limit < room ? static_cast<size_t>(limit) : room;
    return stream_buffer + source->used;
}

// ---- The system's side: create, write, flush, close, remove. ----

#if defined(_WIN32)

bool is_full(int error) {
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ||
           error == ERROR_FILE_TOO_LARGE;
}

bool is_interruption(int) {
    return false;
}

// Creates path; returns the handle as an integer, or 0 with *error.
intptr_t create_file(const char* path, int* error) {
    HANDLE handle = CreateFileW(wide_path(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = static_cast<int>(GetLastError());
        return 0;
    }
    return reinterpret_cast<intptr_t>(handle);
}

int64_t write_some(intptr_t file, const unsigned char* data, size_t size, int* error) {
    DWORD written = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(file), data, static_cast<DWORD>(size), &written,
                   nullptr)) {
        *error = static_cast<int>(GetLastError());
        return written > 0 ? static_cast<int64_t>(written) : -1;
    }
    return written;
}

// Flushes the file to the device and closes it; returns 0 or the error.
int flush_and_close(intptr_t file) {
    HANDLE handle = reinterpret_cast<HANDLE>(file);
    int error = FlushFileBuffers(handle) ? 0 : static_cast<int>(GetLastError());
    CloseHandle(handle);
    return error;
}

int remove_file(const char* path) {
    if (DeleteFileW(wide_path(path)) || GetLastError() == ERROR_FILE_NOT_FOUND) {
        return 0;
    }
    return static_cast<int>(GetLastError());
}

#else

bool is_full(int error) {
    return error == ENOSPC || error == EFBIG || error == EDQUOT;
}

bool is_interruption(int error) {
    return error == EINTR;
}

intptr_t create_file(const char* path, int* error) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = errno;
        return 0;
    }
    return fd + 1;
}

int64_t write_some(intptr_t file, const unsigned char* data, size_t size, int* error) {
    ssize_t written = write(static_cast<int>(file - 1), data, size);
    if (written < 0) {
        *error = errno;
    }
    return written;
}

int flush_and_close(intptr_t file) {
    int fd = static_cast<int>(file - 1);
    int error = fdatasync(fd) == 0 ? 0 : errno;
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    return error;
}

int remove_file(const char* path) {
    return unlink(path) == 0 || errno == ENOENT ? 0 : errno;
}

#endif

enum FileEnd { file_complete, file_system_full, file_interrupted, file_failed };

// Writes up to file_size bytes of the stream into file.
FileEnd write_file(intptr_t file, uint64_t file_size, StreamSource* source, Progress* progress,
                   FillOutcome* outcome, int* error) {
    uint64_t left = file_size;
    while (left > 0) {
        if (stop_requested != 0) {
            return file_interrupted;
        }
        size_t size;
        const unsigned char* data = next_stream_bytes(source, left, &size);
        int64_t written = write_some(file, data, size, error);
        if (written > 0) {
            source->used += static_cast<size_t>(written);
            left -= static_cast<uint64_t>(written);
            outcome->bytes += static_cast<uint64_t>(written);
            progress_tick(progress, outcome->bytes, no_damage_count);
        } else if (written == 0 || is_full(*error)) {
            return file_system_full;
        } else if (!is_interruption(*error)) {
            return file_failed;
        }
    }
    return file_complete;
}

bool report_error(const char* action, const char* path, int error, char* message, size_t capacity) {
    char text[128];
    error_text(error, text, sizeof text);
    std::snprintf(message, capacity, "cannot %s \"%s\": %s", action, path, text);
    return false;
}

} // namespace

bool fill_directory(const char* directory, uint64_t file_size, const GeneratorState* seed,
                    Progress* progress, FillOutcome* outcome, char* message, size_t capacity) {
    StreamSource source = {*seed, stream_size};
    std::memset(outcome, 0, sizeof *outcome);
    double started = monotonic_seconds();
    FileEnd end = file_complete;
    while (end == file_complete) {
        if (outcome->files == max_inputs) {
            std::snprintf(message, capacity,
                          "the file system takes more than %u files; use a larger --file-size",
                          static_cast<unsigned>(max_inputs));
            return false;
        }
        char path[4096];
        fill_file_path(directory, outcome->files + 1, path, sizeof path);
        int error = 0;
        intptr_t file = create_file(path, &error);
        if (file == 0) {
            if (is_full(error)) {
                break;
            }
            return report_error("create", path, error, message, capacity);
        }
        uint64_t before = outcome->bytes;
        end = write_file(file, file_size, &source, progress, outcome, &error);
        int flush_error = flush_and_close(file);
        if (end == file_failed) {
            return report_error("write", path, error, message, capacity);
        }
        if (outcome->bytes == before) {
            // Not a byte went in: no file to check.
            remove_file(path);
            break;
        }
        ++outcome->files;
        if (flush_error != 0) {
            // The filling ends here; what the device lost shows in the check.
            if (!is_full(flush_error)) {
                report_error("flush", path, flush_error, message, capacity);
            }
            end = file_system_full;
        }
    }
    outcome->seconds = monotonic_seconds() - started;
    outcome->interrupted = end == file_interrupted;
    return true;
}

uint64_t free_space(const char* directory) {
#if defined(_WIN32)
    ULARGE_INTEGER available;
    return GetDiskFreeSpaceExW(wide_path(directory), &available, nullptr, nullptr)
               ? available.QuadPart
               : 0;
#else
    struct statvfs info;
    return statvfs(directory, &info) == 0
               ? static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize)
               : 0;
#endif
}

bool remove_fill_files(const char* directory, uint32_t last, char* message, size_t capacity) {
    for (uint32_t number = 1; number <= last; ++number) {
        char path[4096];
        fill_file_path(directory, number, path, sizeof path);
        int error = remove_file(path);
        if (error != 0) {
            return report_error("remove", path, error, message, capacity);
        }
    }
    return true;
}
