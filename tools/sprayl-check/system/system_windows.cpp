// sprayl-check's system layer on Windows, from XP on: calls that came later
// (GetFileInformationByHandleEx and the like) are not used. Paths arrive as
// UTF-8 and are widened for the W calls, so every name opens.
#include "system.h"

#include "file_systems.h"
#include "windows_paths.h"

#include <cstdio>
#include <cstring>
#include <windows.h>
#include <winioctl.h>

volatile std::sig_atomic_t stop_requested = 0;

const char path_separator = '\\';
const char* const system_help_option = "/?";
const char* const around_cache_text = "FILE_FLAG_NO_BUFFERING";

const wchar_t* wide_path(const char* path) {
    static wchar_t wide[2][32768];
    static int next;
    wchar_t* to = wide[next];
    next ^= 1;
    if (MultiByteToWideChar(CP_UTF8, 0, path, -1, to, 32768) == 0) {
        to[0] = L'\0';
    }
    return to;
}

namespace {

bool is_standard_input(const char* path) {
    return std::strcmp(path, "-") == 0;
}

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

// The length of the root that path begins with: "C:", "C:\", "\",
// "\\server\share\"; 0 for a relative path.
size_t root_length(const char* path) {
    size_t length = 0;
    if (is_separator(path[0]) && is_separator(path[1])) {
        length = 2;
        for (int part = 0; part < 2; ++part) { // the server, then the share
            while (path[length] != '\0' && !is_separator(path[length])) {
                ++length;
            }
            if (part == 0 && path[length] != '\0') {
                ++length;
            }
        }
    } else if (path[0] != '\0' && path[1] == ':') {
        length = 2;
    }
    return is_separator(path[length]) ? length + 1 : length;
}

// What the handle is open on; false for a console or pipe, whose identity
// the system does not tell.
void identify_handle(HANDLE handle, const char* path, FileIdentity* identity) {
    *identity = FileIdentity{};
    identity->kind = file_kind_stream;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        return;
    }
    if (std::strncmp(path, "\\\\.\\", 4) == 0 || !GetFileInformationByHandle(handle, &info)) {
        identity->kind = file_kind_device; // \\.\E:, \\.\PhysicalDrive1
        return;
    }
    bool directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    identity->kind = directory ? file_kind_directory : file_kind_regular;
    identity->known = true;
    identity->volume = info.dwVolumeSerialNumber;
    identity->index = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    identity->size =
        directory ? 0 : static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
}

