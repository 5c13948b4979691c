#include "drive_verdict.h"

#include "report_text.h"

#include <cstdio>
#include <cstring>

namespace {

// What lies past the capacity, one row each: in a few words, and as the
// verdict says what reads there give, or what the drive did at its first
// write there.
struct PastCapacityRow {
    PastCapacity past;
    const char* name;
    const char* reads_give;
    const char* event; // the drive stopped taking writes or answering; null: it did not
};

const PastCapacityRow past_rows[] = {
    {past_nothing, "nothing (the whole size holds)", "", nullptr},
    {past_wraps, "wraps around to lower addresses", "", nullptr},
    {past_zeros, "writes lost, reads give zeros", "reads there give zeros", nullptr},
    {past_ones, "writes lost, reads give FF", "reads there give FF bytes", nullptr},
    {past_old_data, "writes lost, reads give the data from before",
     "reads there give what was there before", nullptr},
    {past_other_data, "writes lost, reads give other data", "reads there give other data", nullptr},
    {past_read_errors, "reads fail", "reads there fail", nullptr},
    {past_other_run, "writes lost, reads give data of another run",
     "reads there give data of another run", nullptr},
    {past_read_only, "the first write there turned the drive read-only", "", "turned read-only"},
    {past_gone, "the first write there made the drive stop answering", "", "stopped answering"},
};
static_assert(sizeof past_rows / sizeof past_rows[0] == past_capacity_count,
              "a row for everything past the capacity");

const PastCapacityRow& row_of(PastCapacity past) {
    for (const PastCapacityRow& row : past_rows) {
        if (row.past == past) {
            return row;
        }
    }
    return past_rows[past_other_data];
}

// "the drive holds H (or between H and M) of the C it claims: at its first
// write past that it EVENT", for a drive that stopped taking writes or
// answering there: no write found where it stops holding.
void format_event(const DriveVerdict* verdict, const char* event, char* text, size_t capacity) {
    char holds[32];
    char most[32];
    char claims[32];
    char range[96];
    format_size(verdict->holds, holds, sizeof holds);
    format_size(verdict->holds_at_most, most, sizeof most);
    format_size(verdict->claims, claims, sizeof claims);
    if (verdict->holds_at_most > verdict->holds && std::strcmp(holds, most) != 0) {
        std::snprintf(range, sizeof range, "between %s and %s", holds, most);
    } else {
        std::snprintf(range, sizeof range, "%s", holds);
    }
    std::snprintf(text, capacity,
                  "the drive holds %s of the %s it claims: at its first write past"
                  " that it %s",
                  range, claims, event);
}

// "the drive holds H of the C it claims (up to M if ...): ", and what lies
// past H.
void format_holds_less(const DriveVerdict* verdict, char* text, size_t capacity) {
    if (row_of(verdict->past).event != nullptr) {
        format_event(verdict, row_of(verdict->past).event, text, capacity);
        return;
    }
    char holds[32];
    char claims[32];
    char at_most[96] = "";
    format_size(verdict->holds, holds, sizeof holds);
    format_size(verdict->claims, claims, sizeof claims);
    char range[96];
    std::snprintf(range, sizeof range, "%s", holds);
    if (verdict->holds_at_most > verdict->holds) {
        char most[32];
        format_size(verdict->holds_at_most, most, sizeof most);
        if (verdict->past == past_wraps) {
            std::snprintf(at_most, sizeof at_most, " (up to %s if it keeps a low area apart)",
                          most);
        } else {
            std::snprintf(range, sizeof range, "between %s and %s", holds, most);
        }
    }
    char claimed[96] = "";
    if (verdict->claims > 0) {
        std::snprintf(claimed, sizeof claimed, " of the %s it claims", claims);
    }
    char past[224];
    if (verdict->past == past_wraps) {
        char wrap[32];
        char low[64] = "";
        format_size(verdict->wrap, wrap, sizeof wrap);
        if (verdict->low_area > 0) {
            char low_size[32];
            format_size(verdict->low_area, low_size, sizeof low_size);
            std::snprintf(low, sizeof low, " above its first %s", low_size);
        }
        std::snprintf(past, sizeof past, "it wraps around every %s%s", wrap, low);
    } else {
        char cache[96] = "";
        if (verdict->cache > 0) {
            char cached[32];
            format_size(verdict->cache, cached, sizeof cached);
            std::snprintf(cache, sizeof cache, " (%s of the latest writes answered from a cache)",
                          cached);
        }
        std::snprintf(past, sizeof past, "writes past %s of the drive were lost: %s%s", holds,
                      row_of(verdict->past).reads_give, cache);
    }
    std::snprintf(text, capacity, "the drive holds %s%s%s: %s", range, claimed, at_most, past);
}

} // namespace

const char* past_capacity_name(PastCapacity past) {
    return row_of(past).name;
}

void format_drive_verdict(const DriveVerdict* verdict, char* text, size_t capacity) {
    char claims[32];
    char kept[32];
    char written[32];
    switch (verdict->finding) {
    case drive_says_nothing:
        std::snprintf(text, capacity, "nothing found about the drive's size");
        break;
    case drive_holds_all:
        format_size(verdict->claims, claims, sizeof claims);
        std::snprintf(text, capacity,
                      "the drive holds all %s it claims, as far as the probe looked", claims);
        break;
    case drive_holds_less:
        format_holds_less(verdict, text, capacity);
        break;
    case drive_kept_estimate:
        format_size(verdict->kept, kept, sizeof kept);
        format_size(verdict->written, written, sizeof written);
        std::snprintf(text, capacity,
                      "it kept %s of the %s written (an estimate from what came back intact:"
                      " the file system does not tell where its files lie on the drive)",
                      kept, written);
        break;
    }
}

uint64_t greatest_common_divisor(uint64_t a, uint64_t b) {
    while (b != 0) {
        uint64_t rest = a % b;
        a = b;
        b = rest;
    }
    return a;
}
