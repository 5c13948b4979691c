#include "probe_drive_posix.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

const char* const probe_unavailable = nullptr;

namespace {

constexpr size_t bounce_bytes = size_t{1} << 20;
// The probe needs at least this much (it refuses smaller drives itself too).
constexpr uint64_t smallest_probed = uint64_t{4} << 20;

// The first line of a small file, or empty.
std::string first_line(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        return "";
    }
    char line[512] = "";
    if (std::fgets(line, sizeof line, file) == nullptr) {
        line[0] = 0;
    }
    std::fclose(file);
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

std::string whole_file(const char* path) {
    std::string text;
    FILE* file = std::fopen(path, "r");
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

// The kernel's name of a block device number: the last part of the link
// /sys/dev/block/MAJOR:MINOR.
std::string block_name(dev_t device) {
    char link[64];
    std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(device), minor(device));
    char target[4096];
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0) {
        return "";
    }
    target[length] = 0;
    const char* slash = std::strrchr(target, '/');
    return slash != nullptr ? slash + 1 : target;
}

// The numbers (major:minor) of the disk and of each of its partitions.
std::vector<std::string> disk_and_partitions(const std::string& name) {
    std::string base = "/sys/class/block/" + name;
    std::vector<std::string> numbers = {first_line(base + "/dev")};
    DIR* directory = opendir(base.c_str());
    if (directory == nullptr) {
        return numbers;
    }
    while (dirent* entry = readdir(directory)) {
        std::string part = entry->d_name;
        if (part.compare(0, name.size(), name) == 0 && part != name) {
            numbers.push_back(first_line(base + "/" + part + "/dev"));
        }
    }
    closedir(directory);
    return numbers;
}

// A device that holds this disk or one of its partitions (a device-mapper
// or RAID device), or empty.
std::string holder_of(const std::string& name) {
    std::vector<std::string> places = {"/sys/class/block/" + name};
    DIR* directory = opendir(places[0].c_str());
    if (directory != nullptr) {
        while (dirent* entry = readdir(directory)) {
            std::string part = entry->d_name;
            if (part.compare(0, name.size(), name) == 0 && part != name) {
                places.push_back(places[0] + "/" + part);
            }
        }
        closedir(directory);
    }
    for (const std::string& place : places) {
        DIR* holders = opendir((place + "/holders").c_str());
        if (holders == nullptr) {
            continue;
        }
        std::string held;
        while (dirent* entry = readdir(holders)) {
            if (entry->d_name[0] != '.') {
                held = entry->d_name;
            }
        }
        closedir(holders);
        if (!held.empty()) {
            return held;
        }
    }
    return "";
}

// A swap area on one of the named devices (/proc/swaps), or empty.
std::string swap_on(const std::string& name) {
    std::string swaps = whole_file("/proc/swaps");
    std::string wanted = "/dev/" + name;
    size_t at = 0;
    while ((at = swaps.find(wanted, at)) != std::string::npos) {
        if (at == 0 || swaps[at - 1] == '\n') {
            return swaps.substr(at, swaps.find_first_of(" \t\n", at) - at);
        }
        at += wanted.size();
    }
    return "";
}

bool refuse(char* message, size_t capacity, const char* format, const char* a, const char* b) {
    std::snprintf(message, capacity, format, a, b);
    return false;
}

// The checks on a block device before it is opened.
bool check_whole_disk(const std::string& name, const char* path, char* message, size_t capacity) {
    std::string base = "/sys/class/block/" + name;
    if (access((base + "/partition").c_str(), F_OK) == 0) {
        char target[4096];
        ssize_t length = readlink(base.c_str(), target, sizeof target - 1);
        std::string disk;
        if (length > 0) {
            target[length] = 0;
            std::string link = target;
            link = link.substr(0, link.rfind('/'));
            disk = link.substr(link.rfind('/') + 1);
        }
        return refuse(message, capacity,
                      "%s is a partition: the probe tests a whole drive (/dev/%s)", path,
                      disk.c_str());
    }
    std::vector<std::string> numbers = disk_and_partitions(name);
    std::string mountinfo = whole_file("/proc/self/mountinfo");
    std::string mount = mounted_from(mountinfo.c_str(), numbers.data(), numbers.size());
    if (!mount.empty()) {
        return refuse(message, capacity, "%s holds a mounted file system (on %s): unmount it first",
                      path, mount.c_str());
    }
    std::string swap = swap_on(name);
    if (!swap.empty()) {
        return refuse(message, capacity, "%s holds a swap area in use (%s)", path, swap.c_str());
    }
    std::string holder = holder_of(name);
    if (!holder.empty()) {
        return refuse(message, capacity, "%s is in use by the device %s", path, holder.c_str());
    }
    return true;
}

