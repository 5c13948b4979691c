// What a drive says it is, in the reports: its identity (device/
// drive_identity.h) decoded, as lines of the text report and as a JSON
// object, with the warning signs known from counterfeits, one table row
// each (doc/drive-identity.md gives the table and its sources).
#pragma once

#include "drive_identity.h"
#include "json_writer.h"
#include "report_text.h"

#include <cstdint>

// The month the report is made in: a card made later than that claims a
// date that has not come.
struct YearMonth {
    int year;
    int month;
};

enum IdentitySign {
    sign_sd_manufacturer_zero, // CID manufacturer ID 0x00
    sign_sd_oem_zero,          // CID OEM ID 0x0000
    sign_sd_name_not_text,     // CID product name not five printable characters
    sign_sd_date_impossible,   // CID date with no such month, or in the future
    sign_sd_capacity_differs,  // CSD capacity other than the device's size
    sign_usb_fake_controller,  // USB vendor and product IDs known from fakes
    identity_sign_count
};

// The signs that identity shows, as a set: bit 1 << sign for each.
uint32_t identity_signs(const DriveIdentity* identity, YearMonth today);

// A sign's name for programs ("sd_manufacturer_zero").
const char* identity_sign_word(IdentitySign sign);

// Hands the lines that say what the drive says it is to write: "drive:",
// "usb:", "sd card:", "sd capacity:", "sd classes:", then one "warning:"
// line for each sign. None for an identity that is not known.
void write_identity_lines(const DriveIdentity* identity, YearMonth today, ReportWriter write,
                          void* context);

// The identity as the object key (null where it is not known).
void write_identity_json(JsonText* json, const char* key, const DriveIdentity* identity,
                         YearMonth today);
