// What the drive under a directory says it is, on Windows: the storage
// descriptor of its volume's disk (IOCTL_STORAGE_QUERY_PROPERTY), with the
// vendor, product, revision and serial number the drive reports and the bus
// it is attached by. Windows gives no USB IDs and no SD registers there:
// those stay unknown.
#include "system.h"

#include "windows_paths.h"

#include <cstdio>
#include <cstring>
#include <winioctl.h>

namespace {

// How the drive is attached, in the words the reports use: one row each.
struct BusName {
    STORAGE_BUS_TYPE type;
    const char* name;
};

const BusName bus_names[] = {
    {BusTypeUsb, "usb"},   {BusTypeSd, "sd"},    {BusTypeMmc, "mmc"},
    {BusTypeAta, "ata"},   {BusTypeSata, "ata"}, {BusTypeNvme, "nvme"},
    {BusTypeScsi, "scsi"}, {BusTypeSas, "scsi"}, {BusTypeVirtual, "virtual"},
};

// The string at offset of the descriptor's bytes, without its padding
// spaces, every control byte as '?'; "" where offset names none.
void descriptor_text(const unsigned char* bytes, DWORD length, DWORD offset, char* text,
                     size_t capacity) {
    text[0] = '\0';
    if (offset == 0 || offset >= length) {
        return;
    }
    const char* start = reinterpret_cast<const char*>(bytes + offset);
    size_t size = strnlen(start, length - offset);
    while (size > 0 && *start == ' ') {
        ++start;
        --size;
    }
    while (size > 0 && start[size - 1] == ' ') {
        --size;
    }
    std::snprintf(text, capacity, "%.*s", static_cast<int>(size), start);
    for (char* c = text; *c != '\0'; ++c) {
        *c = static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f ? '?' : *c;
    }
}

// The volume that holds directory, opened for queries alone ("" access):
// no administrator's rights needed.
HANDLE open_volume_of(const char* directory) {
    wchar_t root[MAX_PATH + 1];
    wchar_t volume[MAX_PATH + 1];
    if (!GetVolumePathNameW(wide_path(directory), root, MAX_PATH + 1) ||
        !GetVolumeNameForVolumeMountPointW(root, volume, MAX_PATH + 1)) {
        return INVALID_HANDLE_VALUE;
    }
    size_t length = wcslen(volume);
    if (length > 0 && volume[length - 1] == L'\\') {
        volume[length - 1] = L'\0'; // the volume itself, not its root folder
    }
    return CreateFileW(volume, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

} // namespace

void directory_drive_identity(const char* directory, DriveIdentity* identity) {
    *identity = {};
    HANDLE volume = open_volume_of(directory);
    if (volume == INVALID_HANDLE_VALUE) {
        return;
    }
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    alignas(STORAGE_DEVICE_DESCRIPTOR) unsigned char bytes[4096] = {};
    DWORD length = 0;
    BOOL told = DeviceIoControl(volume, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, bytes,
                                sizeof bytes, &length, nullptr);
    CloseHandle(volume);
    if (!told || length < sizeof(STORAGE_DEVICE_DESCRIPTOR)) {
        return;
    }
    const STORAGE_DEVICE_DESCRIPTOR* descriptor =
        reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(bytes);
    descriptor_text(bytes, length, descriptor->VendorIdOffset, identity->vendor,
                    sizeof identity->vendor);
    descriptor_text(bytes, length, descriptor->ProductIdOffset, identity->model,
                    sizeof identity->model);
    descriptor_text(bytes, length, descriptor->ProductRevisionOffset, identity->revision,
                    sizeof identity->revision);
    descriptor_text(bytes, length, descriptor->SerialNumberOffset, identity->serial,
                    sizeof identity->serial);
    for (const BusName& bus : bus_names) {
        if (bus.type == descriptor->BusType) {
            std::snprintf(identity->bus, sizeof identity->bus, "%s", bus.name);
        }
    }
    identity->known =
        identity->vendor[0] != '\0' || identity->model[0] != '\0' || identity->serial[0] != '\0';
}
