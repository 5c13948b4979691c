#include "identity_report.h"

#include "sd_registers.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// The identity with its registers decoded, and the month of the report.
struct IdentityFacts {
    const DriveIdentity* identity;
    YearMonth today;
    bool has_cid; // an SD card's CID
    SdCid cid;
    bool has_csd;
    SdCsd csd;
    bool has_classes;
    SdClasses classes;
};

IdentityFacts facts_of(const DriveIdentity* identity, YearMonth today) {
    IdentityFacts facts = {};
    facts.identity = identity;
    facts.today = today;
    // An MMC card's CID has another layout: only an SD card's is decoded.
    if (std::strcmp(identity->card_type, "SD") == 0) {
        facts.has_cid = decode_sd_cid(identity->cid, &facts.cid);
        facts.has_csd = decode_sd_csd(identity->csd, &facts.csd) && facts.csd.capacity > 0;
        facts.has_classes = decode_sd_status(identity->sd_status, &facts.classes);
    }
    return facts;
}

// USB vendor and product IDs reported from counterfeit drives (the
// sources are in doc/drive-identity.md). The same controllers may be in
// genuine cheap drives too: a sign, not a proof.
struct UsbIds {
    uint16_t vendor;
    uint16_t product;
};

const UsbIds fake_usb_ids[] = {{0x0011, 0x7788}, {0x2008, 0x2018}, {0x048d, 0x1234}};

bool manufacturer_zero(const IdentityFacts* facts) {
    return facts->has_cid && facts->cid.manufacturer == 0;
}

bool oem_zero(const IdentityFacts* facts) {
    return facts->has_cid && facts->cid.oem == 0;
}

bool name_not_text(const IdentityFacts* facts) {
    return facts->has_cid && !facts->cid.name_printable;
}

bool date_impossible(const IdentityFacts* facts) {
    const SdCid& cid = facts->cid;
    const YearMonth& today = facts->today; // {0, 0}: not known
    bool future = today.year > 0 &&
                  (cid.year > today.year || (cid.year == today.year && cid.month > today.month));
    return facts->has_cid && (cid.month < 1 || cid.month > 12 || future);
}

bool capacity_differs(const IdentityFacts* facts) {
    return facts->has_csd && facts->identity->size > 0 &&
           facts->csd.capacity != facts->identity->size;
}

bool known_fake_controller(const IdentityFacts* facts) {
    const DriveIdentity* identity = facts->identity;
    for (const UsbIds& ids : fake_usb_ids) {
        if (identity->usb && identity->usb_vendor_id == ids.vendor &&
            identity->usb_product_id == ids.product) {
            return true;
        }
    }
    return false;
}

// A warning sign: its name for programs, its line, and whether the
// identity shows it.
struct SignRow {
    IdentitySign sign;
    const char* word;
    const char* text;
    bool (*shows)(const IdentityFacts* facts);
};

const SignRow sign_rows[identity_sign_count] = {
    {sign_sd_manufacturer_zero, "sd_manufacturer_zero",
     "the card's manufacturer ID is 0x00, which names no maker: seen on counterfeit cards",
     manufacturer_zero},
    {sign_sd_oem_zero, "sd_oem_zero",
     "the card's OEM ID is 0x0000, where a genuine card has two letters: seen on counterfeit"
     " cards",
     oem_zero},
    {sign_sd_name_not_text, "sd_name_not_text",
     "the card's product name is not five printable characters", name_not_text},
    {sign_sd_date_impossible, "sd_date_impossible",
     "the card's date of manufacture has no such month, or has not come yet", date_impossible},
    {sign_sd_capacity_differs, "sd_capacity_differs",
     "the capacity in the card's CSD register is not the size the device claims", capacity_differs},
    {sign_usb_fake_controller, "usb_fake_controller",
     "these USB vendor and product IDs were reported from counterfeit drives (genuine cheap"
     " drives may have them too)",
     known_fake_controller},
};

uint32_t signs_of(const IdentityFacts* facts) {
    uint32_t signs = 0;
    for (const SignRow& row : sign_rows) {
        signs |= row.shows(facts) ? uint32_t{1} << row.sign : 0;
    }
    return signs;
}

// Appends ", label text" (or "label text" at the start) where text is not empty.
void append_part(char* line, size_t capacity, const char* label, const char* text) {
    if (text[0] == '\0') {
        return;
    }
    size_t used = std::strlen(line);
    std::snprintf(line + used, capacity - used, "%s%s%s", used > 0 ? ", " : "", label, text);
}

