// The probe's drive on Linux: which drives and which backup files it
// refuses, and the probe of a loop device over a small image file, the
// file's bytes unchanged afterwards. The loop device tests need root and
// free loop devices; without, they say why they are skipped. They touch no
// disk but their own image in /tmp.
#include "mounts_linux.h"
#include "probe.h"
#include "probe_drive.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint64_t MiB = uint64_t{1} << 20;

const GeneratorState probe_run = {{0x243F6A88, 0x85A308D3, 0x13198A2E, 0x03707344},
                                  4 * weyl_increment};

TEST(FindMount, NamesTheMountOfAnyOfTheDevices) {
    const char* mountinfo = "22 1 253:0 / / rw,relatime shared:1 - ext4 /dev/vda rw,discard\n"
                            "35 22 0:31 / /proc rw - proc proc rw\n"
                            "40 22 8:17 / /media/stick rw,nosuid - vfat /dev/sdb1 rw\n"
                            "41 22 8:33 /sub /mnt/other\\040place rw - ext4 /dev/sdc1 rw,shutdown";
    const struct {
        std::vector<dev_t> devices;
        const char* mount_point; // nullptr: none found
        const char* options;
    } cases[] = {
        {{makedev(8, 16), makedev(8, 17), makedev(8, 18)}, "/media/stick", "rw"}, // a partition
        {{makedev(253, 0)}, "/", "rw,discard"}, // the running system
        // The last line, without a newline; the kernel's escape undone.
        {{makedev(8, 32), makedev(8, 33)}, "/mnt/other place", "rw,shutdown"},
        {{makedev(8, 48), makedev(8, 49)}, nullptr, ""}, // nothing mounted
        {{makedev(0, 3)}, nullptr, ""},                  // a number that is a prefix of one
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.devices[0]);
        MountLine mount = {};
        bool found = find_mount_in(mountinfo, c.devices.data(), c.devices.size(), &mount);
        ASSERT_EQ(found, c.mount_point != nullptr);
        if (found) {
            EXPECT_STREQ(mount.mount_point, c.mount_point);
            EXPECT_STREQ(mount.options, c.options);
        }
    }
}

// Runs a shell command; its first line of output.
std::string command_output(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char line[512];
    if (std::fgets(line, sizeof line, pipe) != nullptr) {
        output = line;
    }
    pclose(pipe);
    while (!output.empty() && output.back() == '\n') {
        output.pop_back();
    }
    return output;
}

// The probe as the command runs it: the drive and a new backup file from
// the system layer, the probe over them. False with message when the
// system layer refused either, or the probe did not finish.
bool probe_path(const std::string& path, const std::string& backup, bool regular_file,
                ProbeResult* result, std::string* message) {
    char text[512] = "";
    ProbeDrive drive;
    if (!open_probe_drive(path.c_str(), regular_file, &drive, text, sizeof text)) {
        *message = text;
        return false;
    }
    BackupFile file;
    bool ok = create_backup_file(backup.c_str(), &drive, path.c_str(), &file, text, sizeof text);
    if (ok) {
        ProbeOptions options = {probe_run, drive.identity.c_str(), false, nullptr};
        // No one here unplugs the drive: the command line asks for a
        // replug only on a terminal.
        drive.device.replug = nullptr;
        ok = probe_drive(&drive.device, &file.sink, &options, result, text, sizeof text);
        EXPECT_TRUE(close_backup_file(&file));
    }
    close_probe_drive(&drive);
    *message = text;
    return ok;
}

// --restore as the command runs it; false with message when refused.
bool restore_path(const std::string& path, const std::string& backup, RestoreVerdict* verdict,
                  std::string* message) {
    char text[512] = "";
    std::vector<unsigned char> bytes;
    BackupContents contents;
    ProbeDrive drive;
    if (!read_backup_file(backup.c_str(), SIZE_MAX, &bytes, text, sizeof text) ||
        !parse_backup(bytes.data(), bytes.size(), &contents, text, sizeof text) ||
        !open_probe_drive(path.c_str(), false, &drive, text, sizeof text)) {
        *message = text;
        return false;
    }
    RestoreOutcome outcome;
    bool ok = restore_from_backup(&drive.device, drive.identity.c_str(), &contents, &outcome, text,
                                  sizeof text);
    close_probe_drive(&drive);
    *verdict = restore_verdict(&contents, &outcome);
    *message = text;
    return ok;
}

