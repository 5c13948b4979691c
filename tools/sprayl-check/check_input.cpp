#include "check_input.h"

#include "read_ahead.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include "posix/pipe_size.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

volatile std::sig_atomic_t stop_requested = 0;

namespace {

// Large reads, aligned for reading around the cache.
constexpr size_t read_size = size_t{1} << 20;

#if !defined(_WIN32)
alignas(error_step_bytes) unsigned char aligned_buffers[read_ahead_buffers][read_size];
#endif

// Buffer 0 serves the reads of the check itself; all of them go round
// while a second thread reads ahead.
unsigned char* read_buffer(unsigned which = 0) {
#if defined(_WIN32)
    // Page-aligned, as FILE_FLAG_NO_BUFFERING wants.
    static unsigned char* buffers[read_ahead_buffers];
    if (buffers[which] == nullptr) {
        buffers[which] = static_cast<unsigned char*>(
            VirtualAlloc(nullptr, read_size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    }
    return buffers[which];
#else
    return aligned_buffers[which];
#endif
}

bool is_standard_input(const char* path) {
    return std::strcmp(path, "-") == 0;
}

// ---- The system's side: open, read again through the cache, close. ----

#if defined(_WIN32)

bool is_interruption(int) {
    return false;
}

bool is_misalignment(int error) {
    return error == ERROR_INVALID_PARAMETER;
}

HANDLE open_file(const char* path, DWORD flags) {
    return CreateFileW(wide_path(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, flags | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

// Opens path into input; returns 0, or the error code.
int open_system(const char* path, OpenInput* input) {
    HANDLE handle;
    if (is_standard_input(path)) {
        handle = GetStdHandle(STD_INPUT_HANDLE);
        input->method = read_as_it_comes;
    } else {
        handle = open_file(path, FILE_FLAG_NO_BUFFERING);
        input->method = read_around_cache;
        if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER) {
            handle = open_file(path, 0);
            input->method = read_through_cache;
        }
        if (handle == INVALID_HANDLE_VALUE) {
            return static_cast<int>(GetLastError());
        }
    }
    input->handle = reinterpret_cast<intptr_t>(handle);
    LARGE_INTEGER size;
    input->seekable = !is_standard_input(path) && GetFileType(handle) == FILE_TYPE_DISK &&
                      GetFileSizeEx(handle, &size);
    input->size = input->seekable ? static_cast<uint64_t>(size.QuadPart) : 0;
    if (!input->seekable) {
        input->method = read_as_it_comes;
    }
    return 0;
}

// The file again, through the cache, after the file system refused to read
// it around the cache. Returns 0, or the error code.
int reopen_through_cache(OpenInput* input) {
    HANDLE handle = open_file(input->path, 0);
    if (handle == INVALID_HANDLE_VALUE) {
        return static_cast<int>(GetLastError());
    }
    CloseHandle(reinterpret_cast<HANDLE>(input->handle));
    input->handle = reinterpret_cast<intptr_t>(handle);
    input->method = read_through_cache;
    return 0;
}

void close_system(OpenInput* input) {
    if (input->handle != 0 && !is_standard_input(input->path)) {
        CloseHandle(reinterpret_cast<HANDLE>(input->handle));
    }
}

#else

bool is_interruption(int error) {
    return error == EINTR;
}

bool is_misalignment(int error) {
    return error == EINVAL;
}

// Writes back what is still in the cache, then drops the file from it, so
// that the reads that follow come from the device.
void drop_from_cache(int fd) {
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

int open_system(const char* path, OpenInput* input) {
    int fd = STDIN_FILENO;
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
        request_pipe_size(fd, static_cast<int>(read_size));
        return 0;
    }
    off_t end = lseek(fd, 0, SEEK_END);
    input->size = end > 0 ? static_cast<uint64_t>(end) : 0;
    if (input->method == read_dropped_cache) {
        drop_from_cache(fd);
    }
    return 0;
}

int reopen_through_cache(OpenInput* input) {
    int fd = static_cast<int>(input->handle - 1);
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_DIRECT) != 0) {
        return errno;
    }
    drop_from_cache(fd);
    input->method = read_dropped_cache;
    return 0;
}

void close_system(OpenInput* input) {
    if (input->handle != 0 && !is_standard_input(input->path)) {
        close(static_cast<int>(input->handle - 1));
    }
}

#endif

// ---- Reading an input into the check. ----

// Hands the unreadable bytes noted so far to the check.
void flush_unreadable(StreamCheck* check, uint64_t* unreadable) {
    if (*unreadable > 0) {
        check_unreadable(check, *unreadable);
        *unreadable = 0;
    }
}

// After a read error at offset: reads the span of one large read a sector
// at a time, and notes the sectors that cannot be read. Returns the offset
// after the span, or after the end of the input.
uint64_t read_around_error(const OpenInput* input, StreamCheck* check, ReadFunction read,
                           uint64_t offset) {
    unsigned char* buffer = read_buffer();
    uint64_t span_end = offset + read_size;
    uint64_t unreadable = 0;
    while (offset < span_end && offset < input->size && stop_requested == 0) {
        int error = 0;
        int64_t got = read(input, buffer, error_step_bytes, offset, &error);
        if (got < 0 && is_interruption(error)) {
            continue;
        }
        if (got == 0) {
            break;
        }
        if (got < 0) {
            uint64_t left = input->size - offset;
            uint64_t length = left < error_step_bytes ? left : error_step_bytes;
            unreadable += length;
            offset += length;
            continue;
        }
        flush_unreadable(check, &unreadable);
        check_bytes(check, buffer, static_cast<size_t>(got));
        offset += static_cast<uint64_t>(got);
    }
    flush_unreadable(check, &unreadable);
    return offset;
}

// Checks a seekable input while a second thread reads ahead, as long as
// the reads give data. Sets the offset where the check goes on by itself
// (the end, or a piece that failed, to be read again there); false when a
// stop was requested.
bool check_reading_ahead(OpenInput* input, StreamCheck* check, ReadFunction read,
                         Progress* progress, uint64_t* offset) {
    unsigned char* buffers[read_ahead_buffers];
    for (unsigned i = 0; i < read_ahead_buffers; ++i) {
        buffers[i] = read_buffer(i);
        if (buffers[i] == nullptr) {
            return true;
        }
    }
    if (!read_ahead_start(input, read, *offset, buffers, read_size)) {
        return true;
    }
    for (;;) {
        if (stop_requested != 0) {
            read_ahead_stop();
            return false;
        }
        ReadAheadPiece piece = read_ahead_next();
        if (piece.got <= 0) {
            read_ahead_stop();
            *offset = piece.offset;
            return true;
        }
        check_bytes(check, piece.data, static_cast<size_t>(piece.got));
        read_ahead_release();
        *offset = piece.offset + static_cast<uint64_t>(piece.got);
        progress_tick(progress, check->result.bytes_read, bytes_damaged(&check->result));
    }
}

// Reads one open input to its end into check.
CheckEnd check_one(OpenInput* input, StreamCheck* check, ReadFunction read, Progress* progress,
                   char* message, size_t capacity) {
    unsigned char* buffer = read_buffer();
    uint64_t offset = 0;
    if (input->seekable && !check_reading_ahead(input, check, read, progress, &offset)) {
        return check_end_interrupted;
    }
    for (;;) {
        if (stop_requested != 0) {
            return check_end_interrupted;
        }
        int error = 0;
        int64_t got = read(input, buffer, read_size, offset, &error);
        if (got > 0) {
            check_bytes(check, buffer, static_cast<size_t>(got));
            offset += static_cast<uint64_t>(got);
            progress_tick(progress, check->result.bytes_read, bytes_damaged(&check->result));
            continue;
        }
        if (got == 0) {
            return check_end_of_input;
        }
        if (is_interruption(error)) {
            continue;
        }
        if (is_misalignment(error) && input->method == read_around_cache) {
            // The file system takes no reads around the cache after all.
            error = reopen_through_cache(input);
            if (error == 0) {
                continue;
            }
        }
        if (!input->seekable) {
            char text[128];
            error_text(error, text, sizeof text);
            std::snprintf(message, capacity, "cannot read \"%s\" past offset %" PRIu64 ": %s",
                          input->path, offset, text);
            return check_end_read_failed;
        }
        offset = read_around_error(input, check, read, offset);
    }
}

// The size of the file at path (0 when it is no file), or false with the
// error when there is nothing there.
bool file_size(const char* path, uint64_t* size, bool* is_directory, int* error) {
#if defined(_WIN32)
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide_path(path), GetFileExInfoStandard, &data)) {
        *error = static_cast<int>(GetLastError());
        return false;
    }
    *is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    *size = static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
#else
    struct stat status;
    if (stat(path, &status) != 0) {
        *error = errno;
        return false;
    }
    *is_directory = S_ISDIR(status.st_mode);
    *size = S_ISREG(status.st_mode) ? static_cast<uint64_t>(status.st_size) : 0;
    if (S_ISBLK(status.st_mode)) {
        // A whole drive, checked after sprayl wrote to it directly.
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        off_t end = fd >= 0 ? lseek(fd, 0, SEEK_END) : -1;
        *size = end > 0 ? static_cast<uint64_t>(end) : 0;
        if (fd >= 0) {
            close(fd);
        }
    }
#endif
    return true;
}

} // namespace

