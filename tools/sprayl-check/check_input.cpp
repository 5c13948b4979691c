#include "check_input.h"

#include "read_ahead.h"

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

// The bytes the check still takes before the list's read limit (--size).
uint64_t room_left(const InputList* list, const StreamCheck* check) {
    if (list->read_limit == 0) {
        return UINT64_MAX - check->result.bytes_read;
    }
    return list->read_limit > check->result.bytes_read ? list->read_limit - check->result.bytes_read
                                                       : 0;
}

// Hands size bytes of input to the check, as far as the limit allows.
// False when the check takes no more: the input goes on past the limit.
bool check_piece(InputList* list, StreamCheck* check, const unsigned char* data, size_t size) {
    uint64_t room = room_left(list, check);
    if (size > room) {
        list->went_on = true;
        size = static_cast<size_t>(room);
    }
    double started = clock_seconds();
    check_bytes(check, data, size);
    list->checking_seconds += clock_seconds() - started;
    return !list->went_on;
}

// The one buffer that every read of the list goes into, of stream_piece
// bytes, had at the first read.
unsigned char* read_buffer(InputList* list) {
    if (list->read_buffer == nullptr) {
        list->read_buffer = aligned_buffer(stream_piece);
    }
    return list->read_buffer;
}

// ---- Reading an input into the check. ----

// What the pieces read ahead go to.
struct AheadTaker {
    InputList* list;
    StreamCheck* check;
    Progress* progress;
};

bool take_ahead(void* context, const unsigned char* data, size_t size) {
    AheadTaker* taker = static_cast<AheadTaker*>(context);
    bool more = check_piece(taker->list, taker->check, data, size);
    progress_tick(taker->progress, taker->check->result.bytes_read,
                  bytes_damaged(&taker->check->result));
    return more && stop_requested == 0;
}

// Whether input is read ahead from offset: a file read around the cache,
// at a whole page, with the ring's buffers to hand.
bool reads_ahead(InputList* list, const OpenInput* input, uint64_t offset) {
    if (!input->around_cache || !input->seekable || offset % 4096 != 0) {
        return false;
    }
    if (list->ahead_buffers == nullptr) {
        list->ahead_buffers = ahead_buffers();
    }
    return list->ahead_buffers != nullptr;
}

// Hands the unreadable bytes noted so far to the check, as far as the
// limit allows.
void flush_unreadable(InputList* list, StreamCheck* check, uint64_t* unreadable) {
    uint64_t room = room_left(list, check);
    if (*unreadable > room) {
        list->went_on = true;
        *unreadable = room;
    }
    if (*unreadable > 0) {
        check_unreadable(check, *unreadable);
        *unreadable = 0;
    }
}

// After a read error at offset: reads the span of one large read a sector
// at a time, and notes the sectors that cannot be read. Returns the offset
// after the span, or after the end of the input (or limit).
uint64_t read_around_error(InputList* list, const OpenInput* input, StreamCheck* check,
                           ReadFunction read, uint64_t offset, uint64_t limit) {
    unsigned char* buffer = read_buffer(list);
    uint64_t span_end = offset + file_piece;
    uint64_t end = input->size < limit ? input->size : limit;
    uint64_t unreadable = 0;
    while (offset < span_end && offset < end && stop_requested == 0 && !list->went_on) {
        int error = 0;
        int64_t got = read(input, buffer, error_step_bytes, offset, &error);
        if (got < 0 && error_is_interruption(error)) {
            continue;
        }
        if (got == 0) {
            break;
        }
        if (got > 0 && static_cast<uint64_t>(got) > end - offset) {
            got = static_cast<int64_t>(end - offset);
        }
        if (got < 0) {
            uint64_t left = end - offset;
            uint64_t length = left < error_step_bytes ? left : error_step_bytes;
            unreadable += length;
            offset += length;
            continue;
        }
        flush_unreadable(list, check, &unreadable);
        if (!check_piece(list, check, buffer, static_cast<size_t>(got))) {
            break;
        }
        offset += static_cast<uint64_t>(got);
    }
    flush_unreadable(list, check, &unreadable);
    return offset;
}

