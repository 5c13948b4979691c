// The system layer's paths and handles on Windows.
#pragma once

#include <cstdint>
#include <windows.h>

// path (UTF-8) made wide for the W calls, in one of two buffers, so that
// two paths can be had at once.
const wchar_t* wide_path(const char* path);

inline HANDLE handle_of(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}