void put_drive_line(ReportLines* lines, const DriveIdentity* identity) {
    char said[3 * identity_text_capacity] = "";
    std::snprintf(said, sizeof said, "%s%s%s", identity->vendor,
                  identity->vendor[0] != '\0' && identity->model[0] != '\0' ? " " : "",
                  identity->model);
    char line[sizeof lines->line] = "";
    append_part(line, sizeof line, "", said);
    append_part(line, sizeof line, "revision ", identity->revision);
    append_part(line, sizeof line, "serial ", identity->serial);
    append_part(line, sizeof line, "on ", identity->bus);
    if (line[0] != '\0') {
        std::snprintf(lines->line, sizeof lines->line, "drive: %s\n", line);
        put_line(lines);
    }
}

void put_usb_line(ReportLines* lines, const DriveIdentity* identity) {
    if (!identity->usb) {
        return;
    }
    char line[sizeof lines->line];
    std::snprintf(line, sizeof line, "%04" PRIx16 ":%04" PRIx16, identity->usb_vendor_id,
                  identity->usb_product_id);
    append_part(line, sizeof line, "", identity->usb_manufacturer);
    append_part(line, sizeof line, "", identity->usb_product);
    append_part(line, sizeof line, "serial ", identity->usb_serial);
    std::snprintf(lines->line, sizeof lines->line, "usb: %s\n", line);
    put_line(lines);
}

void put_cid_line(ReportLines* lines, const IdentityFacts* facts) {
    const SdCid& cid = facts->cid;
    std::snprintf(lines->line, sizeof lines->line,
                  "sd card: manufacturer 0x%02x, OEM 0x%04x (%s), name %s, revision %u.%u,"
                  " serial 0x%08" PRIx32 ", made %04u-%02u\n",
                  cid.manufacturer, cid.oem, cid.oem_text, cid.name, cid.revision_major,
                  cid.revision_minor, cid.serial, cid.year, cid.month);
    put_line(lines);
}

void put_capacity_line(ReportLines* lines, const IdentityFacts* facts) {
    char size[32];
    format_size(facts->csd.capacity, size, sizeof size);
    std::snprintf(lines->line, sizeof lines->line,
                  "sd capacity: %" PRIu64 " bytes (%s) by its CSD register, version %u.0",
                  facts->csd.capacity, size, facts->csd.structure + 1u);
    if (facts->identity->size > 0) {
        size_t used = std::strlen(lines->line);
        std::snprintf(lines->line + used, sizeof lines->line - used,
                      "; the device claims %" PRIu64 " bytes", facts->identity->size);
    }
    std::strncat(lines->line, "\n", sizeof lines->line - std::strlen(lines->line) - 1);
    put_line(lines);
}

// "class 10", "none", or "a reserved code".
void class_text(const char* prefix, int value, char* text, size_t capacity) {
    if (value > 0) {
        std::snprintf(text, capacity, "%s%d", prefix, value);
    } else {
        std::snprintf(text, capacity, "%s", value == 0 ? "none" : "a reserved code");
    }
}

void put_classes_line(ReportLines* lines, const SdClasses* classes) {
    char speed[32], uhs[32], video[32], app[32];
    class_text("class ", classes->speed_class, speed, sizeof speed);
    class_text("U", classes->uhs_speed_grade, uhs, sizeof uhs);
    class_text("V", classes->video_class, video, sizeof video);
    class_text("A", classes->app_class, app, sizeof app);
    std::snprintf(lines->line, sizeof lines->line,
                  "sd classes (as the card claims them): speed %s, UHS speed grade %s, video"
                  " speed class %s, application performance class %s\n",
                  speed, uhs, video, app);
    put_line(lines);
}

void write_usb_json(JsonText* json, const DriveIdentity* identity) {
    if (!identity->usb) {
        json_null(json, "usb");
        return;
    }
    json_begin_object(json, "usb");
    json_uint(json, "vendor_id", identity->usb_vendor_id);
    json_uint(json, "product_id", identity->usb_product_id);
    json_string_or_null(json, "manufacturer", identity->usb_manufacturer);
    json_string_or_null(json, "product", identity->usb_product);
    json_string_or_null(json, "serial", identity->usb_serial);
    json_end_object(json);
}

