// What a drive says it is, read by the system layer from made-up sysfs
// trees: a USB stick, an SD card behind a native reader, a counterfeit-
// looking card, a stick with the USB IDs of a fake, a loop device, and a
// partition's disk; with the warning signs each shows.
#include "identity_report.h"
#include "program_test_support.h"
#include "sysfs_identity.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// A file of a made-up tree: its path below the root and its text, or
// "->" and the target of a symbolic link.
struct Entry {
    std::string path;
    std::string text;
};

const std::string usb = "devices/pci0000:00/0000:00:14.0/usb2/2-1";
const std::string scsi = usb + "/2-1:1.0/host3/target3:0:0/3:0:0:0";
const std::string card = "devices/platform/soc/fe340000.mmc/mmc_host/mmc0/mmc0:aaaa";

// A USB stick as sdb, its partition sdb1; the IDs and strings of the USB
// device as given.
std::vector<Entry> usb_stick(const std::string& ids, const std::string& vendor) {
    return {
        {usb + "/idVendor", ids.substr(0, 4) + "\n"},
        {usb + "/idProduct", ids.substr(5, 4) + "\n"},
        {usb + "/manufacturer", vendor + "\n"},
        {usb + "/product", "DataTraveler 3.0\n"},
        {usb + "/serial", "60A44C413A8CF13069D2007B\n"},
        {usb + "/2-1:1.0/bInterfaceClass", "08\n"},
        {scsi + "/vendor", vendor + std::string(8 - vendor.size(), ' ') + "\n"},
        {scsi + "/model", "DataTraveler 3.0\n"},
        {scsi + "/rev", "PMAP\n"},
        {scsi + "/block/sdb/size", "30218842\n"},
        {scsi + "/block/sdb/device", "->../../../3:0:0:0"},
        {scsi + "/block/sdb/sdb1/partition", "1\n"},
        {"block/sdb", "->../" + scsi + "/block/sdb"},
        {"dev/block/8:16", "->../../" + scsi + "/block/sdb"},
        {"dev/block/8:17", "->../../" + scsi + "/block/sdb/sdb1"},
    };
}

const char status_class_10[] = "0000000000000000040000000000301e000000000002000000000000000000000"
                               "000000000000000000000000000000000000000000000000000000000000000";

// An SD card as mmcblk0 behind a native reader, of cid, whose device
// claims sectors of 512 bytes.
std::vector<Entry> sd_card(const std::string& cid, const std::string& sectors) {
    return {
        {card + "/type", "SD\n"},
        {card + "/cid", cid + "\n"},
        {card + "/csd", "40000000000900003b37000000000001\n"},
        {card + "/ssr", std::string(status_class_10) + "\n"},
        {card + "/name", "SU08G\n"},
        {card + "/serial", "0x12345678\n"},
        {card + "/block/mmcblk0/size", sectors + "\n"},
        {card + "/block/mmcblk0/device", "->../../../mmc0:aaaa"},
        {"block/mmcblk0", "->../" + card + "/block/mmcblk0"},
        {"dev/block/179:0", "->../../" + card + "/block/mmcblk0"},
    };
}

const std::vector<Entry> loop_device = {
    {"devices/virtual/block/loop0/size", "2097152\n"},
    {"devices/virtual/block/loop0/loop/backing_file", "/tmp/image\n"},
    {"block/loop0", "->../devices/virtual/block/loop0"},
};

// Makes the tree in a new folder of the scratch directory; its path.
std::string make_tree(const std::string& name, const std::vector<Entry>& entries) {
    std::string root = scratch_path(name);
    std::filesystem::remove_all(root);
    for (const Entry& entry : entries) {
        std::filesystem::path path = root + "/" + entry.path;
        std::filesystem::create_directories(path.parent_path());
        if (entry.text.compare(0, 2, "->") == 0) {
            std::filesystem::create_directory_symlink(entry.text.substr(2), path);
        } else {
            write_bytes(path.string(), Bytes(entry.text.begin(), entry.text.end()));
        }
    }
    return root;
}

