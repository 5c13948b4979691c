// The operating-system operations the program calls, under their Windows
// names. On Windows they are KERNEL32's own; elsewhere the same names and
// values are declared here and provided by a layer of ours (platform/posix),
// or by a scripted fake in the tests.
#pragma once

#if defined(_WIN32)

#include <windows.h>

#else

#include <cstdint>

#define WINAPI
#define TRUE 1
#define FALSE 0

typedef int BOOL;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef void* HANDLE;
typedef wchar_t WCHAR;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    int64_t QuadPart;
};

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define STD_INPUT_HANDLE (static_cast<DWORD>(-10))
#define STD_OUTPUT_HANDLE (static_cast<DWORD>(-11))
#define STD_ERROR_HANDLE (static_cast<DWORD>(-12))

#define FILE_TYPE_UNKNOWN 0x0000u
#define FILE_TYPE_DISK 0x0001u
#define FILE_TYPE_CHAR 0x0002u
#define FILE_TYPE_PIPE 0x0003u

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define INFINITE 0xFFFFFFFFu

#define CTRL_C_EVENT 0u
#define CTRL_BREAK_EVENT 1u
#define CTRL_CLOSE_EVENT 2u
#define CTRL_LOGOFF_EVENT 5u
#define CTRL_SHUTDOWN_EVENT 6u

DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();
void GetSystemTimeAsFileTime(FILETIME* system_time);
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
DWORD GetTickCount();

HANDLE CreateEventW(void* attributes, BOOL manual_reset, BOOL initial_state, const WCHAR* name);
BOOL SetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
void Sleep(DWORD milliseconds);

HANDLE GetStdHandle(DWORD which);
DWORD GetFileType(HANDLE file);
BOOL WriteFile(HANDLE file, const void* bytes, DWORD count, DWORD* written, void* overlapped);

int lstrlenA(const char* text);
int lstrcmpW(const WCHAR* a, const WCHAR* b);

#endif
