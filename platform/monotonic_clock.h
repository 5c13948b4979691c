// The monotonic clock, for rates and intervals: the one place that reads
// it. Header-only, so that any program can use it without linking a
// platform layer: sprayl's POSIX layer (for QueryPerformanceCounter and
// GetTickCount), sprayl-check and the benchmarks.
#pragma once

#include <cstdint>

#if defined(_WIN32)

#include "platform.h"

// Seconds since an arbitrary start.
inline double monotonic_seconds() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

#else

#include <ctime>

// Nanoseconds since an arbitrary start.
inline uint64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// Seconds since an arbitrary start.
inline double monotonic_seconds() {
    return static_cast<double>(monotonic_ns()) * 1e-9;
}

#endif