#if defined(_WIN32)

const wchar_t* wide_path(const char* path) {
    static wchar_t wide[32768];
    if (MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, 32768) == 0) {
        wide[0] = L'\0';
    }
    return wide;
}

int64_t read_input(const OpenInput* input, unsigned char* buffer, size_t size, uint64_t offset,
                   int* error) {
    HANDLE handle = reinterpret_cast<HANDLE>(input->handle);
    DWORD got = 0;
    BOOL done;
    if (input->seekable) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        done = ReadFile(handle, buffer, static_cast<DWORD>(size), &got, &at);
    } else {
        done = ReadFile(handle, buffer, static_cast<DWORD>(size), &got, nullptr);
    }
    if (!done) {
        DWORD code = GetLastError();
        if (code == ERROR_HANDLE_EOF || code == ERROR_BROKEN_PIPE) {
            return 0;
        }
        *error = static_cast<int>(code);
        return -1;
    }
    return got;
}

void error_text(int error, char* text, size_t capacity) {
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error), 0, text, static_cast<DWORD>(capacity), nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                          text[length - 1] == '.' || text[length - 1] == ' ')) {
        --length;
    }
    if (length == 0) {
        std::snprintf(text, capacity, "error %d", error);
    } else {
        text[length] = '\0';
    }
}