// What names the drive in its backup: its size and its model and serial
// number when the system knows them (the same drive under another name
// after replugging), the file behind a loop device, else its name.
std::string identity_of(const PosixDrive* drive) {
    std::string base = "/sys/class/block/" + drive->name;
    std::string identity = std::to_string(drive->size) + " bytes, ";
    std::string serial = first_line(base + "/device/serial");
    if (!serial.empty()) {
        return identity + first_line(base + "/device/model") + " " + serial;
    }
    std::string backing = first_line(base + "/loop/backing_file");
    return identity + (backing.empty() ? drive->name : "loop over " + backing);
}

bool posix_read(void* context, uint64_t offset, size_t length, unsigned char* buffer) {
    PosixDrive* drive = static_cast<PosixDrive*>(context);
    for (size_t done = 0; done < length;) {
        size_t piece = std::min(bounce_bytes, length - done);
        ssize_t got = pread(drive->fd, drive->aligned, piece, static_cast<off_t>(offset + done));
        if (got != static_cast<ssize_t>(piece)) {
            return false;
        }
        std::memcpy(buffer + done, drive->aligned, piece);
        done += piece;
    }
    return true;
}

bool posix_write(void* context, uint64_t offset, size_t length, const unsigned char* data) {
    PosixDrive* drive = static_cast<PosixDrive*>(context);
    for (size_t done = 0; done < length;) {
        size_t piece = std::min(bounce_bytes, length - done);
        std::memcpy(drive->aligned, data + done, piece);
        ssize_t put = pwrite(drive->fd, drive->aligned, piece, static_cast<off_t>(offset + done));
        if (put != static_cast<ssize_t>(piece)) {
            return false;
        }
        done += piece;
    }
    return true;
}

bool posix_flush(void* context) {
    return fdatasync(static_cast<PosixDrive*>(context)->fd) == 0;
}

