#include "fill.h"

#include "check_input.h"
#include "damage_kinds.h"
#include "stream_position.h"

#include "system.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// The smallest first fill file, where --file-size is larger.
constexpr uint64_t first_file_bytes = uint64_t{1} << 20;

// The generated stream, handed out in pieces of any size: a file may end
// in the middle of a block, and the next file continues there.
struct StreamSource {
    GeneratorState state;
    unsigned char* buffer; // of fill_stream_bytes
    size_t used;           // bytes of buffer already written
};

// The next bytes of the stream, at most limit of them; *size says how many.
const unsigned char* next_stream_bytes(StreamSource* source, uint64_t limit, size_t* size) {
    if (source->used == fill_stream_bytes) {
        for (size_t offset = 0; offset < fill_stream_bytes; offset += block_bytes) {
            fill_block(&source->state, source->buffer + offset);
        }
        source->used = 0;
    }
    size_t room = fill_stream_bytes - source->used;
    *size = limit < room ? static_cast<size_t>(limit) : room;
    return source->buffer + source->used;
}

// A source into buffer whose next byte is stream offset offset of the run
// from seed.
void start_source_at(StreamSource* source, unsigned char* buffer, const GeneratorState* seed,
                     uint64_t offset) {
    uint64_t block_start = offset / fill_stream_bytes * fill_stream_bytes;
    GeneratorState header_state = *seed;
    for (int i = 0; i < 4; ++i) {
        next_word(&header_state);
    }
    source->state = state_after_outputs(&header_state, block_start / 4);
    source->buffer = buffer;
    source->used = fill_stream_bytes;
    if (offset > block_start) {
        size_t size = 0;
        next_stream_bytes(source, offset - block_start, &size);
        source->used = static_cast<size_t>(offset - block_start);
    }
}

enum FileEnd { file_complete, file_system_full, file_interrupted, file_failed };

// Writes size bytes of data to file, around the cache while *direct:
// those writes go to the drive as they are made, one copy fewer and no
// cache to fill and flush (ext4 on a loop device took them at ten times
// the rate, bench/drive-speed). Data that is not whole aligned pages, a
// write refused around the cache, or one that found no room for its whole
// piece is written through the cache from then on, which also takes the
// last bytes that a full file system has room for. Returns as write_file.
int64_t write_fill_piece(intptr_t file, const unsigned char* data, size_t size, bool* direct,
                         int* error) {
    if (*direct && (reinterpret_cast<uintptr_t>(data) % 4096 != 0 || size % 4096 != 0)) {
        *direct = write_around_cache(file, false);
    }
    int64_t written = write_file(file, data, size, error);
    if (*direct && written < 0 && (error_is_misalignment(*error) || error_is_full(*error))) {
        *direct = write_around_cache(file, false);
        if (!*direct) {
            written = write_file(file, data, size, error);
        }
    }
    return written;
}

