// What a drive says it is: SD registers decoded from made-up values (a
// genuine-looking card, the CID of a counterfeit card reported in the
// field, impossible dates, each CSD structure, the classes of the SD
// status), the warning signs each identity shows, and the report's lines.
#include "identity_report.h"
#include "sd_registers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A genuine-looking card: manufacturer 0x03, OEM "SD", SU08G, 8.0, made
// 2013-10.
const char genuine_cid[] = "0353445355303847801234567800da01";
// As read from a counterfeit card (manufacturer 0x00, OEM 0x0000, no name).
const char counterfeit_cid[] = "0000000000000000000000375600ea00";

struct CidCase {
    const char* hex;
    uint8_t manufacturer;
    uint16_t oem;
    const char* oem_text;
    const char* name;
    bool printable;
    unsigned revision; // major * 10 + minor
    uint32_t serial;
    unsigned year;
    unsigned month;
};

TEST(SdRegisters, CidFieldsAreDecoded) {
    const CidCase cases[] = {
        {genuine_cid, 0x03, 0x5344, "SD", "SU08G", true, 80, 0x12345678, 2013, 10},
        {"0353445355303847801234567800DA01\n", 0x03, 0x5344, "SD", "SU08G", true, 80, 0x12345678,
         2013, 10},
        {counterfeit_cid, 0x00, 0x0000, "??", "?????", false, 0, 0x3756, 2014, 10},
        {"1b534d454231515430deadbeef0ff100", 0x1b, 0x534d, "SM", "EB1QT", true, 30, 0xdeadbeef,
         2255, 1},
        {"1b534d454231515430deadbeef00fd00", 0x1b, 0x534d, "SM", "EB1QT", true, 30, 0xdeadbeef,
         2015, 13},
        {"1b534d4542015154300000000100f000", 0x1b, 0x534d, "SM", "EB?QT", false, 30, 1, 2015, 0},
    };
    const char* const not_registers[] = {
        "0353445355303847801234567800da0",   // a digit short
        "0353445355303847801234567800da011", // one too many
        "0353445355303847801234567800da0g",  // not hex
        "0353445355303847801234567800da01 ", // something after it
        "",
    };
    for (const char* hex : not_registers) {
        SdCid cid;
        EXPECT_FALSE(decode_sd_cid(hex, &cid)) << hex;
    }
    for (const CidCase& c : cases) {
        SCOPED_TRACE(c.hex);
        SdCid cid;
        ASSERT_TRUE(decode_sd_cid(c.hex, &cid));
        EXPECT_EQ(cid.manufacturer, c.manufacturer);
        EXPECT_EQ(cid.oem, c.oem);
        EXPECT_STREQ(cid.oem_text, c.oem_text);
        EXPECT_STREQ(cid.name, c.name);
        EXPECT_EQ(cid.name_printable, c.printable);
        EXPECT_EQ(cid.revision_major * 10u + cid.revision_minor, c.revision);
        EXPECT_EQ(cid.serial, c.serial);
        EXPECT_EQ(cid.year, c.year);
        EXPECT_EQ(cid.month, c.month);
    }
}

TEST(SdRegisters, CsdCapacityOfEachStructure) {
    struct Case {
        const char* hex;
        bool valid;
        unsigned structure;
        uint64_t capacity;
    };
    const Case cases[] = {
        // Version 1.0: (C_SIZE + 1) * 2^(C_SIZE_MULT + 2) * 2^READ_BL_LEN.
        {"00000000000a03bfc003800000000001", true, 0, 3840ull * 512 * 1024},
        {"00000000000903ffc001000000000000", true, 0, 4096ull * 16 * 512},
        // Version 2.0: (C_SIZE + 1) * 512 KiB, C_SIZE of 22 bits.
        {"40000000000900003b37000000000001", true, 1, 15160ull * 512 * 1024},
        // Version 3.0: the same of 28 bits.
        {"800000000009003fffff000000000000", true, 2, 0x400000ull * 512 * 1024},
        // A structure the layout reserves: no capacity.
        {"c0000000000000000000000000000000", true, 3, 0},
        {"40000000000900003b3700000000000", false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hex);
        SdCsd csd;
        ASSERT_EQ(decode_sd_csd(c.hex, &csd), c.valid);
        if (c.valid) {
            EXPECT_EQ(csd.structure, c.structure);
            EXPECT_EQ(csd.capacity, c.capacity);
        }
    }
}