int64_t last_fill_file(const char* directory, char* message, size_t capacity) {
    char pattern[4096];
    fill_file_path(directory, 0, pattern, sizeof pattern);
    std::strcpy(std::strrchr(pattern, '-') + 1, "*.bin");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide_path(pattern), &found);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) {
            return 0;
        }
        char text[128];
        error_text(static_cast<int>(code), text, sizeof text);
        std::snprintf(message, capacity, "cannot list \"%s\": %s", directory, text);
        return -1;
    }
    uint32_t last = 0;
    do {
        char name[MAX_PATH * 3];
        uint32_t number;
        if (WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, name, sizeof name, nullptr,
                                nullptr) > 0 &&
            fill_file_number(name, &number) && number > last) {
            last = number;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return last;
}

#else

int64_t read_input(const OpenInput* input, unsigned char* buffer, size_t size, uint64_t offset,
                   int* error) {
    int fd = static_cast<int>(input->handle - 1);
    ssize_t got = input->seekable ? pread(fd, buffer, size, static_cast<off_t>(offset))
                                  : read(fd, buffer, size);
    if (got < 0) {
        *error = errno;
    }
    return got;
}

void error_text(int error, char* text, size_t capacity) {
    std::snprintf(text, capacity, "%s", std::strerror(error));
}

int64_t last_fill_file(const char* directory, char* message, size_t capacity) {
    DIR* listing = opendir(directory);
    if (listing == nullptr) {
        std::snprintf(message, capacity, "cannot list \"%s\": %s", directory, std::strerror(errno));
        return -1;
    }
    uint32_t last = 0;
    while (dirent* entry = readdir(listing)) {
        uint32_t number;
        if (fill_file_number(entry->d_name, &number) && number > last) {
            last = number;
        }
    }
    closedir(listing);
    return last;
}

#endif

bool fill_file_number(const char* name, uint32_t* number) {
    if (std::strncmp(name, "sprayl-", 7) != 0) {
        return false;
    }
    const char* digits = name + 7;
    uint64_t value = 0;
    size_t count = 0;
    for (; digits[count] >= '0' && digits[count] <= '9' && count < 10; ++count) {
        value = value * 10 + static_cast<uint64_t>(digits[count] - '0');
    }
    if (count < 5 || std::strcmp(digits + count, ".bin") != 0 || value == 0 || value > max_inputs) {
        return false;
    }
    *number = static_cast<uint32_t>(value);
    return true;
}

