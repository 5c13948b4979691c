#include "speed_class.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

// A megabyte a second as the marks count it: 1,000,000 bytes.
constexpr double megabyte = 1e6;

// The better of the two queue depths measured, or not_measured.
double better_of(double shallow, double deep) {
    return deep > shallow ? deep : shallow;
}

bool same_name(const char* a, const char* b, size_t length) {
    if (std::strlen(b) != length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) {
            return false;
        }
    }
    return true;
}

const SpeedClass* find_named(const char* name, size_t length) {
    for (const SpeedClass& row : speed_classes) {
        if (same_name(name, row.name, length)) {
            return &row;
        }
    }
    return nullptr;
}

// Why figures fall short of the class, for a claim's verdict.
void say_shortfall(const SpeedClass* row, const SpeedFigures* figures, char* text,
                   size_t capacity) {
    char have[32];
    char needs[32];
    if (figures->sustained_write < row->sequential_write) {
        format_rate(figures->sustained_write, have, sizeof have);
        format_rate(row->sequential_write, needs, sizeof needs);
        std::snprintf(text, capacity, "sustained write %s, %s needs %s", have, row->name, needs);
        return;
    }
    double reads = better_of(figures->random_read_iops, figures->deep_read_iops);
    if (reads < row->random_read_iops) {
        std::snprintf(text, capacity, "random 4 KiB reads %.0f IOPS, %s needs %.0f", reads,
                      row->name, row->random_read_iops);
        return;
    }
    double writes = better_of(figures->random_write_iops, figures->deep_write_iops);
    std::snprintf(text, capacity, "random 4 KiB writes %.0f IOPS, %s needs %.0f", writes, row->name,
                  row->random_write_iops);
}

} // namespace

// The SD Association's public definitions (doc/speed.md): the Speed Class,
// UHS Speed Class and Video Speed Class marks are a minimum sustained
// sequential write; the Application Performance Classes add random 4 KiB
// reads and writes per second, and A2 the card's command queue and cache.
const SpeedClass speed_classes[speed_class_count] = {
    {"C10", 10 * megabyte, 0, 0, false},     {"U1", 10 * megabyte, 0, 0, false},
    {"U3", 30 * megabyte, 0, 0, false},      {"V6", 6 * megabyte, 0, 0, false},
    {"V10", 10 * megabyte, 0, 0, false},     {"V30", 30 * megabyte, 0, 0, false},
    {"V60", 60 * megabyte, 0, 0, false},     {"V90", 90 * megabyte, 0, 0, false},
    {"A1", 10 * megabyte, 1500, 500, false}, {"A2", 10 * megabyte, 4000, 2000, true},
};

ClassAnswer judge_class(const SpeedClass* speed_class, const SpeedFigures* figures) {
    double reads = better_of(figures->random_read_iops, figures->deep_read_iops);
    double writes = better_of(figures->random_write_iops, figures->deep_write_iops);
    bool needs_random = speed_class->random_read_iops > 0 || speed_class->random_write_iops > 0;
    if (figures->sustained_write < 0 || (needs_random && (reads < 0 || writes < 0))) {
        return class_unmeasured;
    }
    bool met = figures->sustained_write >= speed_class->sequential_write &&
               (!needs_random || (reads >= speed_class->random_read_iops &&
                                  writes >= speed_class->random_write_iops));
    return met ? class_met : class_not_met;
}

const SpeedClass* find_speed_class(const char* name) {
    return find_named(name, std::strlen(name));
}

void write_class_line(const SpeedFigures* figures, ReportWriter write, void* context) {
    static const char* const words[] = {"yes", "no", "unmeasured"};
    char line[256] = "classes:";
    for (size_t i = 0; i < speed_class_count; ++i) {
        size_t used = std::strlen(line);
        std::snprintf(line + used, sizeof line - used, "%s %s %s", i == 0 ? "" : ",",
                      speed_classes[i].name, words[judge_class(&speed_classes[i], figures)]);
    }
    std::strncat(line, "\n", sizeof line - std::strlen(line) - 1);
    write(context, line);
}

bool parse_claims(const char* text, ClaimList* claims, char* message, size_t capacity) {
    claims->count = 0;
    const char* separators = " ,\t";
    for (const char* at = text + std::strspn(text, separators); *at != '\0';
         at += std::strspn(at, separators)) {
        size_t length = std::strcspn(at, separators);
        const SpeedClass* found = find_named(at, length);
        bool twice = false;
        for (size_t i = 0; i < claims->count; ++i) {
            twice = twice || claims->claims[i] == found;
        }
        if (found == nullptr || twice) {
            std::snprintf(message, capacity, "--claims: \"%.*s\" %s", static_cast<int>(length), at,
                          found == nullptr ? "is no class: C10, U1, U3, V6, V10, V30, V60, V90,"
                                             " A1 or A2"
                                           : "is claimed twice");
            return false;
        }
        claims->claims[claims->count++] = found;
        at += length;
    }
    if (claims->count == 0) {
        std::snprintf(message, capacity, "--claims needs a class, such as \"U3 V30 A2\"");
        return false;
    }
    return true;
}

bool write_claim_verdicts(const ClaimList* claims, const SpeedFigures* figures, ReportWriter write,
                          void* context) {
    bool all_met = true;
    for (size_t i = 0; i < claims->count; ++i) {
        const SpeedClass* row = claims->claims[i];
        ClassAnswer answer = judge_class(row, figures);
        char line[256];
        char why[160];
        if (answer == class_met) {
            std::snprintf(line, sizeof line, "claim %s: met%s\n", row->name,
                          row->needs_card_features ? " (indicative only)" : "");
        } else if (answer == class_unmeasured) {
            std::snprintf(line, sizeof line, "claim %s: not measured\n", row->name);
        } else {
            say_shortfall(row, figures, why, sizeof why);
            std::snprintf(line, sizeof line, "claim %s: not met: %s\n", row->name, why);
        }
        all_met = all_met && answer == class_met;
        write(context, line);
    }
    return all_met;
}