void write_classes_json(JsonText* json, const IdentityFacts* facts) {
    if (!facts->has_classes) {
        json_null(json, "classes");
        return;
    }
    const SdClasses& classes = facts->classes;
    json_begin_object(json, "classes");
    json_int(json, "speed_class", classes.speed_class);
    json_int(json, "uhs_speed_grade", classes.uhs_speed_grade);
    json_int(json, "video_speed_class", classes.video_class);
    json_int(json, "app_performance_class", classes.app_class);
    json_end_object(json);
}

// The CID's fields, each null where no SD card's CID was read.
void write_cid_json(JsonText* json, const IdentityFacts* facts) {
    const char* const keys[] = {"manufacturer_id", "oem_id", "oem", "name",
                                "revision",        "serial", "date"};
    if (!facts->has_cid) {
        for (const char* key : keys) {
            json_null(json, key);
        }
        return;
    }
    const SdCid& cid = facts->cid;
    char revision[8], date[16];
    std::snprintf(revision, sizeof revision, "%u.%u", cid.revision_major, cid.revision_minor);
    std::snprintf(date, sizeof date, "%04u-%02u", cid.year, cid.month);
    json_uint(json, keys[0], cid.manufacturer);
    json_uint(json, keys[1], cid.oem);
    json_string(json, keys[2], cid.oem_text);
    json_string(json, keys[3], cid.name);
    json_string(json, keys[4], revision);
    json_uint(json, keys[5], cid.serial);
    json_string(json, keys[6], date);
}

void write_card_json(JsonText* json, const IdentityFacts* facts) {
    const DriveIdentity* identity = facts->identity;
    if (identity->card_type[0] == '\0') {
        json_null(json, "card");
        return;
    }
    json_begin_object(json, "card");
    json_string(json, "type", identity->card_type);
    json_string_or_null(json, "cid", identity->cid);
    json_string_or_null(json, "csd", identity->csd);
    write_cid_json(json, facts);
    if (facts->has_csd) {
        json_uint(json, "csd_version", facts->csd.structure + 1u);
        json_uint(json, "csd_capacity", facts->csd.capacity);
    } else {
        json_null(json, "csd_version");
        json_null(json, "csd_capacity");
    }
    write_classes_json(json, facts);
    json_end_object(json);
}

} // namespace

uint32_t identity_signs(const DriveIdentity* identity, YearMonth today) {
    IdentityFacts facts = facts_of(identity, today);
    return signs_of(&facts);
}

const char* identity_sign_word(IdentitySign sign) {
    return sign_rows[sign].word;
}

void write_identity_lines(const DriveIdentity* identity, YearMonth today, ReportWriter write,
                          void* context) {
    if (!identity->known) {
        return;
    }
    ReportLines lines = {write, context, ""};
    IdentityFacts facts = facts_of(identity, today);
    put_drive_line(&lines, identity);
    put_usb_line(&lines, identity);
    if (facts.has_cid) {
        put_cid_line(&lines, &facts);
    }
    if (facts.has_csd) {
        put_capacity_line(&lines, &facts);
    }
    if (facts.has_classes) {
        put_classes_line(&lines, &facts.classes);
    }
    uint32_t signs = signs_of(&facts);
    for (const SignRow& row : sign_rows) {
        if ((signs >> row.sign & 1u) != 0) {
            std::snprintf(lines.line, sizeof lines.line, "warning: %s\n", row.text);
            put_line(&lines);
        }
    }
}

void write_identity_json(JsonText* json, const char* key, const DriveIdentity* identity,
                         YearMonth today) {
    if (!identity->known) {
        json_null(json, key);
        return;
    }
    IdentityFacts facts = facts_of(identity, today);
    json_begin_object(json, key);
    json_string_or_null(json, "bus", identity->bus);
    json_string_or_null(json, "vendor", identity->vendor);
    json_string_or_null(json, "model", identity->model);
    json_string_or_null(json, "revision", identity->revision);
    json_string_or_null(json, "serial", identity->serial);
    json_uint(json, "size", identity->size);
    write_usb_json(json, identity);
    write_card_json(json, &facts);
    json_begin_array(json, "warnings");
    uint32_t signs = signs_of(&facts);
    for (const SignRow& row : sign_rows) {
        if ((signs >> row.sign & 1u) != 0) {
            json_begin_object(json, nullptr);
            json_string(json, "sign", row.word);
            json_string(json, "text", row.text);
            json_end_object(json);
        }
    }
    json_end_array(json);
    json_end_object(json);
}