// What was read, in one line to compare.
std::string summary(const DriveIdentity& identity) {
    char text[2048];
    std::snprintf(text, sizeof text,
                  "known %d, %llu bytes, bus %s, \"%s\" \"%s\" \"%s\" serial \"%s\"; usb %d"
                  " %04x:%04x \"%s\" \"%s\" \"%s\"; card \"%s\" %s",
                  identity.known, static_cast<unsigned long long>(identity.size), identity.bus,
                  identity.vendor, identity.model, identity.revision, identity.serial, identity.usb,
                  identity.usb_vendor_id, identity.usb_product_id, identity.usb_manufacturer,
                  identity.usb_product, identity.usb_serial, identity.card_type, identity.cid);
    return text;
}

uint32_t bit(IdentitySign sign) {
    return uint32_t{1} << sign;
}

TEST(SysfsIdentity, DrivesOfMadeUpTreesAreReadWithTheirSigns) {
    struct Case {
        const char* name;
        std::vector<Entry> tree;
        const char* block; // the name asked for, or "major:minor" of a device in it
        std::string read;
        uint32_t signs;
    };
    const std::string genuine_cid = "0353445355303847801234567800da01";
    const std::string counterfeit_cid = "0000000000000000000000375600ea00";
    const Case cases[] = {
        {"a USB stick", usb_stick("0951:1666", "Kingston"), "sdb",
         "known 1, 15472047104 bytes, bus usb, \"Kingston\" \"DataTraveler 3.0\" \"PMAP\" serial"
         " \"\"; usb 1 0951:1666 \"Kingston\" \"DataTraveler 3.0\" \"60A44C413A8CF13069D2007B\";"
         " card \"\" ",
         0},
        {"the disk of its partition", usb_stick("0951:1666", "Kingston"), "8:17",
         "known 1, 15472047104 bytes, bus usb, \"Kingston\" \"DataTraveler 3.0\" \"PMAP\" serial"
         " \"\"; usb 1 0951:1666 \"Kingston\" \"DataTraveler 3.0\" \"60A44C413A8CF13069D2007B\";"
         " card \"\" ",
         0},
        {"a stick with the USB IDs of a fake", usb_stick("0011:7788", "SanDisk"), "sdb",
         "known 1, 15472047104 bytes, bus usb, \"SanDisk\" \"DataTraveler 3.0\" \"PMAP\" serial"
         " \"\"; usb 1 0011:7788 \"SanDisk\" \"DataTraveler 3.0\" \"60A44C413A8CF13069D2007B\";"
         " card \"\" ",
         bit(sign_usb_fake_controller)},
        {"an SD card", sd_card(genuine_cid, "15523840"), "mmcblk0",
         "known 1, 7948206080 bytes, bus sd, \"\" \"SU08G\" \"\" serial \"0x12345678\"; usb 0"
         " 0000:0000 \"\" \"\" \"\"; card \"SD\" 0353445355303847801234567800da01",
         0},
        {"a counterfeit-looking card that claims 32 GiB", sd_card(counterfeit_cid, "67108864"),
         "179:0",
         "known 1, 34359738368 bytes, bus sd, \"\" \"SU08G\" \"\" serial \"0x12345678\"; usb 0"
         " 0000:0000 \"\" \"\" \"\"; card \"SD\" 0000000000000000000000375600ea00",
         bit(sign_sd_manufacturer_zero) | bit(sign_sd_oem_zero) | bit(sign_sd_name_not_text) |
             bit(sign_sd_capacity_differs)},
        {"a loop device", loop_device, "loop0",
         "known 0, 0 bytes, bus , \"\" \"\" \"\" serial \"\"; usb 0 0000:0000 \"\" \"\" \"\";"
         " card \"\" ",
         0},
        {"a name the tree lacks", loop_device, "sdz",
         "known 0, 0 bytes, bus , \"\" \"\" \"\" serial \"\"; usb 0 0000:0000 \"\" \"\" \"\";"
         " card \"\" ",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string root = make_tree("sysfs", c.tree);
        DriveIdentity identity;
        unsigned major = 0, minor = 0;
        if (std::sscanf(c.block, "%u:%u", &major, &minor) == 2) {
            read_disk_identity_of(root.c_str(), major, minor, &identity);
        } else {
            read_drive_identity(root.c_str(), c.block, &identity);
        }
        EXPECT_EQ(summary(identity), c.read);
        EXPECT_EQ(identity_signs(&identity, {2025, 6}), c.signs);
    }
}

} // namespace
