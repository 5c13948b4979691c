#include "sd_registers.h"

#include <cstddef>

namespace {

constexpr size_t most_register_bytes = 64;

// The register in hex as bytes, the first byte the most significant;
// false unless hex holds exactly bytes * 2 hexadecimal digits, then
// nothing but a newline.
bool register_bytes(const char* hex, size_t bytes, uint8_t* out) {
    if (hex == nullptr || bytes > most_register_bytes) {
        return false;
    }
    for (size_t i = 0; i < 2 * bytes; ++i) {
        char c = hex[i];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0) {
            return false;
        }
        out[i / 2] = static_cast<uint8_t>(i % 2 == 0 ? digit << 4 : out[i / 2] | digit);
    }
    const char* rest = hex + 2 * bytes;
    return rest[0] == '\0' || (rest[0] == '\n' && rest[1] == '\0');
}

// Bits high down to low (at most 32 of them) of a register of bytes bytes,
// numbered as the layouts number them: bit 0 is the least significant bit
// of the last byte.
uint32_t bits(const uint8_t* reg, size_t bytes, unsigned high, unsigned low) {
    uint32_t value = 0;
    for (unsigned bit = high + 1; bit-- > low;) {
        uint8_t byte = reg[bytes - 1 - bit / 8];
        value = value << 1 | ((byte >> (bit % 8)) & 1u);
    }
    return value;
}

char printable(uint32_t byte) {
    return byte >= 0x20 && byte < 0x7f ? static_cast<char>(byte) : '?';
}

// A code of the SD status and the class it stands for: one row each.
struct ClassCode {
    uint32_t code;
    int value;
};

const ClassCode speed_class_codes[] = {{0, 0}, {1, 2}, {2, 4}, {3, 6}, {4, 10}};
const ClassCode uhs_grade_codes[] = {{0, 0}, {1, 1}, {3, 3}};
const ClassCode video_class_codes[] = {{0, 0}, {6, 6}, {10, 10}, {30, 30}, {60, 60}, {90, 90}};
const ClassCode app_class_codes[] = {{0, 0}, {1, 1}, {2, 2}};

template <size_t count> int class_of(const ClassCode (&codes)[count], uint32_t code) {
    for (const ClassCode& row : codes) {
        if (row.code == code) {
            return row.value;
        }
    }
    return -1;
}

} // namespace

bool decode_sd_cid(const char* hex, SdCid* cid) {
    uint8_t reg[16];
    if (!register_bytes(hex, sizeof reg, reg)) {
        return false;
    }
    *cid = {};
    cid->manufacturer = static_cast<uint8_t>(bits(reg, 16, 127, 120));
    cid->oem = static_cast<uint16_t>(bits(reg, 16, 119, 104));
    cid->oem_text[0] = printable(cid->oem >> 8);
    cid->oem_text[1] = printable(cid->oem & 0xffu);
    cid->name_printable = true;
    for (unsigned i = 0; i < 5; ++i) {
        uint32_t byte = bits(reg, 16, 103 - 8 * i, 96 - 8 * i);
        cid->name[i] = printable(byte);
        cid->name_printable = cid->name_printable && cid->name[i] == static_cast<char>(byte);
    }
    cid->revision_major = static_cast<uint8_t>(bits(reg, 16, 63, 60));
    cid->revision_minor = static_cast<uint8_t>(bits(reg, 16, 59, 56));
    cid->serial = bits(reg, 16, 55, 24);
    cid->year = static_cast<uint16_t>(2000 + bits(reg, 16, 19, 12));
    cid->month = static_cast<uint8_t>(bits(reg, 16, 11, 8));
    return true;
}

bool decode_sd_csd(const char* hex, SdCsd* csd) {
    uint8_t reg[16];
    if (!register_bytes(hex, sizeof reg, reg)) {
        return false;
    }
    *csd = {};
    csd->structure = static_cast<uint8_t>(bits(reg, 16, 127, 126));
    constexpr uint64_t unit = uint64_t{512} << 10; // of C_SIZE from version 2.0 on
    switch (csd->structure) {
    case 0: {
        uint64_t c_size = bits(reg, 16, 73, 62);
        uint32_t multiplier = bits(reg, 16, 49, 47);
        uint32_t block_length = bits(reg, 16, 83, 80);
        csd->capacity = (c_size + 1) << (multiplier + 2) << block_length;
        break;
    }
    case 1:
        csd->capacity = (uint64_t{bits(reg, 16, 69, 48)} + 1) * unit;
        break;
    case 2:
        csd->capacity = (uint64_t{bits(reg, 16, 75, 48)} + 1) * unit;
        break;
    default:
        break;
    }
    return true;
}

bool decode_sd_status(const char* hex, SdClasses* classes) {
    uint8_t reg[64];
    if (!register_bytes(hex, sizeof reg, reg)) {
        return false;
    }
    classes->speed_class = class_of(speed_class_codes, bits(reg, 64, 447, 440));
    classes->uhs_speed_grade = class_of(uhs_grade_codes, bits(reg, 64, 399, 396));
    classes->video_class = class_of(video_class_codes, bits(reg, 64, 391, 384));
    classes->app_class = class_of(app_class_codes, bits(reg, 64, 339, 336));
    return true;
}
