#include "output_file.h"

#include "system.h"

#include <cerrno>
#include <cstring>

namespace {

// The bytes of an existing file that are read to know an earlier
// document by.
constexpr size_t start_bytes = 4096;
// The most directories above a target that are held against the
// directories the run reads.
constexpr int deepest = 64;
// The most names tried for the new file beside a target.
constexpr int temporary_names = 16;

bool is_standard_output(const char* path) {
    return std::strcmp(path, "-") == 0;
}

bool same_file(const FileIdentity& a, const FileIdentity& b) {
    return a.known && b.known && a.volume == b.volume && a.index == b.index;
}

void say_cannot_write(const char* path, int error, char* message, size_t capacity) {
    char text[error_text_capacity];
    error_text(error, text, sizeof text);
    std::snprintf(message, capacity, "cannot write \"%s\": %s", path, text);
}

void refuse(const OutputTarget* target, const char* reason, char* message, size_t capacity) {
    std::snprintf(message, capacity, "refusing to write the %s over \"%s\": %s", target->what,
                  target->path, reason);
}

// The first bytes of the file at path, into text; how many, or -1 when it
// cannot be read.
int64_t read_start(const char* path, char* text) {
    static unsigned char* buffer = aligned_buffer(start_bytes);
    OpenInput input = {};
    int error = buffer != nullptr ? open_input(path, &input) : ENOMEM;
    int64_t got = -1;
    if (error == 0) {
        got = read_input(&input, buffer, start_bytes, 0, &error);
        if (got < 0 && error_is_misalignment(error) && reopen_through_cache(&input) == 0) {
            got = read_input(&input, buffer, start_bytes, 0, &error);
        }
    }
    close_input(&input);
    if (got > 0) {
        std::memcpy(text, buffer, static_cast<size_t>(got));
    }
    return got;
}

// Whether the file at the target's path may be replaced: an earlier
// document of its kind, or an empty file.
bool may_replace(const OutputTarget* target, const FileIdentity& found, char* message,
                 size_t capacity) {
    static char start[start_bytes];
    int64_t got = 0;
    switch (found.kind) {
    case file_kind_stream:
        refuse(target, "it is a pipe or a device", message, capacity);
        return false;
    case file_kind_directory:
        refuse(target, "it is a directory", message, capacity);
        return false;
    case file_kind_device:
        refuse(target, "it is a drive", message, capacity);
        return false;
    case file_kind_regular:
        got = found.size > 0 ? read_start(target->path, start) : 0;
        if (got == 0 || (got > 0 && target->is_own(start, static_cast<size_t>(got)))) {
            return true;
        }
        break;
    }
    char reason[160];
    std::snprintf(reason, sizeof reason,
                  "it is no earlier %s of sprayl-check (%s takes the name of a file of its own)",
                  target->what, target->option);
    refuse(target, reason, message, capacity);
    return false;
}

// The directories that hold path, from its own upwards; how many.
int directories_above(const char* path, FileIdentity* found) {
    char directory[4096 + 4 * deepest];
    parent_directory(path, directory, sizeof directory);
    int count = 0;
    const char up[] = {path_separator, '.', '.', '\0'};
    while (count < deepest) {
        int error = 0;
        if (!file_identity(directory, &found[count], &error) ||
            (count > 0 && same_file(found[count], found[count - 1]))) {
            break; // the root is its own parent
        }
        ++count;
        size_t length = std::strlen(directory);
        if (length + sizeof up > sizeof directory) {
            break;
        }
        std::memcpy(directory + length, up, sizeof up);
    }
    return count;
}

// Whether the target may be written, as far as what is at its path and
// what the run reads tell.
bool target_allowed(const OutputTarget* target, const char* const* reads, size_t read_count,
                    char* message, size_t capacity) {
    FileIdentity found = {};
    int error = 0;
    bool exists = file_identity(target->path, &found, &error);
    if (!exists && !error_is_not_found(error)) {
        say_cannot_write(target->path, error, message, capacity);
        return false;
    }
    FileIdentity above[deepest];
    int levels = directories_above(target->path, above);
    for (size_t i = 0; i < read_count; ++i) {
        FileIdentity read = {};
        if (!file_identity(reads[i], &read, &error)) {
            continue; // nothing there, so nothing to write over
        }
        if (exists && same_file(found, read)) {
            refuse(target, "this run checks it", message, capacity);
            return false;
        }
        for (int level = 0; level < levels && read.kind == file_kind_directory; ++level) {
            if (same_file(above[level], read)) {
                std::snprintf(message, capacity,
                              "refusing to write the %s to \"%s\": it lies in the fill directory"
                              " \"%s\"",
                              target->what, target->path, reads[i]);
                return false;
            }
        }
    }
    // A stream (a pipe, /dev/null) takes the document as it comes.
    return !exists || found.kind == file_kind_stream ||
           may_replace(target, found, message, capacity);
}

// The last name of path.
const char* last_name(const char* path) {
    const char* name = path;
    for (const char* at = path; *at != '\0'; ++at) {
        if (*at == '/' || *at == path_separator) {
            name = at + 1;
        }
    }
    return name;
}

// Whether a and b name the same file: one that is there, or the same name
// in the same directory.
bool same_target(const OutputTarget* a, const OutputTarget* b) {
    if (std::strcmp(a->path, b->path) == 0) {
        return true;
    }
    FileIdentity found_a = {};
    FileIdentity found_b = {};
    int error = 0;
    bool a_exists = file_identity(a->path, &found_a, &error);
    bool b_exists = file_identity(b->path, &found_b, &error);
    if (a_exists || b_exists) {
        return a_exists && b_exists && same_file(found_a, found_b);
    }
    char directory_a[path_capacity];
    char directory_b[path_capacity];
    parent_directory(a->path, directory_a, sizeof directory_a);
    parent_directory(b->path, directory_b, sizeof directory_b);
    return std::strcmp(last_name(a->path), last_name(b->path)) == 0 &&
           file_identity(directory_a, &found_a, &error) &&
           file_identity(directory_b, &found_b, &error) && same_file(found_a, found_b);
}

// Writes the buffer out; the first error is kept, and later text dropped.
void write_buffer(OutputFile* output) {
    size_t done = 0;
    while (done < output->used && output->error == 0) {
        if (output->file == 0) {
            size_t wrote = std::fwrite(output->buffer + done, 1, output->used - done, stdout);
            output->error = wrote == output->used - done ? 0 : (errno != 0 ? errno : EIO);
            done += wrote;
            continue;
        }
        int error = 0;
        int64_t wrote =
            write_file(output->file, reinterpret_cast<unsigned char*>(output->buffer) + done,
                       output->used - done, &error);
        if (wrote > 0) {
            done += static_cast<size_t>(wrote);
        } else if (wrote < 0 && error_is_interruption(error)) {
            continue;
        } else {
            output->error = wrote == 0 ? EIO : error;
        }
    }
    output->used = 0;
}

// Creates the new file beside the target's path, under the first free name
// of path.partial, path.partial2, ...; 0 when none can be made.
intptr_t create_beside(OutputFile* output, int* error) {
    for (int n = 1; n <= temporary_names; ++n) {
        char number[16] = "";
        if (n > 1) {
            std::snprintf(number, sizeof number, "%d", n);
        }
        std::snprintf(output->temporary, sizeof output->temporary, "%s.partial%s",
                      output->target->path, number);
        intptr_t file = create_new_file(output->temporary, error);
        if (file != 0) {
            return file;
        }
    }
    output->temporary[0] = '\0';
    return 0;
}

// Ends a document that failed: no part of it is left.
bool discard(OutputFile* output) {
    if (output->temporary[0] != '\0') {
        remove_file(output->temporary);
        output->temporary[0] = '\0';
    }
    return false;
}

} // namespace

