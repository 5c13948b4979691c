#include "read_ahead.h"

#include <atomic>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <semaphore.h>
#endif

namespace {

// The buffers go round: the reader fills one while the check looks at the
// other. empty counts the buffers the reader may fill, filled the pieces
// the check may take; each piece's fields are written before its post and
// read after the matching wait.
struct ReadAhead {
    const OpenInput* input;
    ReadFunction read;
    uint64_t offset;
    unsigned char* buffers[read_ahead_buffers];
    size_t size;
    ReadAheadPiece pieces[read_ahead_buffers];
    unsigned next_taken; // the buffer of the piece the check takes next
    // Set by the check, read by the reader after each wait: the reader may
    // be reading at the time, and sees it at its next wait.
    std::atomic<bool> stopping;
    bool running;
#if defined(_WIN32)
    HANDLE thread;
    HANDLE empty;
    HANDLE filled;
#else
    pthread_t thread;
    sem_t empty;
    sem_t filled;
#endif
};

ReadAhead ahead;

#if defined(_WIN32)
void wait_for(HANDLE semaphore) {
    WaitForSingleObject(semaphore, INFINITE);
}
void post(HANDLE semaphore) {
    ReleaseSemaphore(semaphore, 1, nullptr);
}
#else
void wait_for(sem_t* semaphore) {
    while (sem_wait(semaphore) != 0) {
        // interrupted by a signal: wait again
    }
}
void post(sem_t* semaphore) {
    sem_post(semaphore);
}
#endif

void read_pieces() {
    unsigned slot = 0;
    for (;;) {
#if defined(_WIN32)
        wait_for(ahead.empty);
#else
        wait_for(&ahead.empty);
#endif
        if (ahead.stopping.load(std::memory_order_relaxed)) {
            return;
        }
        ReadAheadPiece* piece = &ahead.pieces[slot];
        piece->data = ahead.buffers[slot];
        piece->offset = ahead.offset;
        piece->error = 0;
        piece->got =
            ahead.read(ahead.input, ahead.buffers[slot], ahead.size, ahead.offset, &piece->error);
        bool data = piece->got > 0;
        if (data) {
            ahead.offset += static_cast<uint64_t>(piece->got);
        }
#if defined(_WIN32)
        post(ahead.filled);
#else
        post(&ahead.filled);
#endif
        if (!data) {
            return;
        }
        slot = (slot + 1) % read_ahead_buffers;
    }
}

#if defined(_WIN32)
DWORD WINAPI reader_thread(LPVOID) {
    read_pieces();
    return 0;
}
#else
void* reader_thread(void*) {
    read_pieces();
    return nullptr;
}
#endif

} // namespace

bool read_ahead_start(const OpenInput* input, ReadFunction read, uint64_t offset,
                      unsigned char* const buffers[read_ahead_buffers], size_t size) {
    ahead.input = input;
    ahead.read = read;
    ahead.offset = offset;
    for (unsigned i = 0; i < read_ahead_buffers; ++i) {
        ahead.buffers[i] = buffers[i];
    }
    ahead.size = size;
    ahead.next_taken = 0;
    ahead.stopping.store(false, std::memory_order_relaxed);
#if defined(_WIN32)
    ahead.empty = CreateSemaphoreW(nullptr, read_ahead_buffers, read_ahead_buffers, nullptr);
    ahead.filled = CreateSemaphoreW(nullptr, 0, read_ahead_buffers, nullptr);
    ahead.thread = nullptr;
    if (ahead.empty != nullptr && ahead.filled != nullptr) {
        ahead.thread = CreateThread(nullptr, 0, reader_thread, nullptr, 0, nullptr);
    }
    if (ahead.thread == nullptr) {
        if (ahead.empty != nullptr) {
            CloseHandle(ahead.empty);
        }
        if (ahead.filled != nullptr) {
            CloseHandle(ahead.filled);
        }
        return false;
    }
#else
    sem_init(&ahead.empty, 0, read_ahead_buffers);
    sem_init(&ahead.filled, 0, 0);
    if (pthread_create(&ahead.thread, nullptr, reader_thread, nullptr) != 0) {
        sem_destroy(&ahead.empty);
        sem_destroy(&ahead.filled);
        return false;
    }
#endif
    ahead.running = true;
    return true;
}

ReadAheadPiece read_ahead_next() {
#if defined(_WIN32)
    wait_for(ahead.filled);
#else
    wait_for(&ahead.filled);
#endif
    ReadAheadPiece piece = ahead.pieces[ahead.next_taken];
    ahead.next_taken = (ahead.next_taken + 1) % read_ahead_buffers;
    return piece;
}

void read_ahead_release() {
#if defined(_WIN32)
    post(ahead.empty);
#else
    post(&ahead.empty);
#endif
}

void read_ahead_stop() {
    if (!ahead.running) {
        return;
    }
    // The reader waits for an empty buffer, or reads, or has ended: it sees
    // stopping at its next wait.
    ahead.stopping.store(true, std::memory_order_relaxed);
#if defined(_WIN32)
    post(ahead.empty);
    WaitForSingleObject(ahead.thread, INFINITE);
    CloseHandle(ahead.thread);
    CloseHandle(ahead.empty);
    CloseHandle(ahead.filled);
#else
    post(&ahead.empty);
    pthread_join(ahead.thread, nullptr);
    sem_destroy(&ahead.empty);
    sem_destroy(&ahead.filled);
#endif
    ahead.running = false;
}