// Reads one open input into check, to its end or up to limit bytes.
CheckEnd check_one(InputList* list, OpenInput* input, StreamCheck* check, ReadFunction read,
                   Progress* progress, uint64_t limit, char* message, size_t capacity) {
    unsigned char* buffer = read_buffer(list);
    if (buffer == nullptr) {
        char name[quoted_path_capacity];
        quoted_input_name(input->path, name, sizeof name);
        std::snprintf(message, capacity, "no memory to read %s into", name);
        return check_end_read_failed;
    }
    size_t piece = input->seekable ? file_piece : stream_piece;
    uint64_t offset = 0;
    while (!list->went_on && offset < limit) {
        if (stop_requested != 0) {
            return check_end_interrupted;
        }
        if (reads_ahead(list, input, offset)) {
            AheadTaker taker = {list, check, progress};
            // A file in memory reads faster through the ring: a check of
            // 2 GiB on tmpfs took 1.04 times cat's time so, 1.32 through
            // the queue (medians of 15 alternating rounds, AMD EPYC).
            const ReadQueue* queue = input->in_memory ? nullptr : &list->queue;
            uint64_t reached = read_ahead(input, read, queue, offset, limit, list->ahead_buffers,
                                          take_ahead, &taker);
            if (reached != offset) {
                offset = reached;
                continue; // on from where reading ahead stopped, as the limit allows
            }
        }
        int error = 0;
        // Whole pages, as a read around the cache takes them, up to the limit.
        size_t asked = limit - offset < piece
                           ? static_cast<size_t>((limit - offset + 4095) / 4096 * 4096)
                           : piece;
        int64_t got = read(input, buffer, asked, offset, &error);
        if (got > 0 && static_cast<uint64_t>(got) > limit - offset) {
            got = static_cast<int64_t>(limit - offset);
        }
        if (got > 0) {
            check_piece(list, check, buffer, static_cast<size_t>(got));
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
        // A stream cannot skip what it cannot read; and where the file
        // system is gone, nothing after is the drive's to judge.
        if (!input->seekable || error_is_gone(error)) {
            char text[error_text_capacity];
            char name[quoted_path_capacity];
            error_text(error, text, sizeof text);
            quoted_input_name(input->path, name, sizeof name);
            std::snprintf(message, capacity, "cannot read %s past offset %" PRIu64 ": %s", name,
                          offset, text);
            return check_end_read_failed;
        }
        offset = read_around_error(list, input, check, read, offset, limit);
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

// Checks the bytes that the record gives a fill file and that are not
// there to read, as unreadable: the files after them keep their places.
void skip_unread(InputList* list, StreamCheck* check, uint64_t length) {
    flush_unreadable(list, check, &length);
}

// Opens input i of list: a fill file through the directory held open.
int open_one(const InputList* list, size_t i, OpenInput* input) {
    if (list->directory == nullptr) {
        return open_input(input->path, input);
    }
    char name[fill_name_capacity];
    fill_file_name(static_cast<uint32_t>(i + 1), name, sizeof name);
    return open_input_in(&list->folder, name, input);
}

// Reads input i of list into check: to its end, or as much as the record
// gives it, what it lacks of that as unreadable.
CheckEnd check_input_file(InputList* list, size_t i, StreamCheck* check, ReadFunction read,
                          Progress* progress, char* message, size_t capacity) {
    uint64_t recorded = recorded_size(list, i);
    if (list->count > 0 && list->methods[i] == read_missing) {
        skip_unread(list, check, recorded);
        return check_end_of_input;
    }
    char path[path_capacity];
    input_path(list, i, path, sizeof path);
    OpenInput input = {};
    input.path = path;
    int error = open_one(list, i, &input);
    if (error != 0) {
        const char* failed = input.handle != 0 ? "read" : "open";
        close_input(&input);
        // A fill file whose place is known and that its drive fails to
        // give is unreadable, like a sector that fails; one that cannot be
        // opened for any other reason stops the reading.
        uint64_t size = recorded != 0 ? recorded : list->sizes[i];
        if (list->directory != nullptr && error_is_drive_failure(error) && size > 0 &&
            !directory_gone(&list->folder, message, capacity)) {
            skip_unread(list, check, size);
            return check_end_of_input;
        }
        char text[error_text_capacity];
        error_text(error, text, sizeof text);
        char name[quoted_path_capacity];
        quoted_input_name(path, name, sizeof name);
        std::snprintf(message, capacity, "cannot %s %s: %s", failed, name, text);
        return check_end_read_failed;
    }
    reach_the_drive(&input, list->unreached_reason, sizeof list->unreached_reason);
    uint64_t before = check->result.bytes_read;
    CheckEnd end = check_one(list, &input, check, read, progress,
                             recorded != 0 ? recorded : UINT64_MAX, message, capacity);
    uint64_t got = check->result.bytes_read - before;
    if (end == check_end_of_input && got < recorded) {
        skip_unread(list, check, recorded - got);
    }
    check->result.possibly_from_memory |= !read_reaches_drive(input.method);
    if (!read_reaches_drive(input.method) && list->unreached_reason[0] == '\0') {
        std::snprintf(list->unreached_reason, sizeof list->unreached_reason,
                      "the file system of \"%s\" refuses reads around the cache", path);
    }
    list->methods[i] = static_cast<unsigned char>(input.method);
    close_input(&input);
    return end;
}

} // namespace

namespace {

// What became of a directory, as a sentence on its path and the error.
const char* const directory_state_texts[directory_state_count] = {
    "\"%s\" is in place",
    "the file system of \"%s\" stopped answering (%s): its FUSE daemon is gone, or its drive",
    "\"%s\" was removed while the work went on in it",
    "the file system of \"%s\" was unmounted while the work went on in it",
    "\"%s\" was renamed or moved while the work went on in it: its path leads elsewhere now",
    "the file system of \"%s\" was shut down while the work went on in it",
    "the drive under \"%s\" stopped answering (%s): it was unplugged, or what serves it is gone",
};

} // namespace

bool directory_gone(const OpenDirectory* directory, char* text, size_t capacity) {
    int error = 0;
    DirectoryState state = directory_state(directory, &error);
    if (state == directory_in_place) {
        return false;
    }
    char error_words[error_text_capacity] = "";
    if (error != 0) {
        error_text(error, error_words, sizeof error_words);
    }
    char what[1024];
    // Each text takes the path, and some the error after it.
    std::snprintf(what, sizeof what, directory_state_texts[state], directory->path, error_words);
    std::snprintf(text, capacity,
                  "%s; what is there cannot be checked, and nothing is said of what the drive"
                  " keeps",
                  what);
    return true;
}

int64_t last_fill_file(const OpenDirectory* directory, char* message, size_t capacity) {
    uint32_t last = 0;
    int error = 0;
    if (!list_open_directory(directory, note_fill_file, &last, &error)) {
        char text[error_text_capacity];
        error_text(error, text, sizeof text);
        std::snprintf(message, capacity, "cannot list \"%s\": %s", directory->path, text);
        return -1;
    }
    return last;
}

uint64_t recorded_size(const InputList* list, size_t i) {
    return list->directory != nullptr && list->record_state == record_read
               ? record_file_size(&list->record, static_cast<uint32_t>(i + 1))
               : 0;
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

void fill_file_name(uint32_t number, char* name, size_t capacity) {
    std::snprintf(name, capacity, "sprayl-%05u.bin", static_cast<unsigned>(number));
}

void file_path_in(const char* directory, const char* name, char* path, size_t capacity) {
    size_t length = std::strlen(directory);
    bool separated = length > 0 && (directory[length - 1] == '/' || directory[length - 1] == '\\');
    char separator[2] = {separated ? '\0' : path_separator, '\0'};
    std::snprintf(path, capacity, "%s%s%s", directory, separator, name);
}

void fill_file_path(const char* directory, uint32_t number, char* path, size_t capacity) {
    char name[fill_name_capacity];
    fill_file_name(number, name, sizeof name);
    file_path_in(directory, name, path, capacity);
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

void prepare_fill_inputs(InputList* list, const OpenDirectory* directory, size_t count,
                         const FillRecord* record) {
    list->directory = directory->path;
    list->folder = *directory;
    list->paths = nullptr;
    list->record_state = record != nullptr ? record_read : record_absent;
    if (record != nullptr && record != &list->record) {
        list->record = *record;
    }
    size_t listed = record != nullptr ? record_file_count(record) : 0;
    list->count = count > listed ? count : listed;
    list->total_size = 0;
    list->largest_size = 0;
    list->read_limit = 0;
    list->went_on = false;
    for (size_t i = 0; i < list->count; ++i) {
        char name[fill_name_capacity];
        fill_file_name(static_cast<uint32_t>(i + 1), name, sizeof name);
        PathStatus status = {};
        int error = 0;
        bool present = status_in(directory, name, &status, &error) && !status.is_directory;
        list->methods[i] = present ? read_around_cache : read_missing;
        list->standings[i] = record != nullptr && i >= listed ? file_outside : file_in_stream;
        list->sizes[i] = present ? status.size : 0;
        uint64_t size = recorded_size(list, i) != 0 ? recorded_size(list, i) : list->sizes[i];
        list->total_size += list->standings[i] == file_in_stream ? size : 0;
        list->largest_size = size > list->largest_size ? size : list->largest_size;
    }
}

namespace {

// prepare_inputs for a directory: its fill files, as its record lists them.
bool prepare_directory(InputList* list, const char* path, char* message, size_t capacity) {
    int error = open_directory(path, &list->folder);
    if (error != 0) {
        char text[error_text_capacity];
        error_text(error, text, sizeof text);
        std::snprintf(message, capacity, "cannot open \"%s\": %s", path, text);
        return false;
    }
    char why[512];
    RecordState state = read_fill_record(&list->folder, &list->record, why, sizeof why);
    if (state == record_damaged || state == record_unreadable) {
        char record_path[path_capacity];
        file_path_in(path, fill_record_name, record_path, sizeof record_path);
        std::snprintf(message, capacity,
                      "the fill record \"%s\" is %s: %s; nothing can be said of the fill by it"
                      " (move it away to check the fill files without it)",
                      record_path, state == record_damaged ? "damaged" : "unreadable", why);
        return false;
    }
    int64_t last = last_fill_file(&list->folder, message, capacity);
    if (last == 0 && state != record_read) {
        std::snprintf(message, capacity,
                      "\"%s\" holds no fill files (sprayl-00001.bin, ...) to check", path);
    }
    if (last < 0 || (last == 0 && state != record_read)) {
        return false;
    }
    prepare_fill_inputs(list, &list->folder, static_cast<size_t>(last),
                        state == record_read ? &list->record : nullptr);
    return true;
}

} // namespace

bool prepare_inputs(InputList* list, char** paths, size_t count, char* message, size_t capacity) {
    list->directory = nullptr;
    list->paths = paths;
    list->count = count;
    list->record_state = record_absent;
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
        list->standings[i] = file_in_stream;
        list->sizes[i] = 0;
        if (std::strcmp(paths[i], "-") == 0) {
            list->methods[i] = read_as_it_comes;
            continue;
        }
        if (!path_status(paths[i], &status, &error)) {
            char text[error_text_capacity];
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
            return prepare_directory(list, paths[i], message, capacity);
        }
        list->methods[i] = read_around_cache;
        list->sizes[i] = status.size;
        list->total_size += status.size;
        list->largest_size = status.size > list->largest_size ? status.size : list->largest_size;
    }
    return true;
}

CheckEnd check_inputs(InputList* list, StreamCheck* check, ReadFunction read, Progress* progress,
                      char* message, size_t capacity) {
    size_t count = list->count == 0 ? 1 : list->count;
    CheckEnd end = check_end_of_input;
    list->went_on = false;
    list->unreached_reason[0] = '\0';
    size_t i = 0;
    for (; i < count && end == check_end_of_input && !list->went_on; ++i) {
        list->starts[i] = check->result.bytes_read;
        if (list->count > 0 && list->standings[i] == file_outside) {
            continue;
        }
        end = check_input_file(list, i, check, read, progress, message, capacity);
    }
    // A file the reading stopped in, and those after it, were not read
    // (whole); past --size, those after the last read.
    size_t read_to = end != check_end_of_input ? i - 1 : i;
    for (size_t j = read_to; j < list->count; ++j) {
        if (list->standings[j] == file_in_stream && list->methods[j] != read_missing) {
            list->standings[j] = file_not_read;
        }
    }
    for (; i <= count; ++i) {
        list->starts[i] = check->result.bytes_read;
    }
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