HANDLE open_file(const char* path, DWORD flags) {
    return CreateFileW(wide_path(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, flags | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

// The volume that holds path, its type, and whether it is on another machine.
void find_file_system(const char* path, FileSystemInfo* info) {
    info->kind = file_system_local;
    info->type[0] = '\0';
    info->source[0] = '\0';
    wchar_t root[MAX_PATH + 1];
    if (!GetVolumePathNameW(wide_path(path), root, MAX_PATH + 1)) {
        return;
    }
    WideCharToMultiByte(CP_UTF8, 0, root, -1, info->source, sizeof info->source, nullptr, nullptr);
    wchar_t type[64];
    if (GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, type, 64)) {
        WideCharToMultiByte(CP_UTF8, 0, type, -1, info->type, sizeof info->type, nullptr, nullptr);
    }
    // A file on a share: FILE_FLAG_NO_BUFFERING passes this machine's cache,
    // not the server's.
    if (GetDriveTypeW(root) == DRIVE_REMOTE) {
        info->kind = file_system_network;
    }
}

// Under wine, Linux runs from the file system at "/" (wine's Z:\), which
// is not the volume of the Windows directory (C:\, a folder of the wine
// prefix): a fill there would fill the disk of the system that runs wine.
bool is_wine_unix_root(const wchar_t* volume) {
    using UnixName = char*(CDECL*)(LPCWSTR);
    FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    if (found == nullptr) {
        return false;
    }
    char* name = reinterpret_cast<UnixName>(reinterpret_cast<void (*)()>(found))(volume);
    bool root = name != nullptr && std::strcmp(name, "/") == 0;
    HeapFree(GetProcessHeap(), 0, name);
    return root;
}

BOOL WINAPI on_console_event(DWORD) {
    stop_requested = 1;
    return TRUE;
}

} // namespace

bool runs_under_wine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// ---- Errors ----

bool error_is_interruption(int) {
    return false;
}

bool error_is_misalignment(int error) {
    return error == ERROR_INVALID_PARAMETER;
}

bool error_is_full(int error) {
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ||
           error == ERROR_FILE_TOO_LARGE;
}

bool error_is_not_found(int error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool error_is_existing(int error) {
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

bool error_is_gone(int error) {
    return error == ERROR_DEV_NOT_EXIST || error == ERROR_DEVICE_REMOVED ||
           error == ERROR_NETNAME_DELETED;
}

bool error_is_drive_failure(int error) {
    return error == ERROR_CRC || error == ERROR_SECTOR_NOT_FOUND || error == ERROR_IO_DEVICE ||
           error == ERROR_FILE_CORRUPT || error == ERROR_DISK_CORRUPT ||
           error == ERROR_READ_FAULT || error == ERROR_WRITE_FAULT;
}

bool error_is_write_protected(int error) {
    return error == ERROR_WRITE_PROTECT;
}

bool error_is_elsewhere(int error) {
    return error == ERROR_NOT_SAME_DEVICE;
}

void error_text(int error, char* text, size_t capacity) {
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error), 0, text, static_cast<DWORD>(capacity), nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                          text[length - 1] == '.' || text[length - 1] == ' ')) {
        --length;
    }
    if (length == 0) {
        std::snprintf(text, capacity, "error %d", error);
    } else {
        text[length] = '\0';
    }
}

// ---- Paths ----

bool path_status(const char* path, PathStatus* status, int* error) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide_path(path), GetFileExInfoStandard, &data)) {
        *error = static_cast<int>(GetLastError());
        return false;
    }
    status->is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status->size = static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    return true;
}

bool file_identity(const char* path, FileIdentity* identity, int* error) {
    if (is_standard_input(path)) {
        HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        if (input == INVALID_HANDLE_VALUE || input == nullptr) {
            *error = static_cast<int>(ERROR_INVALID_HANDLE);
            return false;
        }
        identify_handle(input, path, identity);
        return true;
    }
    // No access asked for, and directories too (FILE_FLAG_BACKUP_SEMANTICS).
    HANDLE handle =
        CreateFileW(wide_path(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = static_cast<int>(GetLastError());
        return false;
    }
    identify_handle(handle, path, identity);
    CloseHandle(handle);
    return true;
}

void parent_directory(const char* path, char* parent, size_t capacity) {
    size_t root = root_length(path);
    size_t end = std::strlen(path);
    while (end > root && is_separator(path[end - 1])) { // "dir\" names dir
        --end;
    }
    while (end > root && !is_separator(path[end - 1])) {
        --end;
    }
    while (end > root && is_separator(path[end - 1])) {
        --end;
    }
    if (end == 0) {
        std::snprintf(parent, capacity, ".");
    } else {
        // "C:" alone is the drive's current directory: "C:.".
        bool drive_only = end == 2 && path[1] == ':';
        std::snprintf(parent, capacity, "%.*s%s", static_cast<int>(end), path,
                      drive_only ? "." : "");
    }
}

bool list_directory(const char* directory, void (*each)(const char* name, void* context),
                    void* context, int* error) {
    char pattern[path_capacity];
    size_t length = std::strlen(directory);
    bool separated = length > 0 && (directory[length - 1] == '/' || directory[length - 1] == '\\');
    std::snprintf(pattern, sizeof pattern, "%s%s*", directory, separated ? "" : "\\");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide_path(pattern), &found);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) {
            return true; // an empty drive's root has not even "."
        }
        *error = static_cast<int>(code);
        return false;
    }
    do {
        char name[MAX_PATH * 3];
        if (WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, name, sizeof name, nullptr,
                                nullptr) > 0) {
            each(name, context);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

// ---- Reading ----

int open_input(const char* path, OpenInput* input) {
    HANDLE handle;
    input->path = path;
    if (is_standard_input(path)) {
        handle = GetStdHandle(STD_INPUT_HANDLE);
        input->method = read_as_it_comes;
    } else if (runs_under_wine()) {
        handle = open_file(path, 0);
        input->method = read_through_cache;
        if (handle == INVALID_HANDLE_VALUE) {
            return static_cast<int>(GetLastError());
        }
    } else {
        handle = open_file(path, FILE_FLAG_NO_BUFFERING);
        input->method = read_around_cache;
        if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER) {
            handle = open_file(path, 0);
            input->method = read_through_cache;
        }
        if (handle == INVALID_HANDLE_VALUE) {
            return static_cast<int>(GetLastError());
        }
    }
    input->handle = reinterpret_cast<intptr_t>(handle);
    LARGE_INTEGER size;
    input->seekable = !is_standard_input(path) && GetFileType(handle) == FILE_TYPE_DISK &&
                      GetFileSizeEx(handle, &size);
    input->size = input->seekable ? static_cast<uint64_t>(size.QuadPart) : 0;
    if (!input->seekable) {
        input->method = read_as_it_comes;
    }
    input->around_cache = input->method == read_around_cache;
    return 0;
}

