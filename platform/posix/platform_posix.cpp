// The platform operations on POSIX systems, doing what the calling code
// relies on from their Windows namesakes. Handles of files are descriptor
// numbers; handles of events point into a small static table of flags.
#include "platform.h"

#include "monotonic_clock.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Events are flags that a signal handler may set, so they must be lock-free.
using EventFlag = std::atomic<int>;
static_assert(EventFlag::is_always_lock_free, "event flags must be safe in signal handlers");

constexpr int event_capacity = 8;
EventFlag events[event_capacity];
std::atomic<int> events_created{0};

EventFlag* as_event(HANDLE handle) {
    for (int i = 0; i < event_capacity; ++i) {
        if (handle == &events[i]) {
            return &events[i];
        }
    }
    return nullptr;
}

int as_descriptor(HANDLE handle) {
    return static_cast<int>(reinterpret_cast<intptr_t>(handle));
}

} // namespace

DWORD GetCurrentThreadId() {
    return static_cast<DWORD>(syscall(SYS_gettid));
}

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}

void GetSystemTimeAsFileTime(FILETIME* system_time) {
    // 100 ns intervals since 1601-01-01 UTC; 1601 lies 11,644,473,600 s
    // before the Unix epoch.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t intervals = (static_cast<uint64_t>(now.tv_sec) + 11644473600u) * 10000000u +
                         static_cast<uint64_t>(now.tv_nsec) / 100u;
    system_time->dwLowDateTime = static_cast<DWORD>(intervals);
    system_time->dwHighDateTime = static_cast<DWORD>(intervals >> 32);
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    count->QuadPart = static_cast<int64_t>(monotonic_ns());
    return TRUE;
}

DWORD GetTickCount() {
    return static_cast<DWORD>(monotonic_ns() / 1000000u);
}

HANDLE CreateEventW(void*, BOOL manual_reset, BOOL initial_state, const WCHAR* name) {
    // Only what the program asks for: unnamed manual-reset events.
    if (!manual_reset || name != nullptr) {
        return nullptr;
    }
    int index = events_created.fetch_add(1);
    if (index >= event_capacity) {
        return nullptr;
    }
    events[index].store(initial_state ? 1 : 0);
    return &events[index];
}

BOOL SetEvent(HANDLE event) {
    EventFlag* flag = as_event(event);
    if (flag == nullptr) {
        return FALSE;
    }
    flag->store(1);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    EventFlag* flag = as_event(object);
    if (flag == nullptr) {
        return WAIT_FAILED;
    }
    if (flag->load() != 0) {
        return WAIT_OBJECT_0;
    }
    // Waiting with a time-out is done by polling; the program itself only
    // ever polls with a time-out of 0.
    for (DWORD waited = 0; waited < milliseconds; ++waited) {
        Sleep(1);
        if (flag->load() != 0) {
            return WAIT_OBJECT_0;
        }
    }
    return WAIT_TIMEOUT;
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    timespec rest{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

HANDLE GetStdHandle(DWORD which) {
    int descriptor = -1;
    if (which == STD_OUTPUT_HANDLE) {
        descriptor = STDOUT_FILENO;
    } else if (which == STD_ERROR_HANDLE) {
        descriptor = STDERR_FILENO;
    }
    if (descriptor < 0 || fcntl(descriptor, F_GETFD) == -1) {
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(descriptor));
}

DWORD GetFileType(HANDLE file) {
    struct stat info {};
    if (fstat(as_descriptor(file), &info) != 0) {
        return FILE_TYPE_UNKNOWN;
    }
    if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) {
        return FILE_TYPE_PIPE;
    }
    if (S_ISCHR(info.st_mode)) {
        return FILE_TYPE_CHAR;
    }
    if (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)) {
        return FILE_TYPE_DISK;
    }
    return FILE_TYPE_UNKNOWN;
}

BOOL WriteFile(HANDLE file, const void* bytes, DWORD count, DWORD* written, void*) {
    *written = 0;
    for (;;) {
        ssize_t taken = write(as_descriptor(file), bytes, count);
        if (taken >= 0) {
            *written = static_cast<DWORD>(taken);
            return TRUE;
        }
        if (errno == EINTR) {
            continue;
        }
        // A non-blocking output that is full takes nothing for now.
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return TRUE;
        }
        return FALSE;
    }
}

int lstrlenA(const char* text) {
    return text == nullptr ? 0 : static_cast<int>(strlen(text));
}

int lstrcmpW(const WCHAR* a, const WCHAR* b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a < *b ? -1 : (*a > *b ? 1 : 0);
}