// A small image file in /tmp with bytes of no pattern, and what it held.
struct Image {
    std::string path;
    std::vector<unsigned char> bytes;
};

void make_image(Image* image, uint64_t size) {
    char path[] = "/tmp/sprayl-probe-test-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    image->path = path;
    image->bytes.resize(size);
    uint64_t x = 0x2545F4914F6CDD1Dull;
    for (size_t k = 0; k < size; ++k) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        image->bytes[k] = static_cast<unsigned char>(x);
    }
    ASSERT_EQ(write(fd, image->bytes.data(), size), static_cast<ssize_t>(size));
    close(fd);
}

bool image_unchanged(const Image* image) {
    std::vector<unsigned char> now(image->bytes.size());
    FILE* file = std::fopen(image->path.c_str(), "rb");
    size_t got = file != nullptr ? std::fread(now.data(), 1, now.size(), file) : 0;
    if (file != nullptr) {
        std::fclose(file);
    }
    return got == now.size() && now == image->bytes;
}

std::string backup_path() {
    char path[] = "/tmp/sprayl-probe-backup-XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    unlink(path); // the probe creates it, and refuses one that exists
    return path;
}

// A regular file is probed only when asked; the file is as before after.
TEST(PosixProbe, ProbesARegularFileOnlyWhenAsked) {
    Image image;
    make_image(&image, 16 * MiB);
    std::string backup = backup_path();
    ProbeResult result;
    std::string message;
    EXPECT_FALSE(probe_path(image.path, backup, false, &result, &message));
    EXPECT_NE(message.find("not a block device"), std::string::npos) << message;
    bool probed = probe_path(image.path, backup, true, &result, &message);
    if (!probed && message.find("Invalid argument") != std::string::npos) {
        unlink(image.path.c_str());
        GTEST_SKIP() << "the file system of /tmp does not take O_DIRECT: " << message;
    }
    EXPECT_TRUE(probed) << message;
    EXPECT_EQ(result.capacity, 16 * MiB);
    EXPECT_EQ(result.past, past_nothing);
    EXPECT_TRUE(image_unchanged(&image));
    unlink(backup.c_str());
    unlink(image.path.c_str());
}

// A file's bytes, or "" when there is none.
std::string file_text(const std::string& path) {
    std::string text;
    FILE* file = std::fopen(path.c_str(), "rb");
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

// The backup goes only to a new file, never the drive itself: refused with
// one line before anything is written, every file as it was.
TEST(PosixProbe, TheBackupIsANewFileAndNotTheDrive) {
    Image image;
    make_image(&image, 16 * MiB);
    std::string user = backup_path();
    FILE* file = std::fopen(user.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("the user's notes\n", file);
    std::fclose(file);
    std::string link = backup_path();
    ASSERT_EQ(symlink((link + ".nowhere").c_str(), link.c_str()), 0);
    std::string to_image = backup_path();
    ASSERT_EQ(symlink(image.path.c_str(), to_image.c_str()), 0);
    const struct {
        std::string path;
        const char* refusal;
    } cases[] = {
        {image.path, "is the drive probed"},
        {to_image, "is the drive probed"},
        {user, "exists already"},
        {link, "exists already"},
        {"/tmp/sprayl-no-such-directory/probe.backup", "cannot be created"},
    };
    ProbeDrive drive;
    char message[512] = "";
    ASSERT_TRUE(open_probe_drive(image.path.c_str(), true, &drive, message, sizeof message))
        << message;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string before = file_text(c.path);
        BackupFile backup;
        EXPECT_FALSE(create_backup_file(c.path.c_str(), &drive, image.path.c_str(), &backup,
                                        message, sizeof message));
        EXPECT_NE(std::string(message).find(c.refusal), std::string::npos) << message;
        EXPECT_EQ(std::string(message).find('\n'), std::string::npos) << message;
        EXPECT_EQ(file_text(c.path), before);
    }
    close_probe_drive(&drive);
    EXPECT_TRUE(image_unchanged(&image));
    EXPECT_EQ(file_text(user), "the user's notes\n");
    unlink(link.c_str());
    unlink(to_image.c_str());
    unlink(user.c_str());
    unlink(image.path.c_str());
}

// A loop device over an image, attached for one test and detached after.
class LoopDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "loop devices need root";
        }
        if (access("/sys/dev/block", F_OK) != 0) {
            GTEST_SKIP() << "no /sys here: the probe refuses to work without it";
        }
        make_image(&image, 64 * MiB);
    }
    // Attaches the image with losetup's extra options; empty when it cannot.
    std::string attach(const char* options) {
        std::string device = command_output(std::string("losetup -f --show ") + options + " " +
                                            image.path + " 2>/dev/null");
        if (device.compare(0, 9, "/dev/loop") == 0) {
            attached.push_back(device);
            return device;
        }
        return "";
    }
    void TearDown() override {
        for (const std::string& device : attached) {
            std::system(("losetup -d " + device).c_str());
        }
        if (!image.path.empty()) {
            unlink(image.path.c_str());
        }
    }
    Image image;
    std::vector<std::string> attached;
};

