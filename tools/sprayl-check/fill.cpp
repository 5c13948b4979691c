#include "fill.h"

#include "check_input.h"
#include "stream_position.h"

#include "system.h"

#include <cstdio>
#include <cstring>

namespace {

// The stream is made this many bytes at a time, in whole blocks.
constexpr size_t stream_size = 64 * block_bytes;

unsigned char stream_buffer[stream_size];

// The smallest first fill file, where --file-size is larger.
constexpr uint64_t first_file_bytes = uint64_t{1} << 20;

// Where each fill file begins in the stream, and where the last one ends.
uint64_t starts[max_inputs + 1];

ReadBack read_back;

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

// A source whose next byte is stream offset offset of the run from seed.
void start_source_at(StreamSource* source, const GeneratorState* seed, uint64_t offset) {
    uint64_t block_start = offset / stream_size * stream_size;
    GeneratorState header_state = *seed;
    for (int i = 0; i < 4; ++i) {
        next_word(&header_state);
    }
    source->state = state_after_outputs(&header_state, block_start / 4);
    source->used = stream_size;
    if (offset > block_start) {
        size_t size = 0;
        next_stream_bytes(source, offset - block_start, &size);
        source->used = static_cast<size_t>(offset - block_start);
    }
}

enum FileEnd { file_complete, file_system_full, file_interrupted, file_failed };

// Writes up to file_size bytes of the stream into file.
FileEnd fill_one_file(intptr_t file, uint64_t file_size, StreamSource* source, Progress* progress,
                      FillOutcome* outcome, int* error) {
    uint64_t left = file_size;
    while (left > 0) {
        if (stop_requested != 0) {
            return file_interrupted;
        }
        size_t size;
        const unsigned char* data = next_stream_bytes(source, left, &size);
        double call_started = clock_seconds(); // for the speed profile's stalls
        int64_t written = write_file(file, data, size, error);
        progress_note_call(progress, outcome->bytes, clock_seconds() - call_started);
        if (written > 0) {
            source->used += static_cast<size_t>(written);
            left -= static_cast<uint64_t>(written);
            outcome->bytes += static_cast<uint64_t>(written);
            progress_tick(progress, outcome->bytes, no_damage_count);
        } else if (written == 0 || error_is_full(*error)) {
            return file_system_full;
        } else if (!error_is_interruption(*error)) {
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

uint64_t fill_file_limit(uint64_t file_size, uint32_t number) {
    uint64_t first = file_size / 64 > first_file_bytes ? file_size / 64 : first_file_bytes;
    uint64_t limit = first;
    for (uint32_t n = 1; n < number && limit < file_size; ++n) {
        limit *= 2;
    }
    return limit < file_size ? limit : file_size;
}

bool fill_allowed(const char* directory, char* message, size_t capacity) {
    if (holds_running_system(directory)) {
        std::snprintf(message, capacity,
                      "\"%s\" is on the file system of the running system: a fill would fill"
                      " the system's own disk; give the directory where the drive to test is"
                      " mounted",
                      directory);
        return false;
    }
    return true;
}

bool fill_directory(const char* directory, const FillPlan* plan, const GeneratorState* seed,
                    Progress* progress, FillOutcome* outcome, char* message, size_t capacity) {
    StreamSource source;
    start_source_at(&source, seed, plan->bytes_there);
    std::memset(outcome, 0, sizeof *outcome);
    outcome->files = plan->files_there;
    outcome->bytes = plan->bytes_there;
    if (!read_back_start(&read_back, directory, seed)) {
        std::snprintf(message, capacity, "no memory to read back with");
        return false;
    }
    starts[0] = 0;
    for (uint32_t i = 1; i < plan->files_there; ++i) {
        starts[i] = plan->starts_there[i];
    }
    starts[plan->files_there] = plan->bytes_there;
    double started = clock_seconds();
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
            if (error_is_full(error)) {
                break;
            }
            return report_error("create", path, error, message, capacity);
        }
        uint64_t before = outcome->bytes;
        uint64_t limit = fill_file_limit(plan->file_size, outcome->files + 1);
        end = fill_one_file(file, limit, &source, progress, outcome, &error);
        int flush_error = flush_and_close(file);
        progress_tick(progress, outcome->bytes, no_damage_count); // the flush's time, to its file
        if (end == file_failed) {
            return report_error("write", path, error, message, capacity);
        }
        if (outcome->bytes == before) {
            // Not a byte went in: no file to check.
            remove_file(path);
            break;
        }
        ++outcome->files;
        starts[outcome->files] = outcome->bytes;
        if (flush_error != 0) {
            // The filling ends here; what the device lost shows in the check.
            if (!error_is_full(flush_error)) {
                report_error("flush", path, flush_error, message, capacity);
            }
            end = file_system_full;
        }
        if (end != file_interrupted && !outcome->finding.found) {
            double reading = clock_seconds();
            if (!read_back_files(&read_back, starts, outcome->files)) {
                outcome->finding = read_back.finding;
                outcome->stopped_early = !plan->keep_going && end == file_complete;
                if (!plan->keep_going) {
                    end = file_system_full;
                }
            }
            outcome->read_back_seconds += clock_seconds() - reading;
        }
    }
    outcome->seconds = clock_seconds() - started;
    outcome->interrupted = end == file_interrupted;
    outcome->bytes_this_run = outcome->bytes - plan->bytes_there;
    outcome->pieces_read = read_back.pieces_read;
    return true;
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
