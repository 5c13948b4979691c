// sprayl-check's system layer on Windows: a directory held open (which
// keeps it from being renamed or removed), its files made and opened by
// their paths in it and checked to be on its volume, and what became of
// it.
#include "system.h"

#include "windows_paths.h"

#include <cstdio>
#include <cstring>
#include <windows.h>

namespace {

// The wide path of name in directory.
const wchar_t* wide_path_in(const OpenDirectory* directory, const char* name) {
    static char path[32768];
    size_t length = std::strlen(directory->path);
    bool separated =
        length > 0 && (directory->path[length - 1] == '/' || directory->path[length - 1] == '\\');
    std::snprintf(path, sizeof path, "%s%s%s", directory->path, separated ? "" : "\\", name);
    return wide_path(path);
}

// The volume's serial number and the file index of an open handle.
bool identify(HANDLE handle, uint64_t* volume, uint64_t* node) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
        return false;
    }
    *volume = info.dwVolumeSerialNumber;
    *node = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    return true;
}

// Whether handle, just opened in directory, is on the directory's volume;
// closes it where it is not.
bool on_directory_volume(const OpenDirectory* directory, HANDLE handle) {
    uint64_t volume = 0;
    uint64_t node = 0;
    if (identify(handle, &volume, &node) && volume == directory->volume) {
        return true;
    }
    CloseHandle(handle);
    return false;
}

} // namespace

int open_directory(const char* path, OpenDirectory* directory) {
    // Without FILE_SHARE_DELETE: while it is held, the directory can be
    // neither renamed nor removed.
    HANDLE handle = CreateFileW(wide_path(path), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return static_cast<int>(GetLastError());
    }
    uint64_t volume = 0;
    uint64_t node = 0;
    if (!identify(handle, &volume, &node)) {
        int error = static_cast<int>(GetLastError());
        CloseHandle(handle);
        return error;
    }
    *directory = {reinterpret_cast<intptr_t>(handle), volume, node, path};
    return 0;
}

void close_directory(OpenDirectory* directory) {
    if (directory->handle != 0) {
        CloseHandle(handle_of(directory->handle));
    }
    directory->handle = 0;
}

bool list_open_directory(const OpenDirectory* directory,
                         void (*each)(const char* name, void* context), void* context, int* error) {
    return list_directory(directory->path, each, context, error);
}

bool status_in(const OpenDirectory* directory, const char* name, PathStatus* status, int* error) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide_path_in(directory, name), GetFileExInfoStandard, &data)) {
        *error = static_cast<int>(GetLastError());
        return false;
    }
    status->is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status->size = static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    return true;
}

// The directory's handle keeps its path leading to it, so the file opens
// by input->path (its path in the directory, as the caller made it), which
// a read through the cache later opens again; the volume is checked.
int open_input_in(const OpenDirectory* directory, const char*, OpenInput* input) {
    int error = open_input(input->path, input);
    if (error == 0 && !on_directory_volume(directory, handle_of(input->handle))) {
        input->handle = 0;
        return ERROR_NOT_SAME_DEVICE;
    }
    return error;
}

intptr_t create_file_in(const OpenDirectory* directory, const char* name, int* error) {
    const wchar_t* path = wide_path_in(directory, name);
    HANDLE handle = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = static_cast<int>(GetLastError());
        return 0;
    }
    if (!on_directory_volume(directory, handle)) {
        DeleteFileW(path); // made by this call (CREATE_NEW)
        *error = ERROR_NOT_SAME_DEVICE;
        return 0;
    }
    return reinterpret_cast<intptr_t>(handle);
}

intptr_t create_scratch_in(const OpenDirectory* directory, const char* name, bool* around_cache,
                           int* error) {
    const wchar_t* path = wide_path_in(directory, name);
    DWORD around = FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH;
    HANDLE handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_NEW, around, nullptr);
    *around_cache = handle != INVALID_HANDLE_VALUE && !runs_under_wine();
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER) {
        handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        *error = static_cast<int>(GetLastError());
        return 0;
    }
    if (!on_directory_volume(directory, handle)) {
        DeleteFileW(wide_path_in(directory, name)); // made by this call (CREATE_NEW)
        *error = ERROR_NOT_SAME_DEVICE;
        return 0;
    }
    return reinterpret_cast<intptr_t>(handle);
}

intptr_t open_for_writing_in(const OpenDirectory* directory, const char* name, int* error) {
    HANDLE handle = CreateFileW(wide_path_in(directory, name), GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = static_cast<int>(GetLastError());
        return 0;
    }
    if (!on_directory_volume(directory, handle)) {
        *error = ERROR_NOT_SAME_DEVICE;
        return 0;
    }
    return reinterpret_cast<intptr_t>(handle);
}

int cut_file(intptr_t file, uint64_t size) {
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(handle_of(file), end, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(handle_of(file))) {
        return static_cast<int>(GetLastError());
    }
    return 0;
}

int remove_file_in(const OpenDirectory* directory, const char* name) {
    if (DeleteFileW(wide_path_in(directory, name)) || GetLastError() == ERROR_FILE_NOT_FOUND) {
        return 0;
    }
    return static_cast<int>(GetLastError());
}

int replace_file_in(const OpenDirectory* directory, const char* from, const char* to) {
    // Both names at once: wide_path keeps the last two.
    const wchar_t* wide_from = wide_path_in(directory, from);
    const wchar_t* wide_to = wide_path_in(directory, to);
    if (!MoveFileExW(wide_from, wide_to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return static_cast<int>(GetLastError());
    }
    return 0;
}

DirectoryState directory_state(const OpenDirectory* directory, int* error) {
    uint64_t volume = 0;
    uint64_t node = 0;
    if (!identify(handle_of(directory->handle), &volume, &node)) {
        *error = static_cast<int>(GetLastError());
        return directory_unreachable;
    }
    HANDLE again = CreateFileW(wide_path(directory->path), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (again == INVALID_HANDLE_VALUE) {
        *error = static_cast<int>(GetLastError());
        return directory_moved;
    }
    uint64_t volume_there = 0;
    uint64_t node_there = 0;
    bool same =
        identify(again, &volume_there, &node_there) && volume_there == volume && node_there == node;
    CloseHandle(again);
    return same ? directory_in_place : directory_moved;
}
