// The system layer's paths and handles on Windows, and whether wine runs it.
#pragma once

#include <cstdint>
#include <windows.h>

// path (UTF-8) made wide for the W calls, in one of two buffers, so that
// two paths can be had at once.
const wchar_t* wide_path(const char* path);

inline HANDLE handle_of(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// Wine hands a file's reads and writes to Linux through its page cache
// whatever the flags: it does not pass FILE_FLAG_NO_BUFFERING on (as
// O_DIRECT), so what is read may come from memory. Its ntdll says who it is.
bool runs_under_wine();
