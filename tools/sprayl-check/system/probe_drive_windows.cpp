// The probe's drive on Windows, from XP on: a regular file standing for a
// drive (--file-as-drive), and the backup file. The file is opened for the
// probe alone (shared with nobody), read and written at OVERLAPPED offsets
// around the cache (FILE_FLAG_NO_BUFFERING with FILE_FLAG_WRITE_THROUGH, in
// the volume's sectors), flushed with FlushFileBuffers. Whole drives
// (\\.\PhysicalDriveN, their volumes locked and dismounted first) are not
// probed yet: doc/probe.md says how they would go, and they are refused
// with that reason.
#include "probe_drive.h"

#include "printf_format.h"
#include "system.h"
#include "text_sizes.h"
#include "windows_paths.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <windows.h>

namespace {

// A file open for the probe.
struct WindowsDrive {
    HANDLE handle;
    uint64_t size;
    uint32_t sector;
    unsigned char* aligned; // a bounce buffer, page-aligned for unbuffered I/O
    FileIdentity file;      // its volume serial number and file index
};

constexpr size_t bounce_bytes = size_t{1} << 20;
// The sector of a volume that does not tell its own.
constexpr uint32_t default_sector = 512;
// The probe needs at least this much (it refuses smaller drives itself too).
constexpr uint64_t smallest_probed = uint64_t{4} << 20;

bool refuse(char* message, size_t capacity, const char* format, ...) PRINTF_FORMAT(3, 4);

// Says in message why the drive or the backup is refused; returns false.
bool refuse(char* message, size_t capacity, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, capacity, format, arguments);
    va_end(arguments);
    return false;
}

// The system's text for the last error of this thread.
struct LastError {
    DWORD code;
    char text[error_text_capacity];
};

LastError last_error() {
    LastError error = {GetLastError(), ""};
    error_text(static_cast<int>(error.code), error.text, sizeof error.text);
    return error;
}

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

// Whether path names a drive or a volume rather than a file: \\.\ names
// (\\.\PhysicalDrive1, \\.\E:), \\?\ names other than of a file
// (\\?\Volume{...}), and a drive letter alone ("E:", "E:\").
bool names_a_device(const char* path) {
    bool prefixed = is_separator(path[0]) && is_separator(path[1]) &&
                    (path[2] == '.' || path[2] == '?') && is_separator(path[3]);
    if (prefixed && path[2] == '.') {
        return true;
    }
    const char* rest = prefixed ? path + 4 : path;
    bool drive_letter = rest[0] != '\0' && rest[1] == ':';
    if (drive_letter) {
        return rest[2] == '\0' || (is_separator(rest[2]) && rest[3] == '\0');
    }
    return prefixed && _strnicmp(rest, "UNC", 3) != 0;
}

// The full path of path (UTF-8), or empty.
std::string full_path(const char* path) {
    static wchar_t full[32768];
    DWORD length = GetFullPathNameW(wide_path(path), 32768, full, nullptr);
    if (length == 0 || length >= 32768) {
        return "";
    }
    std::string name(static_cast<size_t>(length) * 3 + 1, '\0');
    int made = WideCharToMultiByte(CP_UTF8, 0, full, static_cast<int>(length), &name[0],
                                   static_cast<int>(name.size()), nullptr, nullptr);
    name.resize(made > 0 ? static_cast<size_t>(made) : 0);
    return name;
}

// The bytes per sector of the volume that holds path, or 0 when it does
// not tell them.
uint32_t volume_sector(const char* path) {
    wchar_t root[MAX_PATH + 1];
    DWORD per_cluster = 0;
    DWORD sector = 0;
    DWORD free_clusters = 0;
    DWORD clusters = 0;
    bool told = GetVolumePathNameW(wide_path(path), root, MAX_PATH + 1) &&
                GetDiskFreeSpaceW(root, &per_cluster, &sector, &free_clusters, &clusters);
    return told ? sector : 0;
}

