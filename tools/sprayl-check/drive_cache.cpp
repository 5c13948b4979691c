#include "drive_cache.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace {

// File systems whose files live on another machine: a read around this
// machine's cache may still be answered from the server's memory.
const char* const network_types[] = {
    "nfs",   "nfs4",   "cifs",      "smb3",     "smbfs", "9p",    "ceph",
    "afs",   "coda",   "ncpfs",     "lustre",   "gfs2",  "ocfs2", "beegfs",
    "sshfs", "davfs2", "glusterfs", "virtiofs", "s3fs",  "rclone",
};

// Copies one space-separated field of a mountinfo line, undoing the octal
// escapes (\040 for a space) that the kernel writes for odd characters.
const char* copy_field(const char* from, char* to, size_t capacity) {
    size_t used = 0;
    while (*from != '\0' && *from != ' ' && *from != '\n') {
        char c = *from++;
        if (c == '\\' && from[0] >= '0' && from[0] <= '3' && from[1] >= '0' && from[1] <= '7' &&
            from[2] >= '0' && from[2] <= '7') {
            c = static_cast<char>((from[0] - '0') << 6 | (from[1] - '0') << 3 | (from[2] - '0'));
            from += 3;
        }
        if (used + 1 < capacity) {
            to[used++] = c;
        }
    }
    if (capacity > 0) {
        to[used] = '\0';
    }
    return from;
}

} // namespace

FileSystemKind file_system_kind(const char* type) {
    if (std::strcmp(type, "fuseblk") == 0) {
        return file_system_fuse_device;
    }
    const char* sub_type = type;
    if (std::strncmp(type, "fuse", 4) == 0) {
        if (type[4] == '\0') {
            return file_system_fuse;
        }
        if (type[4] != '.') {
            return file_system_local; // fusectl and the like: not FUSE mounts
        }
        sub_type = type + 5; // "fuse.sshfs": a daemon that may well be networked
    }
    for (const char* network : network_types) {
        if (std::strcmp(sub_type, network) == 0) {
            return file_system_network;
        }
    }
    return sub_type == type ? file_system_local : file_system_fuse;
}

bool parse_mount_line(const char* line, unsigned* major, unsigned* minor, char* type,
                      size_t type_capacity, char* source, size_t source_capacity) {
    // "36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 - ext3 /dev/root rw"
    char* end = nullptr;
    const char* at = line;
    for (int field = 0; field < 2; ++field) {
        std::strtoul(at, &end, 10);
        if (end == at || *end != ' ') {
            return false;
        }
        at = end + 1;
    }
    *major = static_cast<unsigned>(std::strtoul(at, &end, 10));
    if (end == at || *end != ':') {
        return false;
    }
    at = end + 1;
    *minor = static_cast<unsigned>(std::strtoul(at, &end, 10));
    if (end == at || *end != ' ') {
        return false;
    }
    const char* separator = std::strstr(end, " - ");
    if (separator == nullptr) {
        return false;
    }
    at = copy_field(separator + 3, type, type_capacity);
    if (*at != ' ' || type[0] == '\0') {
        return false;
    }
    copy_field(at + 1, source, source_capacity);
    return true;
}

#if defined(_WIN32)

// Calls that came with Windows Vista (GetFileInformationByHandleEx and the
// like) are not used: the program runs on XP.
void find_file_system(const char* path, intptr_t, FileSystemInfo* info) {
    info->kind = file_system_local;
    info->type[0] = '\0';
    info->source[0] = '\0';
    wchar_t root[MAX_PATH + 1];
    if (!GetVolumePathNameW(wide_path(path), root, MAX_PATH + 1)) {
        return;
    }
    WideCharToMultiByte(CP_UTF8, 0, root, -1, info->source, sizeof info->source, nullptr,
                        nullptr);
    wchar_t type[64];
    if (GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, type, 64)) {
        WideCharToMultiByte(CP_UTF8, 0, type, -1, info->type, sizeof info->type, nullptr,
                            nullptr);
    }
    // A file on a share: FILE_FLAG_NO_BUFFERING passes this machine's cache,
    // not the server's.
    if (GetDriveTypeW(root) == DRIVE_REMOTE) {
        info->kind = file_system_network;
    }
}

ReadMethod reach_the_drive(const FileSystemInfo* info, ReadMethod opened, char* why,
                           size_t capacity) {
    if (info->kind == file_system_network) {
        std::snprintf(why, capacity, "\"%s\" is a network share", info->source);
        return read_network;
    }
    if (opened == read_through_cache) {
        std::snprintf(why, capacity, "the file system refuses reads around the cache");
    }
    return opened;
}

#else

void find_file_system(const char*, intptr_t handle, FileSystemInfo* info) {
    info->kind = file_system_local;
    info->type[0] = '\0';
    info->source[0] = '\0';
    struct stat status;
    if (fstat(static_cast<int>(handle - 1), &status) != 0) {
        return;
    }
    std::FILE* mounts = std::fopen("/proc/self/mountinfo", "re");
    if (mounts == nullptr) {
        return;
    }
    char line[8192];
    while (std::fgets(line, sizeof line, mounts) != nullptr) {
        unsigned major_number;
        unsigned minor_number;
        if (parse_mount_line(line, &major_number, &minor_number, info->type, sizeof info->type,
                             info->source, sizeof info->source) &&
            major_number == major(status.st_dev) && minor_number == minor(status.st_dev)) {
            info->kind = file_system_kind(info->type);
            break;
        }
        info->type[0] = '\0';
        info->source[0] = '\0';
    }
    std::fclose(mounts);
}

ReadMethod reach_the_drive(const FileSystemInfo* info, ReadMethod opened, char* why,
                           size_t capacity) {
    switch (info->kind) {
    case file_system_local:
        return opened;
    case file_system_network:
        std::snprintf(why, capacity, "\"%s\" is a network file system (%s)", info->source,
                      info->type);
        return read_network;
    case file_system_fuse:
        std::snprintf(why, capacity, "\"%s\" is a FUSE file system (%s) with no device to read",
                      info->source, info->type);
        return read_fuse_unbacked;
    case file_system_fuse_device:
        break;
    }
    // The daemon reads the device through the device's page cache, which
    // still holds what was just written: write it back and drop it.
    int device = open(info->source, O_RDONLY | O_CLOEXEC);
    if (device < 0) {
        std::snprintf(why, capacity, "cannot open %s to drop its cache: %s", info->source,
                      std::strerror(errno));
        return read_device_cached;
    }
    ReadMethod method = read_device_flushed;
    if (ioctl(device, BLKFLSBUF, 0) != 0) {
        int error = errno;
        method = read_device_advised;
        if (fdatasync(device) != 0 || posix_fadvise(device, 0, 0, POSIX_FADV_DONTNEED) != 0) {
            std::snprintf(why, capacity, "cannot drop the cache of %s: %s", info->source,
                          std::strerror(error));
            method = read_device_cached;
        }
    }
    close(device);
    return method;
}

#endif