// Writes up to file_size bytes of the stream into file.
FileEnd fill_one_file(intptr_t file, uint64_t file_size, StreamSource* source, Progress* progress,
                      FillOutcome* outcome, int* error) {
    uint64_t left = file_size;
    bool direct = write_around_cache(file, true);
    while (left > 0) {
        if (stop_requested != 0) {
            return file_interrupted;
        }
        size_t size;
        double making = clock_seconds();
        const unsigned char* data = next_stream_bytes(source, left, &size);
        double call_started = clock_seconds(); // for the speed profile's stalls
        outcome->generating_seconds += call_started - making;
        int64_t written = write_fill_piece(file, data, size, &direct, error);
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

// Ends the fill with an error: what became of the directory where it is
// no longer in place, else what failed.
FillStop fail_at(const OpenDirectory* directory, const char* action, const char* path, int error,
                 char* message, size_t capacity) {
    if (directory_gone(directory, message, capacity)) {
        return stop_failed;
    }
    char text[error_text_capacity];
    error_text(error, text, sizeof text);
    std::snprintf(message, capacity, "cannot %s \"%s\": %s", action, path, text);
    return stop_failed;
}

// What the drive under directory did, after a write there failed with
// error: it stopped answering (no read of it answers), or turned
// read-only (it answers reads, the error was the device's, and the
// record, written again now, is refused too: so far as the fill can tell
// here; the check of what it took tells whether it kept it); else
// past_nothing, and the failure is the fill's error as before.
PastCapacity drive_event_at(const OpenDirectory* directory, const FillRecord* record, int error) {
    int state_error = 0;
    DirectoryState state = directory_state(directory, &state_error);
    if (state == directory_drive_gone) {
        return past_gone;
    }
    if (state != directory_in_place ||
        !(error_is_drive_failure(error) || error_is_write_protected(error))) {
        return past_nothing;
    }
    return write_fill_record(directory, record) != 0 ? past_read_only : past_nothing;
}

// Ends the fill where a write of path failed with error: on the drive's
// event where it turned read-only or stopped answering (bytes_before: the
// fill's bytes before the file), else as fail_at.
FillStop write_failed(const OpenDirectory* directory, const FillRecord* record, const char* action,
                      const char* path, int error, uint64_t bytes_before, FillOutcome* outcome,
                      char* message, size_t capacity) {
    PastCapacity event = drive_event_at(directory, record, error);
    if (event == past_nothing) {
        return fail_at(directory, action, path, error, message, capacity);
    }
    char text[error_text_capacity];
    error_text(error, text, sizeof text);
    // Taking no writes may also be a file system that broke; the check of
    // what the drive took tells the two apart.
    std::snprintf(message, capacity, "the drive under \"%s\" %s a write of \"%s\" (%s)",
                  directory->path,
                  event == past_gone ? "stopped answering at"
                                     : "took no more writes, the fill's record's neither, from",
                  path, text);
    outcome->event = event;
    outcome->bytes_before = bytes_before;
    return stop_drive_event;
}

// Ends the fill where the flush of path failed with error: on the drive's
// event where it stopped answering or took no more writes (only where
// event_possible), failed where the directory went away, else on the
// flush's failure, whose loss the check shows.
FillStop flush_failed(const OpenDirectory* directory, const FillRecord* record, const char* path,
                      int error, uint64_t bytes_before, bool event_possible, FillOutcome* outcome,
                      char* message, size_t capacity) {
    if (event_possible && write_failed(directory, record, "flush", path, error, bytes_before,
                                       outcome, message, capacity) == stop_drive_event) {
        return stop_drive_event;
    }
    if (directory_gone(directory, message, capacity)) {
        return stop_failed;
    }
    char text[error_text_capacity];
    error_text(error, text, sizeof text);
    std::snprintf(message, capacity, "cannot flush \"%s\": %s", path, text);
    std::snprintf(outcome->why, sizeof outcome->why, "%s", message);
    return stop_flush_failed;
}

// Writes the record. Where it cannot be written, the fill stops if the
// directory is gone (with message); otherwise it goes on, the first
// failure noted in outcome->record_error: the fill files are what is
// tested, and a file system that fails here shows in them too.
FillStop save_record(const OpenDirectory* directory, const FillRecord* record, FillOutcome* outcome,
                     char* message, size_t capacity) {
    int error = write_fill_record(directory, record);
    if (error == 0) {
        return stop_none;
    }
    if (directory_gone(directory, message, capacity)) {
        return stop_failed;
    }
    if (outcome->record_error[0] == '\0') {
        char text[error_text_capacity];
        char path[path_capacity];
        error_text(error, text, sizeof text);
        file_path_in(directory->path, fill_record_name, path, sizeof path);
        std::snprintf(outcome->record_error, sizeof outcome->record_error,
                      "cannot write the fill record \"%s\": %s", path, text);
    }
    return stop_none;
}

// Why the file system took no more: no more files, or no more bytes.
FillStop full_stop(const OpenDirectory* directory, bool creating, int error, FillOutcome* outcome) {
    char text[error_text_capacity];
    error_text(error, text, sizeof text);
    if (creating && free_files(directory->path) == 0) {
        std::snprintf(outcome->why, sizeof outcome->why,
                      "the file system made no more files: it has no free inodes left");
        return stop_no_more_files;
    }
    std::snprintf(outcome->why, sizeof outcome->why, "the file system took no more: %s",
                  error != 0 ? text : "a write took nothing");
    return creating ? stop_no_more_files : stop_full;
}

// Makes fill file number, only where nothing has its name.
intptr_t create_fill_file(const OpenDirectory* directory, const FillRecord* record, uint32_t number,
                          FillOutcome* outcome, FillStop* stop, char* message, size_t capacity) {
    char name[fill_name_capacity];
    char path[path_capacity];
    fill_file_name(number, name, sizeof name);
    fill_file_path(directory->path, number, path, sizeof path);
    int error = 0;
    intptr_t file = create_file_in(directory, name, &error);
    if (file != 0) {
        return file;
    }
    if (error_is_full(error)) {
        *stop = full_stop(directory, true, error, outcome);
    } else if (error_is_existing(error)) {
        std::snprintf(message, capacity,
                      "\"%s\" appeared while the fill was running: it is left as it is, and the"
                      " fill stops",
                      path);
        *stop = stop_failed;
    } else if (error_is_elsewhere(error)) {
        std::snprintf(message, capacity,
                      "\"%s\" was made on another file system than the one the fill began on:"
                      " it was removed again, and the fill stops",
                      path);
        *stop = stop_failed;
    } else {
        *stop = write_failed(directory, record, "create", path, error, outcome->bytes, outcome,
                             message, capacity);
    }
    return 0;
}

// Reads back pieces after a file; a piece that could not be read because
// the directory is gone ends the fill without blaming the drive.
FillStop read_back_after(FillWork* work, const OpenDirectory* directory, const FillPlan* plan,
                         FillStop stop, FillOutcome* outcome, char* message, size_t capacity) {
    ReadBack& read_back = work->read_back;
    double reading = clock_seconds();
    ReadBackResult result = read_back_files(&read_back, work->starts, outcome->files);
    outcome->read_back_seconds += clock_seconds() - reading;
    if (result == piece_not_read ||
        (result == piece_not_kept && read_back.finding.kind == damage_unreadable &&
         directory_gone(directory, message, capacity))) {
        if (result == piece_not_read && !directory_gone(directory, message, capacity)) {
            char text[error_text_capacity];
            error_text(read_back.error, text, sizeof text);
            std::snprintf(message, capacity, "cannot read \"%s\" back: %s", read_back.failed_path,
                          text);
        }
        return stop_failed;
    }
    if (result == piece_not_kept) {
        outcome->finding = read_back.finding;
        outcome->stopped_early = !plan->keep_going && stop == stop_none;
        if (!plan->keep_going && stop == stop_none) {
            char name[fill_name_capacity];
            fill_file_name(outcome->finding.file, name, sizeof name);
            std::snprintf(
                outcome->why, sizeof outcome->why,
                "a piece read back was not what was written: %s at offset %" PRIu64 " is %s", name,
                outcome->finding.file_offset, damage_kinds[outcome->finding.kind].name);
            return stop_sample;
        }
    }
    return stop;
}

// Writes the next fill file, flushes it and reads pieces back; what ends
// the fill, or stop_none.
FillStop fill_next_file(FillWork* work, const OpenDirectory* directory, const FillPlan* plan,
                        StreamSource* source, FillRecord* record, Progress* progress,
                        FillOutcome* outcome, char* message, size_t capacity) {
    if (outcome->files == max_inputs) {
        std::snprintf(outcome->why, sizeof outcome->why,
                      "the fill wrote the most files it writes, %u; a larger --file-size covers"
                      " more",
                      static_cast<unsigned>(max_inputs));
        return stop_file_limit;
    }
    uint32_t number = outcome->files + 1;
    FillStop stop = stop_none;
    intptr_t file = create_fill_file(directory, record, number, outcome, &stop, message, capacity);
    if (file == 0) {
        return stop;
    }
    char name[fill_name_capacity];
    char path[path_capacity];
    fill_file_name(number, name, sizeof name);
    fill_file_path(directory->path, number, path, sizeof path);
    uint64_t before = outcome->bytes;
    int error = 0;
    FileEnd end = fill_one_file(file, fill_file_limit(plan->file_size, number), source, progress,
                                outcome, &error);
    int flush_error = flush_and_close(file);
    progress_tick(progress, outcome->bytes, no_damage_count); // the flush's time, to its file
    if (end == file_failed) {
        stop = write_failed(directory, record, "write", path, error, before, outcome, message,
                            capacity);
        if (stop != stop_drive_event) {
            return stop;
        }
    }
    if (outcome->bytes == before) {
        // Not a byte went in: no file to check (on a drive that takes no
        // more writes, it may stay, empty).
        remove_file_in(directory, name);
        return stop == stop_drive_event  ? stop
               : end == file_interrupted ? stop_interrupted
                                         : full_stop(directory, false, error, outcome);
    }
    ++outcome->files;
    work->starts[outcome->files] = outcome->bytes;
    record_add_file(record, number, outcome->bytes - before);
    // What the drive took before it turned read-only or stopped answering
    // is checked with the rest, where it can still be read.
    if (stop == stop_drive_event) {
        return stop;
    }
    // A directory renamed or unmounted still takes the files made through
    // its handle; the fill stops there all the same, and says why.
    if (directory_gone(directory, message, capacity)) {
        return stop_failed;
    }
    stop = end == file_interrupted   ? stop_interrupted
           : end == file_system_full ? full_stop(directory, false, error, outcome)
                                     : stop_none;
    if (flush_error != 0 && error_is_full(flush_error)) {
        stop = full_stop(directory, false, flush_error, outcome);
    } else if (flush_error != 0) {
        stop = flush_failed(directory, record, path, flush_error, before, true, outcome, message,
                            capacity);
        if (stop == stop_failed || (stop == stop_drive_event && outcome->event == past_gone)) {
            return stop;
        }
    }
    if (stop != stop_interrupted && !outcome->finding.found) {
        stop = read_back_after(work, directory, plan, stop, outcome, message, capacity);
    }
    // A drive that lost what it was given broke its file system: the
    // samples' finding, not the writes it refused, is what the fill found.
    if (stop == stop_drive_event && outcome->finding.found) {
        outcome->event = past_nothing;
        stop = flush_failed(directory, record, path, flush_error, before, false, outcome, message,
                            capacity);
    }
    if (stop != stop_failed && stop != stop_drive_event &&
        save_record(directory, record, outcome, message, capacity) == stop_failed) {
        return stop_failed;
    }
    return stop;
}

// The record's outcome for how the fill stopped.
FillEnd end_of(FillStop stop) {
    switch (stop) {
    case stop_none:
        return fill_running;
    case stop_full:
    case stop_no_more_files:
    case stop_file_limit:
        return fill_complete;
    case stop_sample:
        return fill_stopped_early;
    case stop_interrupted:
        return fill_interrupted;
    case stop_flush_failed:
    case stop_drive_event:
    case stop_failed:
        break;
    }
    return fill_failed;
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

bool fill_directory(FillWork* work, const OpenDirectory* directory, const FillPlan* plan,
                    const GeneratorState* seed, FillRecord* record, Progress* progress,
                    FillOutcome* outcome, char* message, size_t capacity) {
    StreamSource source;
    start_source_at(&source, work->stream, seed, plan->bytes_there);
    uint64_t* starts = work->starts;
    std::memset(outcome, 0, sizeof *outcome);
    outcome->files = plan->files_there;
    outcome->bytes = plan->bytes_there;
    message[0] = '\0';
    if (!read_back_start(&work->read_back, directory, seed)) {
        std::snprintf(message, capacity, "no memory to read back with");
        return false;
    }
    starts[0] = 0;
    for (uint32_t i = 1; i < plan->files_there; ++i) {
        starts[i] = plan->starts_there[i];
    }
    starts[plan->files_there] = plan->bytes_there;
    double started = clock_seconds();
    FillStop stop = save_record(directory, record, outcome, message, capacity);
    while (stop == stop_none) {
        stop = fill_next_file(work, directory, plan, &source, record, progress, outcome, message,
                              capacity);
    }
    outcome->stop = stop;
    outcome->seconds = clock_seconds() - started;
    outcome->interrupted = stop == stop_interrupted;
    outcome->bytes_this_run = outcome->bytes - plan->bytes_there;
    outcome->pieces_read = work->read_back.pieces_read;
    if (stop == stop_failed || stop == stop_drive_event) {
        std::snprintf(outcome->why, sizeof outcome->why, "%s", message);
    } else if (stop == stop_interrupted) {
        std::snprintf(outcome->why, sizeof outcome->why,
                      "it was interrupted; --resume goes on from there");
    }
    record->end = end_of(stop);
    std::snprintf(record->end_reason, sizeof record->end_reason, "%s", outcome->why);
    // The record's last word; where the directory is gone, none can be had.
    if (stop == stop_failed || stop == stop_drive_event) {
        write_fill_record(directory, record);
        return stop == stop_drive_event;
    }
    return save_record(directory, record, outcome, message, capacity) != stop_failed;
}
