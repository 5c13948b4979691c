#include "fill_record.h"

#include "check_input.h"
#include "printf_format.h"
#include "text_sizes.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

const char* const fill_record_name = "sprayl-fill.txt";
const char* const fill_record_new_name = "sprayl-fill.new";

const char* const fill_end_words[fill_end_count] = {"running", "complete", "interrupted",
                                                    "stopped early", "failed"};

namespace {

const char first_line[] = "sprayl-check fill record, version 1\n";

// A record is a few lines for each size of file; more than this is not one.
constexpr size_t most_record_bytes = 64 * 1024;
// Every record fits: its lines of sizes are at most 50 bytes each, the
// others 1,600 in all.
static_assert(max_file_runs * 50 + 1600 < most_record_bytes, "a record fits its text");

// CRC-32 (IEEE 802.3, as zlib computes it) of size bytes.
uint32_t crc32_of(const char* bytes, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= static_cast<unsigned char>(bytes[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// Appends to text as snprintf would; *used stays past capacity once it no
// longer fits.
void append(char* text, size_t capacity, size_t* used, const char* format, ...) PRINTF_FORMAT(4, 5);

void append(char* text, size_t capacity, size_t* used, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int wrote =
        *used < capacity ? std::vsnprintf(text + *used, capacity - *used, format, arguments) : 0;
    va_end(arguments);
    *used += wrote > 0 ? static_cast<size_t>(wrote) : 0;
}

// ---- Reading the lines ----

struct LineReader {
    FillRecord* record;
    bool seen_run;
    bool seen_end;
    uint64_t bytes_written;
    bool seen_bytes;
};

bool read_number(const char* text, uint64_t* value) {
    if (*text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long number = std::strtoull(text, &end, 10);
    *value = number;
    return errno != ERANGE && *end == '\0';
}

bool read_run(const char* text, unsigned char* run) {
    if (std::strlen(text) != 2 * header_bytes) {
        return false;
    }
    for (uint32_t i = 0; i < header_bytes; ++i) {
        unsigned value = 0;
        if (std::sscanf(text + 2 * i, "%2x", &value) != 1 ||
            std::strchr("0123456789abcdef", text[2 * i]) == nullptr ||
            std::strchr("0123456789abcdef", text[2 * i + 1]) == nullptr) {
            return false;
        }
        run[i] = static_cast<unsigned char>(value);
    }
    return true;
}

// "file 7: 4194304" or "files 8 to 20: 1073741824 each".
bool read_files_line(const char* line, FillRecord* record) {
    unsigned first = 0;
    unsigned last = 0;
    unsigned long long size = 0;
    int used = 0;
    if (std::sscanf(line, "file %u: %llu%n", &first, &size, &used) == 2 && line[used] == '\0') {
        last = first;
    } else if (std::sscanf(line, "files %u to %u: %llu each%n", &first, &last, &size, &used) != 3 ||
               line[used] != '\0' || last <= first) {
        return false;
    }
    uint32_t expected = record_file_count(record) + 1;
    if (first != expected || size == 0) {
        return false;
    }
    for (uint32_t number = first; number <= last; ++number) {
        if (!record_add_file(record, number, size)) {
            return false;
        }
    }
    return true;
}

// One "key: value" line; false where it is not one a record holds.
bool read_line(const char* line, LineReader* reader) {
    FillRecord* record = reader->record;
    const char* colon = std::strstr(line, ": ");
    if (colon == nullptr) {
        return false;
    }
    const char* value = colon + 2;
    size_t key_length = static_cast<size_t>(colon - line);
    auto key_is = [line, key_length](const char* key) {
        return std::strlen(key) == key_length && std::strncmp(line, key, key_length) == 0;
    };
    if (key_is("run")) {
        reader->seen_run = read_run(value, record->run);
        return reader->seen_run;
    }
    if (key_is("largest file")) {
        return read_number(value, &record->file_size);
    }
    if (key_is("drive size")) {
        return read_number(value, &record->drive_bytes);
    }
    if (key_is("fill bytes there at the start")) {
        return read_number(value, &record->bytes_there);
    }
    if (key_is("free bytes at the start")) {
        return read_number(value, &record->free_bytes);
    }
    if (key_is("free files at the start")) {
        record->free_files = no_file_limit;
        return std::strcmp(value, "no limit") == 0 || read_number(value, &record->free_files);
    }
    if (key_is("outcome")) {
        for (int end = 0; end < fill_end_count; ++end) {
            if (std::strcmp(value, fill_end_words[end]) == 0) {
                record->end = static_cast<FillEnd>(end);
                reader->seen_end = true;
            }
        }
        return reader->seen_end;
    }
    if (key_is("why")) {
        std::snprintf(record->end_reason, sizeof record->end_reason, "%s", value);
        return true;
    }
    if (key_is("padding")) {
        return std::strspn(value, ".") == std::strlen(value);
    }
    if (key_is("bytes written")) {
        reader->seen_bytes = read_number(value, &reader->bytes_written);
        return reader->seen_bytes;
    }
    return read_files_line(line, record);
}

// Reads the whole file name in directory into text, up to capacity bytes;
// its length, or -1 with the error (0 where there was no memory to read
// with).
int64_t read_small_file(const OpenDirectory* directory, const char* name, char* text,
                        size_t capacity, int* error) {
    static unsigned char* buffer = aligned_buffer(most_record_bytes + 4096);
    if (buffer == nullptr) {
        *error = 0;
        return -1;
    }
    char path[path_capacity];
    file_path_in(directory->path, name, path, sizeof path);
    OpenInput input = {};
    input.path = path;
    *error = open_input_in(directory, name, &input);
    size_t got = 0;
    while (*error == 0 && got < capacity) {
        // Reads around the cache take whole pages at page offsets.
        int64_t read = read_input(&input, buffer + got, most_record_bytes + 4096 - got, got, error);
        if (read > 0) {
            got += static_cast<size_t>(read);
        } else if (read == 0) {
            break;
        } else if (error_is_misalignment(*error) && input.around_cache) {
            *error = reopen_through_cache(&input);
        } else if (!error_is_interruption(*error)) {
            break;
        } else {
            *error = 0;
        }
    }
    close_input(&input);
    if (*error != 0) {
        return -1;
    }
    got = got < capacity ? got : capacity;
    std::memcpy(text, buffer, got);
    return static_cast<int64_t>(got);
}

// Writes all of text to file. False with the error, or with *full where
// a write took nothing.
bool write_all(intptr_t file, const char* text, size_t length, int* error, bool* full) {
    size_t done = 0;
    *error = 0;
    *full = false;
    while (done < length) {
        int64_t wrote = write_file(file, reinterpret_cast<const unsigned char*>(text) + done,
                                   length - done, error);
        if (wrote > 0) {
            done += static_cast<size_t>(wrote);
        } else if (wrote == 0 || error_is_full(*error)) {
            *full = true;
            return false;
        } else if (!error_is_interruption(*error)) {
            return false;
        }
    }
    return true;
}

// Writes the record over the old one, in its place.
int write_in_place(const OpenDirectory* directory, const char* text, size_t length) {
    int error = 0;
    intptr_t file = open_for_writing_in(directory, fill_record_name, &error);
    if (file == 0) {
        return error;
    }
    bool full = false;
    if (write_all(file, text, length, &error, &full)) {
        error = cut_file(file, length);
    }
    int flushed = flush_and_close(file);
    return error != 0 ? error : flushed;
}

// Room for a record's text, made where it is needed: a record is read or
// written a few times a fill file, beside writes of megabytes.
std::vector<char> record_room() {
    return std::vector<char>(most_record_bytes + 1);
}

} // namespace

void start_fill_record(FillRecord* record, const unsigned char* run_bytes, uint64_t file_size,
                       uint64_t drive_bytes, uint64_t free_bytes, uint64_t free_files) {
    std::memset(record, 0, sizeof *record);
    std::memcpy(record->run, run_bytes, header_bytes);
    record->file_size = file_size;
    record->drive_bytes = drive_bytes;
    record->free_bytes = free_bytes;
    record->free_files = free_files;
    record->end = fill_running;
}

uint32_t record_file_count(const FillRecord* record) {
    return record->run_count == 0 ? 0 : record->runs[record->run_count - 1].last;
}

uint64_t record_file_size(const FillRecord* record, uint32_t number) {
    for (uint32_t i = 0; i < record->run_count; ++i) {
        if (number >= record->runs[i].first && number <= record->runs[i].last) {
            return record->runs[i].size;
        }
    }
    return 0;
}

uint64_t record_bytes(const FillRecord* record) {
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < record->run_count; ++i) {
        const FileRun& run = record->runs[i];
        bytes += run.size * (run.last - run.first + 1);
    }
    return bytes;
}

bool record_add_file(FillRecord* record, uint32_t number, uint64_t size) {
    if (record->run_count > 0 && record->runs[record->run_count - 1].size == size) {
        record->runs[record->run_count - 1].last = number;
        return true;
    }
    if (record->run_count == max_file_runs) {
        return false;
    }
    record->runs[record->run_count++] = {number, number, size};
    return true;
}

void record_keep_files(FillRecord* record, uint32_t files, uint64_t last_size) {
    while (record->run_count > 0 && record->runs[record->run_count - 1].first > files) {
        --record->run_count;
    }
    if (files == 0) {
        record->run_count = 0;
        return;
    }
    // The files before the last as they are; the last (listed or not) anew.
    FileRun* last = record->run_count > 0 ? &record->runs[record->run_count - 1] : nullptr;
    if (last != nullptr && last->last >= files) {
        last->last = files - 1;
        record->run_count -= last->last < last->first ? 1 : 0;
    }
    record_add_file(record, files, last_size);
}

size_t format_fill_record(const FillRecord* record, char* text, size_t capacity) {
    size_t used = 0;
    append(text, capacity, &used, "%s", first_line);
    append(text, capacity, &used, "run: ");
    for (uint32_t i = 0; i < header_bytes; ++i) {
        append(text, capacity, &used, "%02x", record->run[i]);
    }
    append(text, capacity, &used,
           "\nlargest file: %" PRIu64 "\ndrive size: %" PRIu64
           "\nfill bytes there at the start: %" PRIu64 "\nfree bytes at the start: %" PRIu64 "\n",
           record->file_size, record->drive_bytes, record->bytes_there, record->free_bytes);
    if (record->free_files == no_file_limit) {
        append(text, capacity, &used, "free files at the start: no limit\n");
    } else {
        append(text, capacity, &used, "free files at the start: %" PRIu64 "\n", record->free_files);
    }
    for (uint32_t i = 0; i < record->run_count; ++i) {
        const FileRun& run = record->runs[i];
        if (run.first == run.last) {
            append(text, capacity, &used, "file %" PRIu32 ": %" PRIu64 "\n", run.first, run.size);
        } else {
            append(text, capacity, &used, "files %" PRIu32 " to %" PRIu32 ": %" PRIu64 " each\n",
                   run.first, run.last, run.size);
        }
    }
    append(text, capacity, &used, "outcome: %s\n", fill_end_words[record->end]);
    if (record->end_reason[0] != '\0') {
        // One line: a reason never breaks the record's lines.
        char reason[sizeof record->end_reason];
        std::snprintf(reason, sizeof reason, "%s", record->end_reason);
        for (char* c = reason; *c != '\0'; ++c) {
            *c = *c == '\n' || *c == '\r' ? ' ' : *c;
        }
        append(text, capacity, &used, "why: %s\n", reason);
    }
    append(text, capacity, &used, "bytes written: %" PRIu64 "\n", record_bytes(record));
    // "padding: ...\n" and the checksum line fill the last unit.
    const size_t padding_line = 10;
    const size_t checksum_line = 16;
    size_t padded = (used + padding_line + checksum_line + fill_record_unit - 1) /
                    fill_record_unit * fill_record_unit;
    append(text, capacity, &used, "padding: ");
    for (size_t i = used + 1 + checksum_line; i < padded && used < capacity; ++i) {
        text[used++] = '.';
    }
    append(text, capacity, &used, "\n");
    size_t covered = used;
    append(text, capacity, &used, "crc32: %08" PRIx32 "\n",
           used < capacity ? crc32_of(text, covered) : 0);
    return used < capacity ? used : 0;
}

RecordState parse_fill_record(const char* text, size_t length, FillRecord* record, char* why,
                              size_t capacity) {
    std::memset(record, 0, sizeof *record);
    auto damaged = [why, capacity](const char* reason) {
        std::snprintf(why, capacity, "%s", reason);
        return record_damaged;
    };
    if (!looks_like_fill_record(text, length)) {
        return damaged("it does not begin as a fill record does");
    }
    // The checksum line is the last: "crc32: xxxxxxxx\n".
    const size_t checksum_line = 16;
    if (length < sizeof first_line - 1 + checksum_line || text[length - 1] != '\n' ||
        std::strncmp(text + length - checksum_line, "crc32: ", 7) != 0) {
        return damaged("it ends before its checksum: it was cut short");
    }
    char written_crc[9];
    std::memcpy(written_crc, text + length - checksum_line + 7, 8);
    written_crc[8] = '\0';
    char computed_crc[9];
    std::snprintf(computed_crc, sizeof computed_crc, "%08" PRIx32,
                  crc32_of(text, length - checksum_line));
    if (std::strcmp(written_crc, computed_crc) != 0) {
        return damaged("its checksum does not match its lines: it was changed or damaged");
    }
    LineReader reader = {record, false, false, 0, false};
    const char* at = text + sizeof first_line - 1;
    const char* end = text + length - checksum_line;
    while (at < end) {
        const char* line_end =
            static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
        static char line[most_record_bytes + 1]; // the padding's is long
        size_t line_length = static_cast<size_t>(line_end - at);
        std::memcpy(line, at, line_length);
        line[line_length] = '\0';
        if (std::memchr(line, '\0', line_length) != nullptr || !read_line(line, &reader)) {
            std::snprintf(why, capacity, "a line cannot be read: \"%.200s\"", line);
            return record_damaged;
        }
        at = line_end + 1;
    }
    if (!reader.seen_run || !reader.seen_end || !reader.seen_bytes) {
        return damaged("it lacks the run, the outcome or the bytes written");
    }
    if (reader.bytes_written != record_bytes(record)) {
        return damaged("its bytes written are not the sum of its files' sizes");
    }
    return record_read;
}

bool looks_like_fill_record(const char* text, size_t length) {
    return length >= sizeof first_line - 1 &&
           std::memcmp(text, first_line, sizeof first_line - 1) == 0;
}

RecordState read_fill_record(const OpenDirectory* directory, FillRecord* record, char* why,
                             size_t capacity) {
    PathStatus status = {};
    int error = 0;
    if (!status_in(directory, fill_record_name, &status, &error)) {
        if (error_is_not_found(error)) {
            return record_absent;
        }
        char text[error_text_capacity];
        error_text(error, text, sizeof text);
        std::snprintf(why, capacity, "%s", text);
        return record_unreadable;
    }
    if (status.is_directory || status.size > most_record_bytes) {
        std::snprintf(why, capacity, "it is %s", status.is_directory ? "a directory" : "too large");
        return record_damaged;
    }
    std::vector<char> record_text = record_room();
    int64_t length =
        read_small_file(directory, fill_record_name, record_text.data(), most_record_bytes, &error);
    if (length < 0) {
        char text[error_text_capacity] = "no memory to read it";
        if (error != 0) {
            error_text(error, text, sizeof text);
        }
        std::snprintf(why, capacity, "%s", text);
        return record_unreadable;
    }
    return parse_fill_record(record_text.data(), static_cast<size_t>(length), record, why,
                             capacity);
}

bool record_file_is_own(const OpenDirectory* directory, const char* name, char* why,
                        size_t capacity) {
    PathStatus status = {};
    int error = 0;
    if (!status_in(directory, name, &status, &error)) {
        return true; // nothing there
    }
    int64_t length = -1;
    std::vector<char> record_text = record_room();
    if (!status.is_directory && status.size <= most_record_bytes) {
        length = read_small_file(directory, name, record_text.data(), most_record_bytes, &error);
    }
    if (length < 0 || !looks_like_fill_record(record_text.data(), static_cast<size_t>(length))) {
        std::snprintf(why, capacity, "%s is not a fill record that sprayl-check wrote", name);
        return false;
    }
    return true;
}

int write_fill_record(const OpenDirectory* directory, const FillRecord* record) {
    // Always fits (most_record_bytes).
    std::vector<char> room = record_room();
    const char* record_text = room.data();
    size_t length = format_fill_record(record, room.data(), room.size());
    int error = 0;
    PathStatus status = {};
    if (status_in(directory, fill_record_name, &status, &error) && !status.is_directory &&
        status.size == length) {
        return write_in_place(directory, record_text, length);
    }
    bool full = false;
    intptr_t file = create_file_in(directory, fill_record_new_name, &error);
    if (file != 0) {
        bool written = write_all(file, record_text, length, &error, &full);
        int flushed = flush_and_close(file);
        if (written && flushed == 0) {
            return replace_file_in(directory, fill_record_new_name, fill_record_name);
        }
        error = error != 0 ? error : flushed;
        full = full || error_is_full(flushed);
        remove_file_in(directory, fill_record_new_name);
    }
    return full || error_is_full(error) ? write_in_place(directory, record_text, length) : error;
}