double posix_seconds(void*) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The backup file: appended with write(), flushed with fdatasync().
bool file_append(void* context, const unsigned char* bytes, size_t size) {
    int fd = *static_cast<int*>(context);
    while (size > 0) {
        ssize_t put = write(fd, bytes, size);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        bytes += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

bool file_flush(void* context) {
    return fdatasync(*static_cast<int*>(context)) == 0;
}

} // namespace

std::string mounted_from(const char* mountinfo, const std::string* devices, size_t count) {
    // Each line: id parent major:minor root mount-point options ...
    const char* line = mountinfo;
    while (*line != 0) {
        const char* end = std::strchr(line, '\n');
        std::string text(line,
                         end != nullptr ? static_cast<size_t>(end - line) : std::strlen(line));
        char number[64] = "";
        char mount[4096] = "";
        if (std::sscanf(text.c_str(), "%*s %*s %63s %*s %4095s", number, mount) == 2) {
            for (size_t k = 0; k < count; ++k) {
                if (devices[k] == number) {
                    return mount;
                }
            }
        }
        if (end == nullptr) {
            break;
        }
        line = end + 1;
    }
    return "";
}

bool open_probe_drive(const char* path, bool allow_regular_file, PosixDrive* drive, char* message,
                      size_t capacity) {
    *drive = {-1, 0, 0, "", "", nullptr};
    struct stat status;
    if (stat(path, &status) != 0) {
        return refuse(message, capacity, "%s: %s", path, std::strerror(errno));
    }
    bool block = S_ISBLK(status.st_mode);
    if (!block && !(allow_regular_file && S_ISREG(status.st_mode))) {
        return refuse(message, capacity, "%s is not a block device%s", path, "");
    }
    drive->name = block ? block_name(status.st_rdev) : path;
    if (block && drive->name.empty()) {
        // Without /sys nothing tells a partition, a mounted or a held disk
        // apart from a free one: refuse rather than guess.
        return refuse(message, capacity,
                      "%s cannot be looked up in /sys/dev/block (is /sys mounted?): the probe"
                      " checks there that the drive is whole and not in use%s",
                      path, "");
    }
    if (block && !check_whole_disk(drive->name, path, message, capacity)) {
        return false;
    }
    int fd = open(path, O_RDWR | O_DIRECT | O_CLOEXEC | (block ? O_EXCL : 0));
    if (fd < 0) {
        return refuse(message, capacity,
                      errno == EBUSY ? "%s is in use (%s)" : "%s cannot be opened: %s", path,
                      std::strerror(errno));
    }
    drive->fd = fd;
    uint64_t size = static_cast<uint64_t>(status.st_size);
    int sector = 512;
    int read_only = 0;
    if (block && (ioctl(fd, BLKGETSIZE64, &size) != 0 || ioctl(fd, BLKSSZGET, &sector) != 0 ||
                  ioctl(fd, BLKROGET, &read_only) != 0)) {
        close_probe_drive(drive);
        return refuse(message, capacity, "%s does not tell its size: %s", path,
                      std::strerror(errno));
    }
    drive->size = size;
    drive->sector = static_cast<uint32_t>(sector);
    if (read_only != 0) {
        close_probe_drive(drive);
        return refuse(message, capacity, "%s is read-only%s", path, "");
    }
    if (size < smallest_probed) {
        close_probe_drive(drive);
        return refuse(message, capacity, "%s is smaller than the probe needs%s", path, "");
    }
    void* aligned = nullptr;
    if (posix_memalign(&aligned, 4096, bounce_bytes) != 0) {
        close_probe_drive(drive);
        return refuse(message, capacity, "%s: no memory for the buffer%s", path, "");
    }
    drive->aligned = static_cast<unsigned char*>(aligned);
    drive->identity = identity_of(drive);
    return true;
}

void close_probe_drive(PosixDrive* drive) {
    if (drive->fd >= 0) {
        close(drive->fd);
    }
    std::free(drive->aligned);
    drive->fd = -1;
    drive->aligned = nullptr;
}

ProbeDevice posix_probe_device(PosixDrive* drive) {
    return {drive, drive->size, drive->sector, posix_read, posix_write, posix_flush, posix_seconds};
}

bool run_probe(const char* path, const char* backup_path, const ProbeOptions* options,
               bool allow_regular_file, ProbeResult* result, char* message, size_t capacity) {
    PosixDrive drive;
    if (!open_probe_drive(path, allow_regular_file, &drive, message, capacity)) {
        return false;
    }
    int backup_fd = -1;
    if (!options->destructive) {
        backup_fd = open(backup_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        struct stat status;
        // A backup on the drive itself would be overwritten by the probe.
        bool on_drive = false;
        if (backup_fd >= 0 && fstat(backup_fd, &status) == 0 &&
            drive.name.find('/') == std::string::npos) {
            std::string number =
                std::to_string(major(status.st_dev)) + ":" + std::to_string(minor(status.st_dev));
            for (const std::string& device : disk_and_partitions(drive.name)) {
                on_drive = on_drive || device == number;
            }
        }
        if (backup_fd < 0 || on_drive) {
            int error = errno;
            if (backup_fd >= 0) {
                close(backup_fd);
                unlink(backup_path);
            }
            close_probe_drive(&drive);
            return refuse(message, capacity,
                          on_drive ? "the backup %s cannot be on the drive probed%s"
                                   : "the backup %s cannot be created: %s",
                          backup_path, on_drive ? "" : std::strerror(error));
        }
    }
    BackupSink sink = {&backup_fd, file_append, file_flush};
    ProbeDevice device = posix_probe_device(&drive);
    ProbeOptions named = *options;
    named.identity = drive.identity.c_str();
    bool ok = probe_drive(&device, &sink, &named, result, message, capacity);
    if (backup_fd >= 0) {
        close(backup_fd);
    }
    close_probe_drive(&drive);
    return ok;
}

bool run_restore(const char* path, const char* backup_path, bool allow_regular_file,
                 RestoreOutcome* outcome, char* message, size_t capacity) {
    *outcome = {};
    FILE* file = std::fopen(backup_path, "rb");
    if (file == nullptr) {
        return refuse(message, capacity, "the backup %s cannot be read: %s", backup_path,
                      std::strerror(errno));
    }
    std::vector<unsigned char> bytes;
    unsigned char piece[65536];
    size_t got;
    while ((got = std::fread(piece, 1, sizeof piece, file)) > 0) {
        bytes.insert(bytes.end(), piece, piece + got);
    }
    std::fclose(file);
    PosixDrive drive;
    if (!open_probe_drive(path, allow_regular_file, &drive, message, capacity)) {
        return false;
    }
    ProbeDevice device = posix_probe_device(&drive);
    bool ok = restore_from_backup(&device, drive.identity.c_str(), bytes.data(), bytes.size(),
                                  outcome, message, capacity);
    close_probe_drive(&drive);
    return ok;
}