// Opens the file for reading and writing, shared with nobody, around the
// cache in whole sectors where the volume tells its sector, else through
// it (written through in both).
HANDLE open_for_probe(const char* path, WindowsDrive* drive) {
    drive->sector = volume_sector(path);
    DWORD flags = FILE_FLAG_WRITE_THROUGH;
    if (drive->sector == 0 || bounce_bytes % drive->sector != 0) {
        drive->sector = default_sector;
    } else {
        flags |= FILE_FLAG_NO_BUFFERING;
    }
    return CreateFileW(wide_path(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       flags, nullptr);
}

void free_drive(WindowsDrive* drive) {
    if (drive->handle != INVALID_HANDLE_VALUE) {
        CloseHandle(drive->handle);
    }
    if (drive->aligned != nullptr) {
        VirtualFree(drive->aligned, 0, MEM_RELEASE);
    }
    delete drive;
}

// Opens the regular file at path (drive->file) for the probe, into drive.
bool open_checked(const char* path, WindowsDrive* drive, char* message, size_t capacity) {
    drive->handle = open_for_probe(path, drive);
    if (drive->handle == INVALID_HANDLE_VALUE) {
        LastError error = last_error();
        return refuse(message, capacity,
                      error.code == ERROR_SHARING_VIOLATION ? "%s is in use (%s)"
                                                            : "%s cannot be opened: %s",
                      path, error.text);
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(drive->handle, &size)) {
        return refuse(message, capacity, "%s does not tell its size: %s", path, last_error().text);
    }
    // Whole sectors only: a last part sector cannot be read around the cache.
    drive->size = static_cast<uint64_t>(size.QuadPart) / drive->sector * drive->sector;
    if (drive->size < smallest_probed) {
        return refuse(message, capacity, "%s is smaller than the probe needs", path);
    }
    drive->aligned = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, bounce_bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (drive->aligned == nullptr) {
        return refuse(message, capacity, "%s: no memory for the buffer", path);
    }
    return true;
}

OVERLAPPED at_offset(uint64_t offset) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

bool windows_read(void* context, uint64_t offset, size_t length, unsigned char* buffer) {
    WindowsDrive* drive = static_cast<WindowsDrive*>(context);
    for (size_t done = 0; done < length;) {
        DWORD piece = static_cast<DWORD>(std::min(bounce_bytes, length - done));
        OVERLAPPED at = at_offset(offset + done);
        DWORD got = 0;
        if (!ReadFile(drive->handle, drive->aligned, piece, &got, &at) || got != piece) {
            return false;
        }
        std::memcpy(buffer + done, drive->aligned, piece);
        done += piece;
    }
    return true;
}

bool windows_write(void* context, uint64_t offset, size_t length, const unsigned char* data) {
    WindowsDrive* drive = static_cast<WindowsDrive*>(context);
    for (size_t done = 0; done < length;) {
        DWORD piece = static_cast<DWORD>(std::min(bounce_bytes, length - done));
        std::memcpy(drive->aligned, data + done, piece);
        OVERLAPPED at = at_offset(offset + done);
        DWORD put = 0;
        if (!WriteFile(drive->handle, drive->aligned, piece, &put, &at) || put != piece) {
            return false;
        }
        done += piece;
    }
    return true;
}

bool windows_flush(void* context) {
    return FlushFileBuffers(static_cast<WindowsDrive*>(context)->handle) != 0;
}

double windows_seconds(void*) {
    return clock_seconds();
}

// The backup file: written at offsets, flushed with FlushFileBuffers.
struct WindowsBackup {
    HANDLE handle;
};

bool backup_write(void* context, uint64_t offset, const unsigned char* bytes, size_t size) {
    HANDLE handle = static_cast<WindowsBackup*>(context)->handle;
    while (size > 0) {
        DWORD piece = static_cast<DWORD>(std::min<size_t>(size, size_t{1} << 30));
        OVERLAPPED at = at_offset(offset);
        DWORD put = 0;
        if (!WriteFile(handle, bytes, piece, &put, &at) || put == 0) {
            return false;
        }
        bytes += put;
        offset += put;
        size -= put;
    }
    return true;
}

bool backup_flush(void* context) {
    return FlushFileBuffers(static_cast<WindowsBackup*>(context)->handle) != 0;
}

// Whether path names the drive's file itself (under another name, or
// through a link): the same file index on the same volume.
bool is_the_drive(const char* path, const WindowsDrive* drive) {
    FileIdentity found = {};
    int error = 0;
    return file_identity(path, &found, &error) && found.known &&
           found.volume == drive->file.volume && found.index == drive->file.index;
}

} // namespace

