// The probe on Linux: which drives it refuses, and the probe of a loop
// device over a small image file, the file's bytes unchanged afterwards.
// The loop device tests need root and free loop devices; without, they say
// why they are skipped. They touch no disk but their own image in /tmp.
#include "probe_drive_posix.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint64_t MiB = uint64_t{1} << 20;

const GeneratorState probe_run = {{0x243F6A88, 0x85A308D3, 0x13198A2E, 0x03707344},
                                  4 * weyl_increment};

TEST(MountedFrom, NamesTheMountPointOfAnyOfTheDevices) {
    const char* mountinfo = "22 1 253:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
                            "35 22 0:31 / /proc rw - proc proc rw\n"
                            "40 22 8:17 / /media/stick rw,nosuid - vfat /dev/sdb1 rw\n"
                            "41 22 8:33 /sub /mnt/other\\040place rw - ext4 /dev/sdc1 rw";
    const struct {
        std::vector<std::string> devices;
        const char* mount;
    } cases[] = {
        {{"8:16", "8:17", "8:18"}, "/media/stick"}, // a partition of the disk
        {{"253:0"}, "/"},                           // the running system
        {{"8:32", "8:33"}, "/mnt/other\\040place"}, // the last line, no newline
        {{"8:48", "8:49"}, ""},                     // nothing mounted
        {{"0:3"}, ""},                              // a number that is a prefix of one
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.devices[0]);
        EXPECT_EQ(mounted_from(mountinfo, c.devices.data(), c.devices.size()), c.mount);
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
    ProbeOptions options = {probe_run, "", false, nullptr};
    ProbeResult result;
    char message[512] = "";
    EXPECT_FALSE(run_probe(image.path.c_str(), backup.c_str(), &options, false, &result, message,
                           sizeof message));
    EXPECT_NE(std::string(message).find("not a block device"), std::string::npos) << message;
    bool probed = run_probe(image.path.c_str(), backup.c_str(), &options, true, &result, message,
                            sizeof message);
    if (!probed && std::string(message).find("Invalid argument") != std::string::npos) {
        unlink(image.path.c_str());
        GTEST_SKIP() << "the file system of /tmp does not take O_DIRECT: " << message;
    }
    EXPECT_TRUE(probed) << message;
    EXPECT_EQ(result.capacity, 16 * MiB);
    EXPECT_EQ(result.past, past_nothing);
    EXPECT_TRUE(image_unchanged(&image));
    // The backup exists now: a second probe will not overwrite it.
    EXPECT_FALSE(run_probe(image.path.c_str(), backup.c_str(), &options, true, &result, message,
                           sizeof message));
    unlink(backup.c_str());
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
    ProbeOptions options = {probe_run, "", false, nullptr};
    ProbeResult result;
    char message[512] = "";
    EXPECT_TRUE(run_probe(device.c_str(), backup.c_str(), &options, false, &result, message,
                          sizeof message))
        << message;
    EXPECT_EQ(result.capacity, 64 * MiB);
    EXPECT_EQ(result.past, past_nothing);
    EXPECT_TRUE(result.restored);
    EXPECT_GT(result.bytes_written, 0u);
    std::system(("losetup -d " + device).c_str());
    attached.clear();
    EXPECT_TRUE(image_unchanged(&image));

    // The backup replays onto the same image, under whatever loop device,
    // and is refused by another image of the same size.
    device = attach("");
    ASSERT_FALSE(device.empty());
    RestoreOutcome outcome;
    EXPECT_TRUE(
        run_restore(device.c_str(), backup.c_str(), false, &outcome, message, sizeof message))
        << message;
    EXPECT_GT(outcome.sectors_written, 0u);
    Image other;
    make_image(&other, 64 * MiB);
    std::string other_device = command_output("losetup -f --show " + other.path);
    if (other_device.compare(0, 9, "/dev/loop") == 0) {
        attached.push_back(other_device);
        EXPECT_FALSE(run_restore(other_device.c_str(), backup.c_str(), false, &outcome, message,
                                 sizeof message));
        EXPECT_NE(std::string(message).find("another drive"), std::string::npos) << message;
        EXPECT_TRUE(image_unchanged(&other));
    }
    unlink(other.path.c_str());
    unlink(backup.c_str());
}

TEST_F(LoopDevice, RefusesReadOnlyBusyAndPartitions) {
    std::string read_only = attach("-r");
    if (read_only.empty()) {
        GTEST_SKIP() << "no loop device could be attached";
    }
    std::string backup = backup_path();
    ProbeOptions options = {probe_run, "", false, nullptr};
    ProbeResult result;
    char message[512] = "";
    EXPECT_FALSE(run_probe(read_only.c_str(), backup.c_str(), &options, false, &result, message,
                           sizeof message));
    EXPECT_NE(std::string(message).find("read-only"), std::string::npos) << message;

    std::string busy = attach("");
    ASSERT_FALSE(busy.empty());
    int holder = open(busy.c_str(), O_RDONLY | O_EXCL);
    ASSERT_GE(holder, 0);
    EXPECT_FALSE(
        run_probe(busy.c_str(), backup.c_str(), &options, false, &result, message, sizeof message));
    EXPECT_NE(std::string(message).find("in use"), std::string::npos) << message;
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
    ProbeOptions options = {probe_run, "", false, nullptr};
    ProbeResult result;
    char message[512] = "";
    EXPECT_FALSE(run_probe(partition.c_str(), backup.c_str(), &options, false, &result, message,
                           sizeof message));
    EXPECT_NE(std::string(message).find("is a partition"), std::string::npos) << message;
    EXPECT_NE(std::string(message).find(disk), std::string::npos) << message;
    EXPECT_TRUE(image_unchanged(&image));
}

} // namespace
