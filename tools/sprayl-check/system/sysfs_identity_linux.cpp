#include "sysfs_identity.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// The first line of a small file, without the spaces that pad it on either
// side, every control byte as '?'; "" where there is no such file.
std::string attribute(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        return "";
    }
    char line[512] = "";
    if (std::fgets(line, sizeof line, file) == nullptr) {
        line[0] = '\0';
    }
    std::fclose(file);
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    text.erase(0, text.find_first_not_of(' '));
    for (char& c : text) {
        c = static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
    }
    return text;
}

template <size_t capacity> void copy_text(char (&to)[capacity], const std::string& from) {
    std::snprintf(to, capacity, "%s", from.c_str());
}

// The path with every link resolved; "" where it does not exist.
std::string resolved(const std::string& path) {
    char real[PATH_MAX];
    return realpath(path.c_str(), real) != nullptr ? real : "";
}

std::string parent_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "" : path.substr(0, slash);
}

// The USB device that device sits behind: the nearest folder above it, in
// the tree at root, that has an idVendor.
void read_usb_ancestor(const std::string& root, const std::string& device,
                       DriveIdentity* identity) {
    for (std::string place = device; place.size() > root.size(); place = parent_of(place)) {
        std::string vendor = attribute(place + "/idVendor");
        if (vendor.empty()) {
            continue;
        }
        identity->usb = true;
        identity->usb_vendor_id = static_cast<uint16_t>(std::strtoul(vendor.c_str(), nullptr, 16));
        identity->usb_product_id = static_cast<uint16_t>(
            std::strtoul(attribute(place + "/idProduct").c_str(), nullptr, 16));
        copy_text(identity->usb_manufacturer, attribute(place + "/manufacturer"));
        copy_text(identity->usb_product, attribute(place + "/product"));
        copy_text(identity->usb_serial, attribute(place + "/serial"));
        return;
    }
}

// An SD or MMC card's kind, name and registers, where device is one.
void read_card(const std::string& device, DriveIdentity* identity) {
    std::string type = attribute(device + "/type");
    std::string cid = attribute(device + "/cid");
    if (type.empty() || cid.empty()) {
        return;
    }
    copy_text(identity->card_type, type);
    copy_text(identity->cid, cid);
    copy_text(identity->csd, attribute(device + "/csd"));
    copy_text(identity->sd_status, attribute(device + "/ssr"));
    copy_text(identity->model, attribute(device + "/name"));
    copy_text(identity->serial, attribute(device + "/serial"));
    copy_text(identity->bus, type == "SD" ? "sd" : "mmc");
}

// How the device is attached, from the path of its folder.
const char* bus_of(const std::string& device) {
    struct Bus {
        const char* part; // of the path
        const char* name;
    };
    static const Bus buses[] = {{"/nvme", "nvme"}, {"/ata", "ata"}, {"/virtio", "virtio"}};
    for (const Bus& bus : buses) {
        if (device.find(bus.part) != std::string::npos) {
            return bus.name;
        }
    }
    return "";
}

// The identity of the disk whose folder (resolved) is disk.
void read_disk(const std::string& root, const std::string& disk, DriveIdentity* identity) {
    *identity = {};
    std::string device = resolved(disk + "/device");
    if (device.empty()) {
        return;
    }
    identity->size = std::strtoull(attribute(disk + "/size").c_str(), nullptr, 10) * 512;
    copy_text(identity->vendor, attribute(device + "/vendor"));
    copy_text(identity->model, attribute(device + "/model"));
    std::string revision = attribute(device + "/rev");
    copy_text(identity->revision,
              revision.empty() ? attribute(device + "/firmware_rev") : revision);
    copy_text(identity->serial, attribute(device + "/serial"));
    copy_text(identity->bus, bus_of(device));
    read_card(device, identity);
    read_usb_ancestor(root, device, identity);
    if (identity->usb) {
        copy_text(identity->bus, "usb");
    }
    identity->known = identity->vendor[0] != '\0' || identity->model[0] != '\0' ||
                      identity->serial[0] != '\0' || identity->usb || identity->cid[0] != '\0';
}

} // namespace

void read_drive_identity(const char* root, const char* name, DriveIdentity* identity) {
    *identity = {};
    std::string real_root = resolved(root);
    std::string disk = resolved(std::string(root) + "/block/" + name);
    if (!real_root.empty() && !disk.empty()) {
        read_disk(real_root, disk, identity);
    }
}

void read_disk_identity_of(const char* root, unsigned major, unsigned minor,
                           DriveIdentity* identity) {
    *identity = {};
    std::string real_root = resolved(root);
    std::string place = resolved(std::string(root) + "/dev/block/" + std::to_string(major) + ":" +
                                 std::to_string(minor));
    if (real_root.empty() || place.empty()) {
        return;
    }
    // A partition's folder lies in its disk's.
    bool partition = access((place + "/partition").c_str(), F_OK) == 0;
    read_disk(real_root, partition ? parent_of(place) : place, identity);
}