TEST_F(LoopDevice, ProbesTheWholeDeviceAndLeavesItsBytes) {
    std::string device = attach("");
    if (device.empty()) {
        GTEST_SKIP() << "no loop device could be attached";
    }
    std::string backup = backup_path();
    ProbeResult result;
    std::string message;
    EXPECT_TRUE(probe_path(device, backup, false, &result, &message)) << message;
    EXPECT_EQ(result.capacity, 64 * MiB);
    EXPECT_EQ(result.past, past_nothing);
    EXPECT_TRUE(result.restored);
    EXPECT_GT(result.bytes_written, 0u);
    // The drive's own node is not a backup.
    BackupFile refused;
    ProbeDrive drive;
    char text[512] = "";
    ASSERT_TRUE(open_probe_drive(device.c_str(), false, &drive, text, sizeof text)) << text;
    EXPECT_FALSE(
        create_backup_file(device.c_str(), &drive, device.c_str(), &refused, text, sizeof text));
    EXPECT_NE(std::string(text).find("is the drive probed"), std::string::npos) << text;
    close_probe_drive(&drive);
    std::system(("losetup -d " + device).c_str());
    attached.clear();
    EXPECT_TRUE(image_unchanged(&image));

    // The backup replays onto the same image, under whatever loop device,
    // and is refused by another image of the same size.
    device = attach("");
    ASSERT_FALSE(device.empty());
    RestoreVerdict verdict;
    EXPECT_TRUE(restore_path(device, backup, &verdict, &message)) << message;
    EXPECT_EQ(verdict, restored_all);
    Image other;
    make_image(&other, 64 * MiB);
    std::string other_device = command_output("losetup -f --show " + other.path);
    if (other_device.compare(0, 9, "/dev/loop") == 0) {
        attached.push_back(other_device);
        EXPECT_FALSE(restore_path(other_device, backup, &verdict, &message));
        EXPECT_NE(message.find("another drive"), std::string::npos) << message;
        EXPECT_TRUE(image_unchanged(&other));
    }
    unlink(other.path.c_str());
    unlink(backup.c_str());
}