void reach_the_drive(OpenInput* input, char* why, size_t capacity) {
    if (!input->seekable) {
        return;
    }
    FileSystemInfo info;
    find_file_system(input->path, &info);
    if (info.kind == file_system_network) {
        std::snprintf(why, capacity, "\"%s\" is a network share", info.source);
        input->method = read_network;
    } else if (input->method == read_through_cache && runs_under_wine()) {
        std::snprintf(why, capacity,
                      "wine reads \"%s\" through the page cache of Linux: it does not pass "
                      "FILE_FLAG_NO_BUFFERING on",
                      input->path);
    } else if (input->method == read_through_cache) {
        std::snprintf(why, capacity,
                      "the file system of \"%s\" refuses reads around the cache (%s)", input->path,
                      info.type);
    }
}

int64_t read_input(const OpenInput* input, unsigned char* buffer, size_t size, uint64_t offset,
                   int* error) {
    HANDLE handle = handle_of(input->handle);
    DWORD got = 0;
    BOOL done;
    if (input->seekable) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        done = ReadFile(handle, buffer, static_cast<DWORD>(size), &got, &at);
    } else {
        done = ReadFile(handle, buffer, static_cast<DWORD>(size), &got, nullptr);
    }
    if (!done) {
        DWORD code = GetLastError();
        if (code == ERROR_HANDLE_EOF || code == ERROR_BROKEN_PIPE) {
            return 0;
        }
        *error = static_cast<int>(code);
        return -1;
    }
    return got;
}

int reopen_through_cache(OpenInput* input) {
    HANDLE handle = open_file(input->path, 0);
    if (handle == INVALID_HANDLE_VALUE) {
        return static_cast<int>(GetLastError());
    }
    CloseHandle(handle_of(input->handle));
    input->handle = reinterpret_cast<intptr_t>(handle);
    input->around_cache = false;
    if (input->method == read_around_cache) {
        input->method = read_through_cache;
    }
    return 0;
}

void close_input(OpenInput* input) {
    if (input->handle != 0 && !is_standard_input(input->path)) {
        CloseHandle(handle_of(input->handle));
    }
    input->handle = 0;
}

