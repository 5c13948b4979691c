#include "check_input.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// Reads, aligned for reading around the cache. A file is read and checked a
// piece at a time in one thread, each piece checked while the copy that the
// read made of it is still in this core's cache: with two threads, one
// reading ahead into larger buffers, the pieces travel between the cores
// and through memory, and a check of a file in memory took 1.37 times as
// long as cat's read of it, where this takes 1.13 times (2 GiB in /dev/shm,
// AMD EPYC). A stream is read in larger pieces, as its pipe delivers them.
constexpr size_t file_piece = size_t{256} << 10;
constexpr size_t stream_piece = size_t{1} << 20;

char unreached_reason[4096 + 128];

// The most bytes the check takes (--size), and whether the input held more.
uint64_t read_limit = UINT64_MAX;
bool went_on;

// Hands size bytes of input to the check, as far as the limit allows.
// False when the check takes no more: the input goes on past the limit.
bool check_piece(StreamCheck* check, const unsigned char* data, size_t size) {
    uint64_t room = read_limit - check->result.bytes_read;
    if (size > room) {
        went_on = true;
        size = static_cast<size_t>(room);
    }
    check_bytes(check, data, size);
    return !went_on;
}

// The one buffer that every read goes into, of stream_piece bytes.
unsigned char* read_buffer() {
    static unsigned char* buffer;
    if (buffer == nullptr) {
        buffer = aligned_buffer(stream_piece);
    }
    return buffer;
}

// ---- Reading an input into the check. ----

// Hands the unreadable bytes noted so far to the check, as far as the
// limit allows.
void flush_unreadable(StreamCheck* check, uint64_t* unreadable) {
    uint64_t room = read_limit - check->result.bytes_read;
    if (*unreadable > room) {
        went_on = true;
        *unreadable = room;
    }
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
    uint64_t span_end = offset + file_piece;
    uint64_t unreadable = 0;
    while (offset < span_end && offset < input->size && stop_requested == 0 && !went_on) {
        int error = 0;
        int64_t got = read(input, buffer, error_step_bytes, offset, &error);
        if (got < 0 && error_is_interruption(error)) {
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
        if (!check_piece(check, buffer, static_cast<size_t>(got))) {
            break;
        }
        offset += static_cast<uint64_t>(got);
    }
    flush_unreadable(check, &unreadable);
    return offset;
}

// Reads one open input to its end into check.
CheckEnd check_one(OpenInput* input, StreamCheck* check, ReadFunction read, Progress* progress,
                   char* message, size_t capacity) {
    unsigned char* buffer = read_buffer();
    if (buffer == nullptr) {
        char name[4096 + 8]; // the path in quotes
        quoted_input_name(input->path, name, sizeof name);
        std::snprintf(message, capacity, "no memory to read %s into", name);
        return check_end_read_failed;
    }
    size_t piece = input->seekable ? file_piece : stream_piece;
    uint64_t offset = 0;
    while (!went_on) {
        if (stop_requested != 0) {
            return check_end_interrupted;
        }
        int error = 0;
        int64_t got = read(input, buffer, piece, offset, &error);
        if (got > 0) {
            check_piece(check, buffer, static_cast<size_t>(got));
            offset += static_cast<uint64_t>(got);
            progress_tick(progress, check->result.bytes_read, bytes_damaged(&check->result));
            continue;
        }
        if (got == 0) {
            return check_end_of_input;
        }
        if (error_is_interruption(error)) {
            continue;
        }
        if (error_is_misalignment(error) && input->around_cache) {
            // The file system takes no reads around the cache after all.
            error = reopen_through_cache(input);
            if (error == 0) {
                continue;
            }
        }
        if (!input->seekable) {
            char text[128];
            char name[4096 + 8]; // the path in quotes
            error_text(error, text, sizeof text);
            quoted_input_name(input->path, name, sizeof name);
            std::snprintf(message, capacity, "cannot read %s past offset %" PRIu64 ": %s", name,
                          offset, text);
            return check_end_read_failed;
        }
        offset = read_around_error(input, check, read, offset);
    }
    return check_end_of_input;
}

// Notes the number of a fill file among a directory's entries.
void note_fill_file(const char* name, void* last) {
    uint32_t number;
    if (fill_file_number(name, &number) && number > *static_cast<uint32_t*>(last)) {
        *static_cast<uint32_t*>(last) = number;
    }
}

} // namespace

int64_t last_fill_file(const char* directory, char* message, size_t capacity) {
    uint32_t last = 0;
    int error = 0;
    if (!list_directory(directory, note_fill_file, &last, &error)) {
        char text[128];
        error_text(error, text, sizeof text);
        std::snprintf(message, capacity, "cannot list \"%s\": %s", directory, text);
        return -1;
    }
    return last;
}

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
    char separator[2] = {separated ? '\0' : path_separator, '\0'};
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

void quoted_input_name(const char* path, char* name, size_t capacity) {
    if (std::strcmp(path, "-") == 0) {
        std::snprintf(name, capacity, "standard input");
    } else {
        std::snprintf(name, capacity, "\"%s\"", path);
    }
}

