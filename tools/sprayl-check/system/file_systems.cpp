#include "file_systems.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// File systems whose files live on another machine: a read around this
// machine's cache may still be answered from the server's memory.
const char* const network_types[] = {
    "nfs",   "nfs4",   "cifs",   "smb3",  "smbfs",  "9p",        "ceph",     "afs",  "coda",
    "ncpfs", "lustre", "beegfs", "sshfs", "davfs2", "glusterfs", "virtiofs", "s3fs", "rclone",
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
