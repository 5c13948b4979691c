#include "read_many_linux.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/aio_abi.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Requests in flight at once, and the bytes they may hold together.
constexpr size_t most_in_flight = 32;
constexpr size_t in_flight_bytes = size_t{16} << 20;

// One piece at a time, where there is no asynchronous I/O.
void read_one_by_one(ManyReads* reads, int fd, const uint64_t* offsets, size_t count, size_t length,
                     unsigned char* out, bool* ok) {
    for (size_t k = 0; k < count; ++k) {
        ssize_t got = pread(fd, reads->buffer, length, static_cast<off_t>(offsets[k]));
        ok[k] = got == static_cast<ssize_t>(length);
        if (ok[k]) {
            std::memcpy(out + k * length, reads->buffer, length);
        }
    }
}

// Submits the requests and waits for every one submitted; results[k] gets
// request k's result. Returns how many the kernel took (the first ones).
size_t submit_and_wait(aio_context_t context, iocb* requests, size_t count, int64_t* results) {
    iocb* pointers[most_in_flight];
    for (size_t k = 0; k < count; ++k) {
        pointers[k] = &requests[k];
    }
    size_t submitted = 0;
    while (submitted < count) {
        long taken = syscall(SYS_io_submit, context, static_cast<long>(count - submitted),
                             pointers + submitted);
        if (taken <= 0) {
            break;
        }
        submitted += static_cast<size_t>(taken);
    }
    io_event events[most_in_flight];
    size_t done = 0;
    while (done < submitted) {
        long got = syscall(SYS_io_getevents, context, 1L, static_cast<long>(submitted - done),
                           events, nullptr);
        if (got < 0) {
            continue; // interrupted by a signal: the requests are still in flight
        }
        for (long e = 0; e < got; ++e) {
            results[events[e].data] = events[e].res;
        }
        done += static_cast<size_t>(got);
    }
    return submitted;
}

} // namespace

bool start_many_reads(ManyReads* reads) {
    *reads = {0, nullptr};
    void* aligned = nullptr;
    if (posix_memalign(&aligned, 4096, in_flight_bytes) != 0) {
        return false;
    }
    reads->buffer = static_cast<unsigned char*>(aligned);
    aio_context_t context = 0;
    if (syscall(SYS_io_setup, static_cast<long>(most_in_flight), &context) == 0) {
        reads->context = context;
    }
    return true;
}

void end_many_reads(ManyReads* reads) {
    if (reads->context != 0) {
        syscall(SYS_io_destroy, static_cast<aio_context_t>(reads->context));
    }
    std::free(reads->buffer);
    *reads = {0, nullptr};
}

void read_many(ManyReads* reads, int fd, const uint64_t* offsets, size_t count, size_t length,
               unsigned char* out, bool* ok) {
    if (reads->context == 0) {
        read_one_by_one(reads, fd, offsets, count, length, out, ok);
        return;
    }
    size_t batch = std::min(most_in_flight, std::max<size_t>(1, in_flight_bytes / length));
    for (size_t first = 0; first < count; first += batch) {
        size_t pieces = std::min(batch, count - first);
        iocb requests[most_in_flight];
        std::memset(requests, 0, sizeof requests);
        for (size_t k = 0; k < pieces; ++k) {
            requests[k].aio_lio_opcode = IOCB_CMD_PREAD;
            requests[k].aio_fildes = static_cast<uint32_t>(fd);
            requests[k].aio_buf = reinterpret_cast<uintptr_t>(reads->buffer + k * length);
            requests[k].aio_nbytes = length;
            requests[k].aio_offset = static_cast<int64_t>(offsets[first + k]);
            requests[k].aio_data = k;
        }
        int64_t results[most_in_flight];
        size_t submitted = submit_and_wait(reads->context, requests, pieces, results);
        for (size_t k = 0; k < submitted; ++k) {
            ok[first + k] = results[k] == static_cast<int64_t>(length);
            if (ok[first + k]) {
                std::memcpy(out + (first + k) * length, reads->buffer + k * length, length);
            }
        }
        // What the kernel did not take is read one by one: not taken is not
        // a failure of the drive.
        read_one_by_one(reads, fd, offsets + first + submitted, pieces - submitted, length,
                        out + (first + submitted) * length, ok + first + submitted);
    }
}
