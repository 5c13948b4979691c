// Reads kept in flight for reading ahead (ReadQueue, system.h) on Linux:
// io_uring, read by raw system calls. The older asynchronous I/O
// (io_submit, as read_many_linux.cpp reads the probe's pieces) keeps the
// same pieces in flight, but its context takes a grace period of the
// kernel to end, at io_destroy or at the process's exit: 30 to 40 ms on a
// 2-core AMD EPYC with Linux 6.18, a tenth of a check of 2 GiB from a fast
// drive. io_uring's ends in the background.
#include "descriptor_posix.h"
#include "system.h"

#include <cerrno>
#include <cstring>
#include <linux/io_uring.h>
#include <new>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The rings shared with the kernel, as io_uring_setup maps them out.
struct Uring {
    int fd;
    unsigned* sq_tail;
    unsigned sq_mask;
    unsigned* sq_array;
    io_uring_sqe* sqes;
    unsigned* cq_head;
    unsigned* cq_tail;
    unsigned cq_mask;
    io_uring_cqe* cqes;
    void* rings; // the submission and completion rings, one mapping
    size_t rings_bytes;
    size_t sqes_bytes;
};

unsigned* ring_word(void* rings, unsigned offset) {
    return reinterpret_cast<unsigned*>(static_cast<char*>(rings) + offset);
}

int enter(const Uring* uring, unsigned to_submit, unsigned min_complete, unsigned flags) {
    return static_cast<int>(
        syscall(SYS_io_uring_enter, uring->fd, to_submit, min_complete, flags, nullptr, 0));
}

// Maps the rings of the ring just set up; false where they cannot be.
bool map_rings(Uring* uring, const io_uring_params* params) {
    size_t sq_bytes = params->sq_off.array + params->sq_entries * sizeof(unsigned);
    size_t cq_bytes = params->cq_off.cqes + params->cq_entries * sizeof(io_uring_cqe);
    uring->rings_bytes = sq_bytes > cq_bytes ? sq_bytes : cq_bytes;
    uring->sqes_bytes = params->sq_entries * sizeof(io_uring_sqe);
    void* rings = mmap(nullptr, uring->rings_bytes, PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_POPULATE, uring->fd, IORING_OFF_SQ_RING);
    if (rings == MAP_FAILED) {
        return false;
    }
    void* sqes = mmap(nullptr, uring->sqes_bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE,
                      uring->fd, IORING_OFF_SQES);
    if (sqes == MAP_FAILED) {
        munmap(rings, uring->rings_bytes);
        return false;
    }
    uring->rings = rings;
    uring->sqes = static_cast<io_uring_sqe*>(sqes);
    uring->sq_tail = ring_word(rings, params->sq_off.tail);
    uring->sq_mask = *ring_word(rings, params->sq_off.ring_mask);
    uring->sq_array = ring_word(rings, params->sq_off.array);
    uring->cq_head = ring_word(rings, params->cq_off.head);
    uring->cq_tail = ring_word(rings, params->cq_off.tail);
    uring->cq_mask = *ring_word(rings, params->cq_off.ring_mask);
    uring->cqes = reinterpret_cast<io_uring_cqe*>(static_cast<char*>(rings) + params->cq_off.cqes);
    return true;
}

bool submit_read(uintptr_t context, const OpenInput* input, unsigned char* buffer, size_t size,
                 uint64_t offset, unsigned slot) {
    Uring* uring = reinterpret_cast<Uring*>(context);
    unsigned tail = *uring->sq_tail; // only this thread moves the tail
    unsigned index = tail & uring->sq_mask;
    io_uring_sqe* request = &uring->sqes[index];
    std::memset(request, 0, sizeof *request);
    request->opcode = IORING_OP_READ;
    request->fd = descriptor(input->handle);
    request->addr = reinterpret_cast<uintptr_t>(buffer);
    request->len = static_cast<uint32_t>(size);
    request->off = offset;
    request->user_data = slot;
    uring->sq_array[index] = index;
    __atomic_store_n(uring->sq_tail, tail + 1, __ATOMIC_RELEASE);
    int taken;
    do {
        taken = enter(uring, 1, 0, 0);
    } while (taken < 0 && errno == EINTR);
    if (taken != 1) {
        // Not taken: the kernel reads the ring only in io_uring_enter, so
        // the request is withdrawn.
        __atomic_store_n(uring->sq_tail, tail, __ATOMIC_RELEASE);
        return false;
    }
    return true;
}

void wait_read(uintptr_t context, unsigned* slot, int64_t* got, int* error) {
    Uring* uring = reinterpret_cast<Uring*>(context);
    unsigned head = *uring->cq_head; // only this thread moves the head
    while (head == __atomic_load_n(uring->cq_tail, __ATOMIC_ACQUIRE)) {
        enter(uring, 0, 1, IORING_ENTER_GETEVENTS); // EINTR: wait again
    }
    const io_uring_cqe* done = &uring->cqes[head & uring->cq_mask];
    *slot = static_cast<unsigned>(done->user_data);
    *got = done->res >= 0 ? done->res : -1;
    if (done->res < 0) {
        *error = -done->res;
    }
    __atomic_store_n(uring->cq_head, head + 1, __ATOMIC_RELEASE);
}

} // namespace

bool start_read_queue(ReadQueue* queue, unsigned depth) {
    *queue = {0, nullptr, nullptr};
    Uring* uring = new (std::nothrow) Uring();
    if (uring == nullptr) {
        return false;
    }
    io_uring_params params;
    std::memset(&params, 0, sizeof params);
    uring->fd = static_cast<int>(syscall(SYS_io_uring_setup, depth, &params));
    // One mapping for both rings (Linux 5.4 on); older kernels read ahead
    // in threads.
    if (uring->fd < 0 || (params.features & IORING_FEAT_SINGLE_MMAP) == 0 ||
        !map_rings(uring, &params)) {
        if (uring->fd >= 0) {
            close(uring->fd);
        }
        delete uring;
        return false;
    }
    *queue = {reinterpret_cast<uintptr_t>(uring), submit_read, wait_read};
    return true;
}

void end_read_queue(ReadQueue* queue) {
    if (queue->submit != nullptr) {
        Uring* uring = reinterpret_cast<Uring*>(queue->context);
        munmap(uring->sqes, uring->sqes_bytes);
        munmap(uring->rings, uring->rings_bytes);
        close(uring->fd);
        delete uring;
    }
    *queue = {0, nullptr, nullptr};
}
