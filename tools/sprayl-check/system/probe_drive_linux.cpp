// The probe's drive on Linux: a whole block device opened for the probe
// alone, after the checks that keep it off anything in use (sysfs,
// /proc/self/mountinfo, /proc/swaps), its size and sector size from the
// block ioctls; and the backup file. Regular files only when asked (for
// tests).
#include "probe_drive.h"

#include "mounts_linux.h"
#include "printf_format.h"
#include "read_many_linux.h"
#include "sysfs_identity.h"
#include "system.h"
#include "text_sizes.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

// A drive open for the probe.
struct PosixDrive {
    int fd;
    uint64_t size;
    uint32_t sector;
    std::string name;       // the kernel's name (sdb, loop3), or the file's path
    unsigned char* aligned; // a bounce buffer for O_DIRECT
    bool block;             // a block device, not a regular file
    dev_t number;           // a block device's number
    dev_t file_system;      // a regular file's file system and inode
    ino_t inode;
    ManyReads many; // reads with several in flight
};

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

// The kernel's name of a block device number: the last part of the link
// /sys/dev/block/MAJOR:MINOR.
std::string block_name(dev_t device) {
    char link[64];
    std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(device), minor(device));
    char target[path_capacity];
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0) {
        return "";
    }
    target[length] = 0;
    const char* slash = std::strrchr(target, '/');
    return slash != nullptr ? slash + 1 : target;
}

// The folders in /sys/class/block of the disk name and of each of its
// partitions (sdb1, nvme0n1p1: the entries there that begin with its name).
std::vector<std::string> disk_and_partitions(const std::string& name) {
    std::string base = "/sys/class/block/" + name;
    std::vector<std::string> places = {base};
    DIR* directory = opendir(base.c_str());
    if (directory == nullptr) {
        return places;
    }
    while (dirent* entry = readdir(directory)) {
        std::string part = entry->d_name;
        if (part.compare(0, name.size(), name) == 0 && part != name) {
            places.push_back(base + "/" + part);
        }
    }
    closedir(directory);
    return places;
}

// The device numbers of those folders (their dev files, "8:17"), where
// they tell one.
std::vector<dev_t> device_numbers(const std::vector<std::string>& places) {
    std::vector<dev_t> numbers;
    for (const std::string& place : places) {
        unsigned major_number = 0;
        unsigned minor_number = 0;
        if (std::sscanf(first_line(place + "/dev").c_str(), "%u:%u", &major_number,
                        &minor_number) == 2) {
            numbers.push_back(makedev(major_number, minor_number));
        }
    }
    return numbers;
}

// A device that holds one of those (a device-mapper or RAID device), or
// empty.
std::string holder_of(const std::vector<std::string>& places) {
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
    std::string swaps = kernel_file_text("/proc/swaps");
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

bool refuse(char* message, size_t capacity, const char* format, ...) PRINTF_FORMAT(3, 4);

// Says in message why the drive or the backup is refused; returns false.
bool refuse(char* message, size_t capacity, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, capacity, format, arguments);
    va_end(arguments);
    return false;
}

