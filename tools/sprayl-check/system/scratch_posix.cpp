// sprayl-check's system layer on POSIX systems: the reads and writes at an
// offset of a scratch file that measures a drive, its flush, and threads
// that run side by side for a deeper queue. The file itself is made
// through its directory (directory_posix.cpp).
#include "system.h"

#include "descriptor_posix.h"

#include <cerrno>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// What one thread of run_side_by_side runs.
struct SideWork {
    void (*work)(void* context, unsigned index);
    void* context;
    unsigned index;
};

void* run_side_work(void* side) {
    SideWork* work = static_cast<SideWork*>(side);
    work->work(work->context, work->index);
    return nullptr;
}

} // namespace

int64_t write_at(intptr_t file, const unsigned char* data, size_t size, uint64_t offset,
                 int* error) {
    ssize_t written = pwrite(descriptor(file), data, size, static_cast<off_t>(offset));
    if (written < 0) {
        *error = errno;
    }
    return written;
}

int64_t read_at(intptr_t file, unsigned char* buffer, size_t size, uint64_t offset, int* error) {
    ssize_t got = pread(descriptor(file), buffer, size, static_cast<off_t>(offset));
    if (got < 0) {
        *error = errno;
    }
    return got;
}

int flush_file(intptr_t file) {
    int fd = descriptor(file);
    if (fdatasync(fd) != 0) {
        return errno;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    return 0;
}

unsigned run_side_by_side(unsigned count, void (*work)(void* context, unsigned index),
                          void* context) {
    pthread_t threads[most_side_by_side];
    SideWork works[most_side_by_side];
    unsigned made = 0;
    for (; made < count && made < most_side_by_side; ++made) {
        works[made] = {work, context, made};
        if (pthread_create(&threads[made], nullptr, run_side_work, &works[made]) != 0) {
            break;
        }
    }
    for (unsigned i = 0; i < made; ++i) {
        pthread_join(threads[i], nullptr);
    }
    return made;
}
