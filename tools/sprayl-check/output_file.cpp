#include "output_file.h"

#include "system.h"

#include <cerrno>
#include <cstring>

namespace {

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

} // namespace

int output_open(OutputFile* output, const char* path) {
    output->file = 0;
    output->error = 0;
    output->used = 0;
    if (std::strcmp(path, "-") == 0) {
        return 0;
    }
    int error = 0;
    output->file = create_file(path, &error);
    return output->file == 0 ? error : 0;
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

int output_close(OutputFile* output) {
    write_buffer(output);
    if (output->file == 0) {
        if (std::fflush(stdout) != 0 && output->error == 0) {
            output->error = errno != 0 ? errno : EIO;
        }
        return output->error;
    }
    int error = flush_and_close(output->file);
    output->file = 0;
    return output->error != 0 ? output->error : error;
}