const char status_u3_v30_a2[] = "8000000000000000040000000000301e0000000000020000000000000000000000"
                                "00000000000000000000000000000000000000000000000000000000000000";

TEST(SdRegisters, StatusClassesAreDecoded) {
    struct Case {
        const char* hex;
        bool valid;
        SdClasses classes;
    };
    const std::string zeros(128, '0');
    const std::string short_of_a_digit(127, '0');
    const Case cases[] = {
        {status_u3_v30_a2, true, {10, 3, 30, 2}},
        {"00000000000000000100000000001006000000000001000000000000000000000000000000000000000000"
         "000000000000000000000000000000000000000000",
         true,
         {2, 1, 6, 1}},
        // Codes the layout reserves.
        {"00000000000000000700000000002005000000000003000000000000000000000000000000000000000000"
         "000000000000000000000000000000000000000000",
         true,
         {-1, -1, -1, -1}},
        {zeros.c_str(), true, {0, 0, 0, 0}},
        {short_of_a_digit.c_str(), false, {}},
    };
    for (const Case& c : cases) {
        SdClasses classes = {};
        ASSERT_EQ(decode_sd_status(c.hex, &classes), c.valid) << c.hex;
        if (c.valid) {
            EXPECT_EQ(classes.speed_class, c.classes.speed_class) << c.hex;
            EXPECT_EQ(classes.uhs_speed_grade, c.classes.uhs_speed_grade) << c.hex;
            EXPECT_EQ(classes.video_class, c.classes.video_class) << c.hex;
            EXPECT_EQ(classes.app_class, c.classes.app_class) << c.hex;
        }
    }
}

constexpr YearMonth today = {2025, 6};
const char csd_7_4_gib[] = "40000000000900003b37000000000001";
constexpr uint64_t csd_7_4_gib_bytes = 15160ull * 512 * 1024;

DriveIdentity sd_card(const char* cid, uint64_t size, const char* type = "SD") {
    DriveIdentity identity = {};
    identity.known = true;
    identity.size = size;
    std::strcpy(identity.bus, "sd");
    std::strcpy(identity.card_type, type);
    std::strcpy(identity.cid, cid);
    std::strcpy(identity.csd, csd_7_4_gib);
    std::strcpy(identity.sd_status, status_u3_v30_a2);
    return identity;
}

DriveIdentity usb_stick(uint16_t vendor, uint16_t product) {
    DriveIdentity identity = {};
    identity.known = true;
    identity.size = uint64_t{16} << 30;
    std::strcpy(identity.bus, "usb");
    std::strcpy(identity.vendor, "Kingston");
    std::strcpy(identity.model, "DataTraveler 3.0");
    std::strcpy(identity.revision, "PMAP");
    identity.usb = true;
    identity.usb_vendor_id = vendor;
    identity.usb_product_id = product;
    std::strcpy(identity.usb_manufacturer, "Kingston");
    std::strcpy(identity.usb_product, "DataTraveler 3.0");
    std::strcpy(identity.usb_serial, "60A44C413A8CF13069D2007B");
    return identity;
}

uint32_t bit(IdentitySign sign) {
    return uint32_t{1} << sign;
}