// The checks on a block device before it is opened.
bool check_whole_disk(const std::string& name, const char* path, char* message, size_t capacity) {
    std::string base = "/sys/class/block/" + name;
    if (access((base + "/partition").c_str(), F_OK) == 0) {
        char target[path_capacity];
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
    std::vector<std::string> places = disk_and_partitions(name);
    std::vector<dev_t> numbers = device_numbers(places);
    MountLine mount;
    MountSearch search = find_mount(numbers.data(), numbers.size(), &mount);
    if (search == mounts_unknown) {
        return refuse(message, capacity,
                      "%s: /proc/self/mountinfo cannot be read (is /proc mounted?): the probe"
                      " checks there that no file system on the drive is mounted",
                      path);
    }
    if (search == mount_found) {
        return refuse(message, capacity, "%s holds a mounted file system (on %s): unmount it first",
                      path, mount.mount_point);
    }
    std::string swap = swap_on(name);
    if (!swap.empty()) {
        return refuse(message, capacity, "%s holds a swap area in use (%s)", path, swap.c_str());
    }
    std::string holder = holder_of(places);
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

// Opens the drive that status describes for the probe, after the checks,
// into drive (its fd, size, sector size and buffer set).
bool open_checked(const char* path, const struct stat* status, PosixDrive* drive, char* message,
                  size_t capacity) {
    if (drive->block && drive->name.empty()) {
        // Without /sys nothing tells a partition, a mounted or a held disk
        // apart from a free one: refuse rather than guess.
        return refuse(message, capacity,
                      "%s cannot be looked up in /sys/dev/block (is /sys mounted?): the probe"
                      " checks there that the drive is whole and not in use",
                      path);
    }
    if (drive->block && !check_whole_disk(drive->name, path, message, capacity)) {
        return false;
    }
    drive->fd = open(path, O_RDWR | O_DIRECT | O_CLOEXEC | (drive->block ? O_EXCL : 0));
    if (drive->fd < 0) {
        return refuse(message, capacity,
                      errno == EBUSY ? "%s is in use (%s)" : "%s cannot be opened: %s", path,
                      std::strerror(errno));
    }
    uint64_t size = static_cast<uint64_t>(status->st_size);
    int sector = 512;
    int read_only = 0;
    if (drive->block &&
        (ioctl(drive->fd, BLKGETSIZE64, &size) != 0 || ioctl(drive->fd, BLKSSZGET, &sector) != 0 ||
         ioctl(drive->fd, BLKROGET, &read_only) != 0)) {
        return refuse(message, capacity, "%s does not tell its size: %s", path,
                      std::strerror(errno));
    }
    drive->size = size;
    drive->sector = static_cast<uint32_t>(sector);
    if (read_only != 0) {
        return refuse(message, capacity, "%s is read-only", path);
    }
    if (size < smallest_probed) {
        return refuse(message, capacity, "%s is smaller than the probe needs", path);
    }
    void* aligned = nullptr;
    if (posix_memalign(&aligned, 4096, bounce_bytes) != 0) {
        return refuse(message, capacity, "%s: no memory for the buffer", path);
    }
    drive->aligned = static_cast<unsigned char*>(aligned);
    if (drive->many.buffer == nullptr && !start_many_reads(&drive->many)) {
        return refuse(message, capacity, "%s: no memory for the buffer", path);
    }
    return true;
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

void posix_read_many(void* context, const uint64_t* offsets, size_t count, size_t length,
                     unsigned char* buffer, bool* ok) {
    PosixDrive* drive = static_cast<PosixDrive*>(context);
    if (length > bounce_bytes) { // larger than read_many takes: one by one
        for (size_t k = 0; k < count; ++k) {
            ok[k] = posix_read(context, offsets[k], length, buffer + k * length);
        }
        return;
    }
    read_many(&drive->many, drive->fd, offsets, count, length, buffer, ok);
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
    return clock_seconds();
}

// ---- A replug: the drive goes away and comes back, under any name. ----

constexpr double replug_seconds = 120;
constexpr useconds_t replug_poll_microseconds = 100000;

// The whole disk (no partition) that carries identity and sector size
// now, or empty.
std::string disk_named_by(const std::string& identity, uint32_t sector) {
    DIR* directory = opendir("/sys/class/block");
    if (directory == nullptr) {
        return "";
    }
    std::string found;
    while (dirent* entry = readdir(directory)) {
        std::string name = entry->d_name;
        std::string base = "/sys/class/block/" + name;
        if (name[0] == '.' || access((base + "/partition").c_str(), F_OK) == 0) {
            continue;
        }
        PosixDrive candidate = {-1, 0, 0, name, nullptr, true, 0, 0, 0, {}};
        candidate.size = std::strtoull(first_line(base + "/size").c_str(), nullptr, 10) * 512;
        uint32_t logical = static_cast<uint32_t>(
            std::strtoul(first_line(base + "/queue/logical_block_size").c_str(), nullptr, 10));
        if (candidate.size > 0 && logical == sector && identity_of(&candidate) == identity) {
            found = name;
            break;
        }
    }
    closedir(directory);
    return found;
}

// Waits, at most replug_seconds and until a stop request, for the drive to
// be gone and then back (known by its identity and sector size), and opens
// it again in place, after the same checks as the first time. Closed
// while it waits (a loop device is detached only once closed); where it
// does not come back, the drive is opened again where it is, if it is.
bool posix_replug(void* context, const char*) {
    PosixDrive* drive = static_cast<PosixDrive*>(context);
    std::string identity = identity_of(drive);
    close(drive->fd);
    drive->fd = -1;
    double deadline = clock_seconds() + replug_seconds;
    bool left = false;
    std::string name;
    while (clock_seconds() < deadline && stop_requested == 0) {
        name = disk_named_by(identity, drive->sector);
        left = left || name.empty();
        if (left && !name.empty()) {
            break;
        }
        usleep(replug_poll_microseconds);
    }
    name = disk_named_by(identity, drive->sector);
    std::string path = "/dev/" + name;
    struct stat status;
    char message[message_capacity];
    if (name.empty() || stat(path.c_str(), &status) != 0 || !S_ISBLK(status.st_mode)) {
        return false;
    }
    std::free(drive->aligned);
    drive->aligned = nullptr;
    drive->name = name;
    drive->number = status.st_rdev;
    bool opened = open_checked(path.c_str(), &status, drive, message, sizeof message);
    return opened && left;
}

void free_drive(PosixDrive* drive) {
    if (drive->fd >= 0) {
        close(drive->fd);
    }
    std::free(drive->aligned);
    end_many_reads(&drive->many);
    delete drive;
}

// The backup file: written with pwrite(), flushed with fdatasync().
struct PosixBackup {
    int fd;
};

bool backup_write(void* context, uint64_t offset, const unsigned char* bytes, size_t size) {
    int fd = static_cast<PosixBackup*>(context)->fd;
    while (size > 0) {
        ssize_t put = pwrite(fd, bytes, size, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        bytes += put;
        offset += static_cast<uint64_t>(put);
        size -= static_cast<size_t>(put);
    }
    return true;
}

bool backup_flush(void* context) {
    return fdatasync(static_cast<PosixBackup*>(context)->fd) == 0;
}

// Whether path names the drive itself: the same device, or the same file.
bool is_the_drive(const struct stat* status, const PosixDrive* drive) {
    if (S_ISBLK(status->st_mode)) {
        return drive->block && status->st_rdev == drive->number;
    }
    return !drive->block && status->st_dev == drive->file_system && status->st_ino == drive->inode;
}

// Whether the file system holding the file is on the drive probed.
bool on_the_drive(const struct stat* status, const PosixDrive* drive) {
    if (!drive->block) {
        return false;
    }
    std::vector<dev_t> numbers = device_numbers(disk_and_partitions(drive->name));
    return std::find(numbers.begin(), numbers.end(), status->st_dev) != numbers.end();
}

// Makes a new file's name safe along with its data: the directory that
// holds it, flushed. Where the system cannot, the first flush of the file
// is all there is.
void flush_directory_of(const char* path) {
    std::string directory = path;
    size_t slash = directory.rfind('/');
    directory = slash == std::string::npos ? "." : slash == 0 ? "/" : directory.substr(0, slash);
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

} // namespace

bool open_probe_drive(const char* path, bool regular_file, ProbeDrive* probe_drive, char* message,
                      size_t capacity) {
    *probe_drive = {};
    struct stat status;
    if (stat(path, &status) != 0) {
        return refuse(message, capacity, "%s: %s", path, std::strerror(errno));
    }
    bool block = S_ISBLK(status.st_mode);
    if (!block && !(regular_file && S_ISREG(status.st_mode))) {
        return refuse(message, capacity, "%s is not a block device", path);
    }
    PosixDrive* drive = new PosixDrive{
        -1, 0, 0, "", nullptr, block, status.st_rdev, status.st_dev, status.st_ino, {}};
    drive->name = block ? block_name(status.st_rdev) : path;
    bool opened = open_checked(path, &status, drive, message, capacity);
    if (!opened) {
        free_drive(drive);
        return false;
    }
    probe_drive->device = {
        drive,          drive->size, drive->sector, posix_read,
        posix_write,    posix_flush, posix_seconds, block ? posix_replug : nullptr,
        posix_read_many};
    probe_drive->identity = identity_of(drive);
    if (block) {
        read_drive_identity("/sys", drive->name.c_str(), &probe_drive->reported);
    }
    return true;
}

void close_probe_drive(ProbeDrive* drive) {
    if (drive->device.context != nullptr) {
        free_drive(static_cast<PosixDrive*>(drive->device.context));
    }
    drive->device.context = nullptr;
}

bool create_backup_file(const char* path, const ProbeDrive* probe_drive, const char* drive_path,
                        BackupFile* backup, char* message, size_t capacity) {
    *backup = {};
    const PosixDrive* drive = static_cast<const PosixDrive*>(probe_drive->device.context);
    struct stat status;
    if (stat(path, &status) == 0 && is_the_drive(&status, drive)) {
        return refuse(message, capacity, "the backup %s is the drive probed (%s)", path,
                      drive_path);
    }
    if (lstat(path, &status) == 0) {
        return refuse(message, capacity,
                      "the backup %s exists already: the probe writes its backup only to a new"
                      " file",
                      path);
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return refuse(message, capacity, "the backup %s cannot be created: %s", path,
                      std::strerror(errno));
    }
    if (fstat(fd, &status) == 0 && on_the_drive(&status, drive)) {
        close(fd);
        unlink(path);
        return refuse(message, capacity, "the backup %s cannot be on the drive probed (%s)", path,
                      drive_path);
    }
    flush_directory_of(path);
    backup->sink = {new PosixBackup{fd}, backup_write, backup_flush};
    backup->path = path;
    return true;
}

bool close_backup_file(BackupFile* backup) {
    PosixBackup* file = static_cast<PosixBackup*>(backup->sink.context);
    if (file == nullptr) {
        return true;
    }
    bool closed = close(file->fd) == 0;
    delete file;
    backup->sink.context = nullptr;
    return closed;
}

bool read_backup_file(const char* path, size_t limit, std::vector<unsigned char>* bytes,
                      char* message, size_t capacity) {
    bytes->clear();
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return refuse(message, capacity, "the backup %s cannot be read: %s", path,
                      std::strerror(errno));
    }
    unsigned char piece[65536];
    ssize_t got;
    while (bytes->size() < limit &&
           (got = read(fd, piece, std::min(sizeof piece, limit - bytes->size()))) != 0) {
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            int error = errno;
            close(fd);
            return refuse(message, capacity, "the backup %s cannot be read: %s", path,
                          std::strerror(error));
        }
        bytes->insert(bytes->end(), piece, piece + got);
    }
    close(fd);
    return true;
}