unsigned char* aligned_buffer(size_t size) {
    // Page-aligned, as FILE_FLAG_NO_BUFFERING wants.
    return static_cast<unsigned char*>(
        VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}

void free_aligned_buffer(unsigned char* buffer) {
    if (buffer != nullptr) {
        VirtualFree(buffer, 0, MEM_RELEASE);
    }
}

// Reads kept in flight would be overlapped reads (FILE_FLAG_OVERLAPPED, an
// I/O completion port); until then, the threads of read_ahead read ahead.
bool start_read_queue(ReadQueue* queue, unsigned) {
    *queue = {0, nullptr, nullptr};
    return false;
}

void end_read_queue(ReadQueue* queue) {
    *queue = {0, nullptr, nullptr};
}

// ---- Writing ----

intptr_t create_file(const char* path, int* error) {
    HANDLE handle = CreateFileW(wide_path(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = static_cast<int>(GetLastError());
        return 0;
    }
    return reinterpret_cast<intptr_t>(handle);
}

intptr_t create_new_file(const char* path, int* error) {
    HANDLE handle = CreateFileW(wide_path(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = static_cast<int>(GetLastError());
        return 0;
    }
    return reinterpret_cast<intptr_t>(handle);
}

// A handle's buffering is chosen when it is opened: the fill files are
// written through the cache here, as they were opened.
bool write_around_cache(intptr_t, bool) {
    return false;
}

int64_t write_file(intptr_t file, const unsigned char* data, size_t size, int* error) {
    DWORD written = 0;
    if (!WriteFile(handle_of(file), data, static_cast<DWORD>(size), &written, nullptr)) {
        *error = static_cast<int>(GetLastError());
        return written > 0 ? static_cast<int64_t>(written) : -1;
    }
    return written;
}

int flush_and_close(intptr_t file) {
    HANDLE handle = handle_of(file);
    int error = FlushFileBuffers(handle) ? 0 : static_cast<int>(GetLastError());
    CloseHandle(handle);
    return error;
}

int close_file(intptr_t file) {
    return CloseHandle(handle_of(file)) ? 0 : static_cast<int>(GetLastError());
}

int remove_file(const char* path) {
    if (DeleteFileW(wide_path(path)) || GetLastError() == ERROR_FILE_NOT_FOUND) {
        return 0;
    }
    return static_cast<int>(GetLastError());
}

int rename_file(const char* from, const char* to) {
    if (MoveFileExW(wide_path(from), wide_path(to),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return 0;
    }
    return static_cast<int>(GetLastError());
}

bool holds_running_system(const char* directory) {
    wchar_t windows[MAX_PATH + 1];
    wchar_t system_volume[MAX_PATH + 1];
    wchar_t volume[MAX_PATH + 1];
    if (!GetVolumePathNameW(wide_path(directory), volume, MAX_PATH + 1)) {
        return false;
    }
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH + 1);
    return is_wine_unix_root(volume) || (length > 0 && length <= MAX_PATH &&
                                         GetVolumePathNameW(windows, system_volume, MAX_PATH + 1) &&
                                         lstrcmpiW(volume, system_volume) == 0);
}

uint64_t free_space(const char* directory) {
    ULARGE_INTEGER available;
    return GetDiskFreeSpaceExW(wide_path(directory), &available, nullptr, nullptr)
               ? available.QuadPart
               : 0;
}

// Windows keeps no count of free files: NTFS, FAT and exFAT make room for
// a file's entry as they go, with no inode table to run out of.
uint64_t free_files(const char*) {
    return no_file_limit;
}

uint64_t drive_size(const char* directory) {
    ULARGE_INTEGER total;
    return GetDiskFreeSpaceExW(wide_path(directory), nullptr, &total, nullptr) ? total.QuadPart : 0;
}

// ---- A directory held open: directory_windows.cpp ----

// ---- Where a file lies on its drive: extents_windows.cpp ----

// ---- The terminal and stop requests ----

bool stdin_is_terminal() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool stderr_is_terminal() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int terminal_width() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        return info.srWindow.Right - info.srWindow.Left + 1;
    }
    return 0;
}

void catch_stop_requests() {
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

CommandShell command_shell() {
    return shell_cmd;
}