bool open_probe_drive(const char* path, bool regular_file, ProbeDrive* probe_drive, char* message,
                      size_t capacity) {
    *probe_drive = {};
    if (!regular_file || names_a_device(path)) {
        return refuse(message, capacity,
                      "%s: --probe of a whole drive is not available on Windows yet: use --fill"
                      " DIR on the drive's file system",
                      path);
    }
    FileIdentity file = {};
    int error = 0;
    if (!file_identity(path, &file, &error)) {
        char text[error_text_capacity];
        error_text(error, text, sizeof text);
        return refuse(message, capacity, "%s: %s", path, text);
    }
    if (file.kind != file_kind_regular || !file.known) {
        return refuse(message, capacity, "%s is not a regular file", path);
    }
    WindowsDrive* drive = new WindowsDrive{INVALID_HANDLE_VALUE, 0, 0, nullptr, file};
    if (!open_checked(path, drive, message, capacity)) {
        free_drive(drive);
        return false;
    }
    probe_drive->device = {drive,           drive->size,   drive->sector,
                           windows_read,    windows_write, windows_flush,
                           windows_seconds, nullptr,       nullptr};
    probe_drive->identity = std::to_string(drive->size) + " bytes, " + full_path(path);
    return true;
}

void close_probe_drive(ProbeDrive* drive) {
    if (drive->device.context != nullptr) {
        free_drive(static_cast<WindowsDrive*>(drive->device.context));
    }
    drive->device.context = nullptr;
}

bool create_backup_file(const char* path, const ProbeDrive* probe_drive, const char* drive_path,
                        BackupFile* backup, char* message, size_t capacity) {
    *backup = {};
    const WindowsDrive* drive = static_cast<const WindowsDrive*>(probe_drive->device.context);
    if (is_the_drive(path, drive)) {
        return refuse(message, capacity, "the backup %s is the drive probed (%s)", path,
                      drive_path);
    }
    // CREATE_NEW: nothing with that name is ever written over, a link whose
    // target is gone neither.
    HANDLE handle = CreateFileW(wide_path(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        LastError error = last_error();
        if (error_is_existing(static_cast<int>(error.code))) {
            return refuse(message, capacity,
                          "the backup %s exists already: the probe writes its backup only to a"
                          " new file",
                          path);
        }
        return refuse(message, capacity, "the backup %s cannot be created: %s", path, error.text);
    }
    backup->sink = {new WindowsBackup{handle}, backup_write, backup_flush};
    backup->path = path;
    return true;
}

bool close_backup_file(BackupFile* backup) {
    WindowsBackup* file = static_cast<WindowsBackup*>(backup->sink.context);
    if (file == nullptr) {
        return true;
    }
    bool closed = CloseHandle(file->handle) != 0;
    delete file;
    backup->sink.context = nullptr;
    return closed;
}

bool read_backup_file(const char* path, size_t limit, std::vector<unsigned char>* bytes,
                      char* message, size_t capacity) {
    bytes->clear();
    HANDLE handle = CreateFileW(wide_path(path), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return refuse(message, capacity, "the backup %s cannot be read: %s", path,
                      last_error().text);
    }
    unsigned char piece[65536];
    DWORD got = 0;
    BOOL read = FALSE;
    while (bytes->size() < limit &&
           (read = ReadFile(handle, piece,
                            static_cast<DWORD>(std::min(sizeof piece, limit - bytes->size())), &got,
                            nullptr)) &&
           got > 0) {
        bytes->insert(bytes->end(), piece, piece + got);
    }
    bool whole = read != FALSE;
    if (!whole) {
        refuse(message, capacity, "the backup %s cannot be read: %s", path, last_error().text);
    }
    CloseHandle(handle);
    return whole;
}
