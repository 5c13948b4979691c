// What a drive says it is, as the system reads it: the vendor, model,
// revision and serial number it reports, the IDs and strings of the USB
// device it sits behind, and for an SD card behind a native reader its
// registers as the kernel gives them. A plain struct that the system layer
// fills and the reports decode (drive/drive_identity.h); below both.
#pragma once

#include <cstdint>

constexpr int identity_text_capacity = 128;

struct DriveIdentity {
    bool known;    // the system told anything at all
    uint64_t size; // bytes the device claims; 0 when not known
    char bus[16];  // how it is attached: "usb", "sd", "mmc", "ata", "nvme", "" unknown
    char vendor[identity_text_capacity]; // as the drive reports itself (SCSI inquiry, or
    char model[identity_text_capacity];  // the storage descriptor on Windows); "" where not told
    char revision[identity_text_capacity];
    char serial[identity_text_capacity];
    // The USB device the drive sits behind.
    bool usb;
    uint16_t usb_vendor_id;
    uint16_t usb_product_id;
    char usb_manufacturer[identity_text_capacity];
    char usb_product[identity_text_capacity];
    char usb_serial[identity_text_capacity];
    // An SD or MMC card behind a native reader: its kind as the kernel names
    // it ("SD", "MMC") and its registers in hex, the most significant bit
    // first (CID and CSD 128 bits, the SD status 512); "" where not told.
    char card_type[8];
    char cid[33];
    char csd[33];
    char sd_status[129];
};
