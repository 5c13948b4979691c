// sprayl-check's system layer on Windows: the reads and writes at an
// offset of a scratch file that measures a drive, its flush, and threads
// that run side by side for a deeper queue. The file itself is made
// through its directory (directory_windows.cpp).
#include "system.h"

#include "windows_paths.h"

#include <windows.h>

namespace {

// What one thread of run_side_by_side runs.
struct SideWork {
    void (*work)(void* context, unsigned index);
    void* context;
    unsigned index;
};

DWORD WINAPI run_side_work(void* side) {
    SideWork* work = static_cast<SideWork*>(side);
    work->work(work->context, work->index);
    return 0;
}

OVERLAPPED at_offset(uint64_t offset) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

} // namespace

int64_t write_at(intptr_t file, const unsigned char* data, size_t size, uint64_t offset,
                 int* error) {
    OVERLAPPED at = at_offset(offset);
    DWORD written = 0;
    if (!WriteFile(handle_of(file), data, static_cast<DWORD>(size), &written, &at)) {
        *error = static_cast<int>(GetLastError());
        return -1;
    }
    return written;
}

int64_t read_at(intptr_t file, unsigned char* buffer, size_t size, uint64_t offset, int* error) {
    OVERLAPPED at = at_offset(offset);
    DWORD got = 0;
    if (!ReadFile(handle_of(file), buffer, static_cast<DWORD>(size), &got, &at)) {
        DWORD code = GetLastError();
        if (code == ERROR_HANDLE_EOF) {
            return 0;
        }
        *error = static_cast<int>(code);
        return -1;
    }
    return got;
}

int flush_file(intptr_t file) {
    return FlushFileBuffers(handle_of(file)) ? 0 : static_cast<int>(GetLastError());
}

unsigned run_side_by_side(unsigned count, void (*work)(void* context, unsigned index),
                          void* context) {
    HANDLE threads[most_side_by_side];
    SideWork works[most_side_by_side];
    unsigned made = 0;
    for (; made < count && made < most_side_by_side; ++made) {
        works[made] = {work, context, made};
        threads[made] = CreateThread(nullptr, 0, run_side_work, &works[made], 0, nullptr);
        if (threads[made] == nullptr) {
            break;
        }
    }
    if (made > 0) {
        WaitForMultipleObjects(made, threads, TRUE, INFINITE);
    }
    for (unsigned i = 0; i < made; ++i) {
        CloseHandle(threads[i]);
    }
    return made;
}
