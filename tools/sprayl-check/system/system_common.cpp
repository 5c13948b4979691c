// The parts of the system layer that are the same on every system: the
// clock, and what is built from the layer's own calls.
#include "system.h"

#include "monotonic_clock.h"

// The monotonic clock of the platform's header, the one place that reads
// it.
double clock_seconds() {
    return monotonic_seconds();
}

int truncate_file_in(const OpenDirectory* directory, const char* name, uint64_t size) {
    int error = 0;
    intptr_t file = open_for_writing_in(directory, name, &error);
    if (file == 0) {
        return error;
    }
    error = cut_file(file, size);
    int flushed = flush_and_close(file);
    return error != 0 ? error : flushed;
}
