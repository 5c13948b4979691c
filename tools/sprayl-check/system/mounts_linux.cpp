#include "mounts_linux.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/sysmacros.h>

namespace {

// File systems whose files live on another machine: a read around this
// machine's cache may still be answered from the server's memory.
const char* const network_types[] = {
    "nfs",   "nfs4",   "cifs",   "smb3",  "smbfs",  "9p",        "ceph",     "afs",  "coda",
    "ncpfs", "lustre", "beegfs", "sshfs", "davfs2", "glusterfs", "virtiofs", "s3fs", "rclone",
};

// Copies one space-separated field of a mountinfo line, undoing the octal
// escapes (\040 for a space) that the kernel writes for odd characters;
// with no room (capacity 0), only passes over it. Returns where the field
// ends.
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

// The " - " that ends the optional fields, before the end of the line at
// from; nullptr when there is none.
const char* field_separator(const char* from) {
    const char* end = from + std::strcspn(from, "\n");
    for (const char* at = from; at + 3 <= end; ++at) {
        if (at[0] == ' ' && at[1] == '-' && at[2] == ' ') {
            return at;
        }
    }
    return nullptr;
}

// The device number at the start of a line ("36 35 98:0 ..."); returns
// where it ends, or nullptr when the line does not start so.
const char* read_device(const char* line, dev_t* device) {
    char* end = nullptr;
    const char* at = line;
    for (int field = 0; field < 2; ++field) { // the mount's id and its parent's
        std::strtoul(at, &end, 10);
        if (end == at || *end != ' ') {
            return nullptr;
        }
        at = end + 1;
    }
    unsigned long major_number = std::strtoul(at, &end, 10);
    if (end == at || *end != ':') {
        return nullptr;
    }
    at = end + 1;
    unsigned long minor_number = std::strtoul(at, &end, 10);
    if (end == at || *end != ' ') {
        return nullptr;
    }
    *device = makedev(static_cast<unsigned>(major_number), static_cast<unsigned>(minor_number));
    return end;
}

} // namespace

bool parse_mount_line(const char* line, MountLine* mount) {
    // "36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 - ext3 /dev/root rw"
    const char* at = read_device(line, &mount->device);
    if (at == nullptr) {
        return false;
    }
    at = copy_field(at + 1, nullptr, 0); // the root of the mount within its file system
    if (*at != ' ') {
        return false;
    }
    at = copy_field(at + 1, mount->mount_point, sizeof mount->mount_point);
    const char* separator = field_separator(at);
    if (separator == nullptr) {
        return false;
    }
    at = copy_field(separator + 3, mount->type, sizeof mount->type);
    if (*at != ' ' || mount->type[0] == '\0') {
        return false;
    }
    at = copy_field(at + 1, mount->source, sizeof mount->source);
    copy_field(*at == ' ' ? at + 1 : at, mount->options, sizeof mount->options);
    return true;
}

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

bool find_mount_in(const char* mountinfo, const dev_t* devices, size_t count, MountLine* mount) {
    for (const char* line = mountinfo; *line != '\0';) {
        if (parse_mount_line(line, mount) &&
            std::find(devices, devices + count, mount->device) != devices + count) {
            return true;
        }
        const char* end = std::strchr(line, '\n');
        if (end == nullptr) {
            break;
        }
        line = end + 1;
    }
    return false;
}

MountSearch find_mount(const dev_t* devices, size_t count, MountLine* mount) {
    std::string mountinfo = kernel_file_text("/proc/self/mountinfo");
    if (mountinfo.empty()) {
        return mounts_unknown;
    }
    return find_mount_in(mountinfo.c_str(), devices, count, mount) ? mount_found : mount_not_found;
}

std::string kernel_file_text(const char* path) {
    std::string text;
    std::FILE* file = std::fopen(path, "re");
    if (file == nullptr) {
        return text;
    }
    char piece[4096];
    size_t got;
    while ((got = std::fread(piece, 1, sizeof piece, file)) > 0) {
        text.append(piece, got);
    }
    std::fclose(file);
    return text;
}