TEST(IdentitySigns, EachSignShowsWhereItShould) {
    struct Case {
        const char* name;
        DriveIdentity identity;
        uint32_t signs;
    };
    const Case cases[] = {
        {"a genuine-looking card", sd_card(genuine_cid, csd_7_4_gib_bytes), 0},
        {"the counterfeit card", sd_card(counterfeit_cid, csd_7_4_gib_bytes),
         bit(sign_sd_manufacturer_zero) | bit(sign_sd_oem_zero) | bit(sign_sd_name_not_text)},
        {"made in 2255", sd_card("1b534d454231515430deadbeef0ff100", csd_7_4_gib_bytes),
         bit(sign_sd_date_impossible)},
        {"month 13", sd_card("1b534d454231515430deadbeef00fd00", csd_7_4_gib_bytes),
         bit(sign_sd_date_impossible)},
        {"month 0, a control byte in its name",
         sd_card("1b534d4542015154300000000100f000", csd_7_4_gib_bytes),
         bit(sign_sd_date_impossible) | bit(sign_sd_name_not_text)},
        {"made this month", sd_card("1b534d454231515430deadbeef01960f", csd_7_4_gib_bytes), 0},
        {"made next month", sd_card("1b534d454231515430deadbeef01970f", csd_7_4_gib_bytes),
         bit(sign_sd_date_impossible)},
        {"claims more than its CSD", sd_card(genuine_cid, uint64_t{64} << 30),
         bit(sign_sd_capacity_differs)},
        {"size not known", sd_card(genuine_cid, 0), 0},
        {"an MMC card: its CID is not an SD card's", sd_card(counterfeit_cid, 1, "MMC"), 0},
        {"a USB stick", usb_stick(0x0951, 0x1666), 0},
        {"USB IDs of a fake", usb_stick(0x0011, 0x7788), bit(sign_usb_fake_controller)},
        {"USB IDs of another fake", usb_stick(0x2008, 0x2018), bit(sign_usb_fake_controller)},
        {"the vendor of a fake, another product", usb_stick(0x2008, 0x2019), 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(identity_signs(&c.identity, today), c.signs) << c.name;
    }
}

TEST(IdentitySigns, EachHasItsOwnWord) {
    std::vector<std::string> words;
    for (int sign = 0; sign < identity_sign_count; ++sign) {
        std::string word = identity_sign_word(static_cast<IdentitySign>(sign));
        EXPECT_EQ(word.find_first_not_of("abcdefghijklmnopqrstuvwxyz_"), std::string::npos);
        for (const std::string& earlier : words) {
            EXPECT_NE(word, earlier);
        }
        words.push_back(word);
    }
    EXPECT_STREQ(identity_sign_word(sign_sd_manufacturer_zero), "sd_manufacturer_zero");
    EXPECT_STREQ(identity_sign_word(sign_usb_fake_controller), "usb_fake_controller");
}

void collect(void* context, const char* line) {
    static_cast<std::string*>(context)->append(line);
}

TEST(IdentityLines, SayWhatTheDriveSaysAndWarn) {
    struct Case {
        const char* name;
        DriveIdentity identity;
        const char* lines;
    };
    DriveIdentity unknown = {};
    const Case cases[] = {
        {"nothing known", unknown, ""},
        {"a USB stick of a fake's IDs", usb_stick(0x0011, 0x7788),
         "drive: Kingston DataTraveler 3.0, revision PMAP, on usb\n"
         "usb: 0011:7788, Kingston, DataTraveler 3.0, serial 60A44C413A8CF13069D2007B\n"
         "warning: these USB vendor and product IDs were reported from counterfeit drives"
         " (genuine cheap drives may have them too)\n"},
        {"the counterfeit card", sd_card(counterfeit_cid, uint64_t{32} << 30),
         "drive: on sd\n"
         "sd card: manufacturer 0x00, OEM 0x0000 (\?\?), name ?????, revision 0.0, serial"
         " 0x00003756, made 2014-10\n"
         "sd capacity: 7948206080 bytes (7.40 GiB) by its CSD register, version 2.0; the device"
         " claims 34359738368 bytes\n"
         "sd classes (as the card claims them): speed class 10, UHS speed grade U3, video speed"
         " class V30, application performance class A2\n"
         "warning: the card's manufacturer ID is 0x00, which names no maker: seen on counterfeit"
         " cards\n"
         "warning: the card's OEM ID is 0x0000, where a genuine card has two letters: seen on"
         " counterfeit cards\n"
         "warning: the card's product name is not five printable characters\n"
         "warning: the capacity in the card's CSD register is not the size the device claims\n"},
    };
    for (const Case& c : cases) {
        std::string lines;
        write_identity_lines(&c.identity, today, collect, &lines);
        EXPECT_EQ(lines, c.lines) << c.name;
    }
}

} // namespace