// Reads of many pieces at once give what the image holds at each, more
// pieces than are in flight at once included; a piece past the drive's end
// fails alone.
TEST_F(LoopDevice, ReadsManyPiecesAtOnceAsTheImageHoldsThem) {
    std::string device = attach("");
    if (device.empty()) {
        GTEST_SKIP() << "no loop device could be attached";
    }
    ProbeDrive drive;
    char text[512] = "";
    ASSERT_TRUE(open_probe_drive(device.c_str(), false, &drive, text, sizeof text)) << text;
    ASSERT_NE(drive.device.read_many, nullptr);
    struct Pieces {
        size_t length;
        size_t count;
        uint64_t stride; // piece k at (k * stride) % the drive's size, backwards
    };
    const Pieces cases[] = {
        {512, 1, 0},
        {512, 100, 4096 * 7 + 512},
        {4096, 33, 3 * MiB + 4096},
        {MiB, 40, 5 * MiB},
    };
    for (const Pieces& c : cases) {
        std::vector<uint64_t> offsets(c.count + 1);
        for (size_t k = 0; k < c.count; ++k) {
            offsets[k] = (64 * MiB - c.length) - (k * c.stride) % (64 * MiB - c.length);
        }
        offsets[c.count] = 64 * MiB; // past the end
        std::vector<unsigned char> read(offsets.size() * c.length);
        std::unique_ptr<bool[]> ok(new bool[offsets.size()]);
        drive.device.read_many(drive.device.context, offsets.data(), offsets.size(), c.length,
                               read.data(), ok.get());
        for (size_t k = 0; k < c.count; ++k) {
            ASSERT_TRUE(ok[k]) << c.length << " bytes at " << offsets[k];
            EXPECT_EQ(
                std::memcmp(read.data() + k * c.length, image.bytes.data() + offsets[k], c.length),
                0)
                << c.length << " bytes at " << offsets[k];
        }
        EXPECT_FALSE(ok[c.count]) << c.length << " bytes past the end";
    }
    close_probe_drive(&drive);
}

TEST_F(LoopDevice, RefusesReadOnlyBusyAndPartitions) {
    std::string read_only = attach("-r");
    if (read_only.empty()) {
        GTEST_SKIP() << "no loop device could be attached";
    }
    std::string backup = backup_path();
    ProbeResult result;
    std::string message;
    EXPECT_FALSE(probe_path(read_only, backup, false, &result, &message));
    EXPECT_NE(message.find("read-only"), std::string::npos) << message;

    std::string busy = attach("");
    ASSERT_FALSE(busy.empty());
    int holder = open(busy.c_str(), O_RDONLY | O_EXCL);
    ASSERT_GE(holder, 0);
    EXPECT_FALSE(probe_path(busy, backup, false, &result, &message));
    EXPECT_NE(message.find("in use"), std::string::npos) << message;
    close(holder);
    EXPECT_TRUE(image_unchanged(&image));
    EXPECT_NE(access(backup.c_str(), F_OK), 0) << "no backup is made for a refused drive";
}

TEST_F(LoopDevice, RefusesAPartitionAndNamesItsDisk) {
    // One partition from sector 2048 to the end, in a classic partition table.
    unsigned char table[512] = {};
    unsigned char* entry = table + 446;
    entry[4] = 0x83;
    uint32_t first = 2048;
    uint32_t count = static_cast<uint32_t>(64 * MiB / 512) - first;
    for (int k = 0; k < 4; ++k) {
        entry[8 + k] = static_cast<unsigned char>(first >> (8 * k));
        entry[12 + k] = static_cast<unsigned char>(count >> (8 * k));
    }
    table[510] = 0x55;
    table[511] = 0xAA;
    std::copy(table, table + 512, image.bytes.begin());
    FILE* file = std::fopen(image.path.c_str(), "r+b");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(table, 1, 512, file), 512u);
    std::fclose(file);
    std::string disk = attach("-P");
    if (disk.empty()) {
        GTEST_SKIP() << "no loop device could be attached";
    }
    std::string partition = disk + "p1";
    for (int tries = 0; tries < 50 && access(partition.c_str(), F_OK) != 0; ++tries) {
        usleep(20000);
    }
    if (access(partition.c_str(), F_OK) != 0) {
        GTEST_SKIP() << "the kernel made no node for " << partition;
    }
    std::string backup = backup_path();
    ProbeResult result;
    std::string message;
    EXPECT_FALSE(probe_path(partition, backup, false, &result, &message));
    EXPECT_NE(message.find("is a partition"), std::string::npos) << message;
    EXPECT_NE(message.find(disk), std::string::npos) << message;
    EXPECT_TRUE(image_unchanged(&image));
}

} // namespace