void prepare_fill_inputs(InputList* list, const char* directory, size_t count) {
    list->directory = directory;
    list->paths = nullptr;
    list->count = count;
    list->total_size = 0;
    list->largest_size = 0;
    list->read_limit = 0;
    list->went_on = false;
    for (size_t i = 0; i < count; ++i) {
        char path[4096];
        input_path(list, i, path, sizeof path);
        PathStatus status = {};
        int error = 0;
        bool present = path_status(path, &status, &error) && !status.is_directory;
        list->methods[i] = present ? read_around_cache : read_missing;
        list->total_size += present ? status.size : 0;
        list->largest_size =
            present && status.size > list->largest_size ? status.size : list->largest_size;
    }
}

bool prepare_inputs(InputList* list, char** paths, size_t count, char* message, size_t capacity) {
    list->directory = nullptr;
    list->paths = paths;
    list->count = count;
    list->total_size = 0;
    list->largest_size = 0;
    list->read_limit = 0;
    list->went_on = false;
    list->methods[0] = read_as_it_comes; // standard input, where no file is given
    if (count > max_inputs) {
        std::snprintf(message, capacity, "too many files: at most %u at a time",
                      static_cast<unsigned>(max_inputs));
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        PathStatus status = {};
        int error = 0;
        if (std::strcmp(paths[i], "-") == 0) {
            list->methods[i] = read_as_it_comes;
            continue;
        }
        if (!path_status(paths[i], &status, &error)) {
            char text[128];
            error_text(error, text, sizeof text);
            std::snprintf(message, capacity, "cannot open \"%s\": %s", paths[i], text);
            return false;
        }
        if (status.is_directory && count > 1) {
            std::snprintf(message, capacity,
                          "\"%s\" is a directory: give a directory of fill files alone", paths[i]);
            return false;
        }
        if (status.is_directory) {
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
        list->total_size += status.size;
        list->largest_size = status.size > list->largest_size ? status.size : list->largest_size;
    }
    return true;
}

CheckEnd check_inputs(InputList* list, StreamCheck* check, ReadFunction read, Progress* progress,
                      char* message, size_t capacity) {
    size_t count = list->count == 0 ? 1 : list->count;
    CheckEnd end = check_end_of_input;
    read_limit = list->read_limit != 0 ? list->read_limit : UINT64_MAX;
    went_on = false;
    unreached_reason[0] = '\0';
    size_t i = 0;
    for (; i < count && end == check_end_of_input && !went_on; ++i) {
        list->starts[i] = check->result.bytes_read;
        if (list->count > 0 && list->methods[i] == read_missing) {
            continue;
        }
        char path[4096];
        input_path(list, i, path, sizeof path);
        OpenInput input = {};
        input.path = path;
        int error = open_input(path, &input);
        if (error != 0) {
            char text[128];
            char name[4096 + 8]; // the path in quotes
            error_text(error, text, sizeof text);
            quoted_input_name(path, name, sizeof name);
            std::snprintf(message, capacity, "cannot %s %s: %s",
                          input.handle != 0 ? "read" : "open", name, text);
            close_input(&input);
            return check_end_read_failed;
        }
        reach_the_drive(&input, unreached_reason, sizeof unreached_reason);
        end = check_one(&input, check, read, progress, message, capacity);
        check->result.possibly_from_memory |= !read_reaches_drive(input.method);
        if (!read_reaches_drive(input.method) && unreached_reason[0] == '\0') {
            std::snprintf(unreached_reason, sizeof unreached_reason,
                          "the file system of \"%s\" refuses reads around the cache", path);
        }
        list->methods[i] = static_cast<unsigned char>(input.method);
        close_input(&input);
    }
    for (; i <= count; ++i) {
        list->starts[i] = check->result.bytes_read;
    }
    list->went_on = went_on;
    return end;
}

namespace {

struct ReadMethodRow {
    const char* name;   // a word for programs: "around_cache"
    const char* text;   // for the report's "read:" line
    bool reaches_drive; // false: the bytes may have come from memory
};

const ReadMethodRow read_methods[read_method_count] = {
    {"missing", "missing", true},
    {"around_cache", "around the cache", true}, // and how: around_cache_text
    {"dropped_cache", "after dropping it from the cache (fdatasync, POSIX_FADV_DONTNEED)", true},
    {"device_flushed",
     "around the cache, with the cache of the FUSE file system's device dropped (BLKFLSBUF)", true},
    {"device_advised",
     "around the cache, with the cache of the FUSE file system's device dropped (fdatasync, "
     "POSIX_FADV_DONTNEED)",
     true},
    {"device_cached",
     "POSSIBLY FROM MEMORY: the cache of the FUSE file system's device could not be dropped",
     false},
    {"fuse_unbacked", "POSSIBLY FROM MEMORY: a FUSE file system with no device of its own", false},
    {"network",
     "POSSIBLY FROM MEMORY: a network file system, whose server may answer from its cache", false},
    {"through_cache", "POSSIBLY FROM MEMORY: through the cache", false},
    {"as_it_comes", "as it came", true},
};

} // namespace

const char* read_method_text(ReadMethod method) {
    if (method == read_around_cache) {
        static char text[64];
        std::snprintf(text, sizeof text, "%s (%s)", read_methods[method].text, around_cache_text);
        return text;
    }
    return method < read_method_count ? read_methods[method].text : "";
}

const char* read_method_name(ReadMethod method) {
    return method < read_method_count ? read_methods[method].name : "";
}

bool read_reaches_drive(ReadMethod method) {
    return method >= read_method_count || read_methods[method].reaches_drive;
}

const char* unreached_drive_reason() {
    return unreached_reason;
}