bool outputs_allowed(const OutputTarget* targets, size_t count, const char* const* reads,
                     size_t read_count, char* message, size_t capacity) {
    for (size_t i = 0; i < count; ++i) {
        const OutputTarget* target = &targets[i];
        if (target->path == nullptr || is_standard_output(target->path)) {
            continue;
        }
        for (size_t k = 0; k < i; ++k) {
            if (targets[k].path != nullptr && !is_standard_output(targets[k].path) &&
                same_target(&targets[k], target)) {
                std::snprintf(message, capacity,
                              "refusing to write the %s and the %s to the same file \"%s\"",
                              targets[k].what, target->what, target->path);
                return false;
            }
        }
    }
    for (size_t i = 0; i < count; ++i) {
        const OutputTarget* target = &targets[i];
        if (target->path != nullptr && !is_standard_output(target->path) &&
            !target_allowed(target, reads, read_count, message, capacity)) {
            return false;
        }
    }
    return true;
}

bool output_open(OutputFile* output, const OutputTarget* target, char* message, size_t capacity) {
    output->target = target;
    output->file = 0;
    output->error = 0;
    output->used = 0;
    output->temporary[0] = '\0';
    if (is_standard_output(target->path)) {
        return true;
    }
    FileIdentity found = {};
    int error = 0;
    if (file_identity(target->path, &found, &error) && found.kind == file_kind_stream) {
        output->file = create_file(target->path, &error); // a pipe, /dev/null: as it is
    } else {
        output->file = create_beside(output, &error);
    }
    if (output->file == 0) {
        say_cannot_write(target->path, error, message, capacity);
        return false;
    }
    return true;
}

void output_text(void* context, const char* text) {
    OutputFile* output = static_cast<OutputFile*>(context);
    size_t length = std::strlen(text);
    while (length > 0) {
        if (output->used == sizeof output->buffer) {
            write_buffer(output);
        }
        size_t room = sizeof output->buffer - output->used;
        size_t piece = length < room ? length : room;
        std::memcpy(output->buffer + output->used, text, piece);
        output->used += piece;
        text += piece;
        length -= piece;
    }
}

bool output_close(OutputFile* output, char* message, size_t capacity) {
    const OutputTarget* target = output->target;
    write_buffer(output);
    int error = output->error;
    if (output->file == 0) {
        if (std::fflush(stdout) != 0 && error == 0) {
            error = errno != 0 ? errno : EIO;
        }
    } else {
        int closed =
            output->temporary[0] != '\0' ? flush_and_close(output->file) : close_file(output->file);
        error = error != 0 ? error : closed;
        output->file = 0;
    }
    if (error != 0) {
        say_cannot_write(target->path, error, message, capacity);
        return discard(output);
    }
    if (output->temporary[0] == '\0') {
        return true;
    }
    // What is at the path now may have come there during the run.
    FileIdentity found = {};
    if (file_identity(target->path, &found, &error) &&
        !may_replace(target, found, message, capacity)) {
        return discard(output);
    }
    error = rename_file(output->temporary, target->path);
    if (error != 0) {
        say_cannot_write(target->path, error, message, capacity);
        return discard(output);
    }
    output->temporary[0] = '\0';
    return true;
}