void fill_file_path(const char* directory, uint32_t number, char* path, size_t capacity) {
    size_t length = std::strlen(directory);
    bool separated = length > 0 && (directory[length - 1] == '/' || directory[length - 1] == '\\');
#if defined(_WIN32)
    const char* separator = separated ? "" : "\\";
#else
    const char* separator = separated ? "" : "/";
#endif
    std::snprintf(path, capacity, "%s%ssprayl-%05u.bin", directory, separator,
                  static_cast<unsigned>(number));
}

void input_path(const InputList* list, size_t i, char* path, size_t capacity) {
    if (list->directory != nullptr) {
        fill_file_path(list->directory, static_cast<uint32_t>(i + 1), path, capacity);
    } else {
        std::snprintf(path, capacity, "%s", list->count == 0 ? "-" : list->paths[i]);
    }
}

void prepare_fill_inputs(InputList* list, const char* directory, size_t count) {
    list->directory = directory;
    list->paths = nullptr;
    list->count = count;
    list->total_size = 0;
    for (size_t i = 0; i < count; ++i) {
        char path[4096];
        input_path(list, i, path, sizeof path);
        uint64_t size = 0;
        bool is_directory = false;
        int error = 0;
        bool present = file_size(path, &size, &is_directory, &error) && !is_directory;
        list->methods[i] = present ? read_around_cache : read_missing;
        list->total_size += size;
    }
}

bool prepare_inputs(InputList* list, char** paths, size_t count, char* message, size_t capacity) {
    list->directory = nullptr;
    list->paths = paths;
    list->count = count;
    list->total_size = 0;
    if (count > max_inputs) {
        std::snprintf(message, capacity, "too many files: at most %u at a time",
                      static_cast<unsigned>(max_inputs));
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        uint64_t size = 0;
        bool is_directory = false;
        int error = 0;
        if (std::strcmp(paths[i], "-") == 0) {
            list->methods[i] = read_as_it_comes;
            continue;
        }
        if (!file_size(paths[i], &size, &is_directory, &error)) {
            char text[128];
            error_text(error, text, sizeof text);
            std::snprintf(message, capacity, "cannot open \"%s\": %s", paths[i], text);
            return false;
        }
        if (is_directory && count > 1) {
            std::snprintf(message, capacity,
                          "\"%s\" is a directory: give a directory of fill files alone", paths[i]);
            return false;
        }
        if (is_directory) {
            int64_t last = last_fill_file(paths[i], message, capacity);
            if (last == 0) {
                std::snprintf(message, capacity,
                              "\"%s\" holds no fill files (sprayl-00001.bin, ...) to check",
                              paths[i]);
            }
            if (last <= 0) {
                return false;
            }
            prepare_fill_inputs(list, paths[i], static_cast<size_t>(last));
            return true;
        }
        list->methods[i] = read_around_cache;
        list->total_size += size;
    }
    return true;
}

CheckEnd check_inputs(InputList* list, StreamCheck* check, ReadFunction read, Progress* progress,
                      char* message, size_t capacity) {
    size_t count = list->count == 0 ? 1 : list->count;
    CheckEnd end = check_end_of_input;
    size_t i = 0;
    for (; i < count && end == check_end_of_input; ++i) {
        list->starts[i] = check->result.bytes_read;
        if (list->count > 0 && list->methods[i] == read_missing) {
            continue;
        }
        char path[4096];
        input_path(list, i, path, sizeof path);
        OpenInput input = {};
        input.path = path;
        int error = open_system(path, &input);
        if (error != 0) {
            char text[128];
            error_text(error, text, sizeof text);
            std::snprintf(message, capacity, "cannot %s \"%s\": %s",
                          input.handle != 0 ? "read" : "open", path, text);
            close_system(&input);
            return check_end_read_failed;
        }
        end = check_one(&input, check, read, progress, message, capacity);
        list->methods[i] = static_cast<unsigned char>(input.method);
        close_system(&input);
    }
    for (; i <= count; ++i) {
        list->starts[i] = check->result.bytes_read;
    }
    return end;
}

const char* read_method_text(ReadMethod method) {
    switch (method) {
    case read_missing:
        return "missing";
#if defined(_WIN32)
    case read_around_cache:
        return "around the cache (FILE_FLAG_NO_BUFFERING)";
#else
    case read_around_cache:
        return "around the cache (O_DIRECT)";
#endif
    case read_dropped_cache:
        return "after dropping it from the cache (fdatasync, POSIX_FADV_DONTNEED)";
    case read_through_cache:
        return "through the cache";
    case read_as_it_comes:
        return "as it came";
    default:
        return "";
    }
}
