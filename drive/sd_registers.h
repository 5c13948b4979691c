// The registers of an SD card, decoded: the card identification (CID), the
// card-specific data's capacity (CSD) and the classes that the SD status
// claims. Pure functions over the registers in hex, the most significant
// bit first, as the Linux kernel gives them in sysfs; the layouts are the
// SD Association's (doc/drive-identity.md names the sources).
#pragma once

#include <cstdint>

// The card identification register (128 bits).
struct SdCid {
    uint8_t manufacturer;   // MID, assigned by the SD Association
    uint16_t oem;           // OID: two bytes, two ASCII letters on a sound card
    char oem_text[3];       // those letters, '?' for a byte that is no printable character
    char name[6];           // PNM: five characters, '?' for a byte that is none
    bool name_printable;    // all five are printable ASCII
    uint8_t revision_major; // PRV: "n.m", one BCD digit each
    uint8_t revision_minor;
    uint32_t serial; // PSN
    uint16_t year;   // MDT: from 2000 on
    uint8_t month;   // MDT: 1 to 12 on a sound card, as written otherwise
};

// False unless hex is 32 hexadecimal digits (a newline may follow).
bool decode_sd_cid(const char* hex, SdCid* cid);

// The card-specific data register (128 bits): its structure and the
// capacity it gives.
struct SdCsd {
    uint8_t structure; // CSD_STRUCTURE: 0 version 1.0 (standard capacity), 1 version 2.0
                       // (high and extended capacity), 2 version 3.0 (ultra capacity)
    uint64_t capacity; // bytes; 0 for a structure it does not know
};

bool decode_sd_csd(const char* hex, SdCsd* csd);

// The classes that the SD status register (512 bits) claims; 0 where it
// claims none, -1 for a value the layout reserves.
struct SdClasses {
    int speed_class;     // 0, 2, 4, 6, 10
    int uhs_speed_grade; // 0, 1, 3
    int video_class;     // 0, 6, 10, 30, 60, 90
    int app_class;       // 0, 1 (A1), 2 (A2)
};

bool decode_sd_status(const char* hex, SdClasses* classes);
