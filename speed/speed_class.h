// The speed classes that memory cards are marked with (C10, U1, U3, V6 ...
// V90, A1, A2), one table row each with what it needs, and whether a
// drive's measured figures meet them: the class line of every report that
// measured a write rate, and a verdict on the classes a label claims.
// doc/speed.md gives the public definitions the rows follow.
#pragma once

#include "report_text.h"

#include <cstddef>

// A figure that was not measured (a fill measures no random access).
constexpr double not_measured = -1;

// What a drive was measured to do. Rates in bytes per second, random
// accesses of 4 KiB in operations per second.
struct SpeedFigures {
    double sustained_write; // sequential, once any write cache ran out
    double sequential_read;
    double random_read_iops; // at queue depth 1
    double random_write_iops;
    double deep_read_iops; // at a deeper queue (threads side by side); not_measured: none
    double deep_write_iops;
};

struct SpeedClass {
    const char* name;        // as the mark reads: "U3"
    double sequential_write; // the sustained sequential write it needs, bytes per second
    double random_read_iops; // the random 4 KiB reads per second it needs; 0: none
    double random_write_iops;
    // Needs what a host cannot see through every path: the card's command
    // queue and cache. Any mark measured behind a USB reader is indicative
    // too (the reader's own limits and caching stand between).
    bool needs_card_features;
};

constexpr size_t speed_class_count = 10;

// In the order of the class line.
extern const SpeedClass speed_classes[speed_class_count];

enum ClassAnswer { class_met, class_not_met, class_unmeasured };

// Whether figures meet the class: the sustained write, and for the
// application classes the random accesses at the better of the two queue
// depths measured. Unmeasured where a figure it needs was not measured.
ClassAnswer judge_class(const SpeedClass* speed_class, const SpeedFigures* figures);

// The class of that name, in any case ("u3"); nullptr for none.
const SpeedClass* find_speed_class(const char* name);

// "classes: C10 yes, U1 yes, U3 no, ..." ("unmeasured" where a figure it
// needs was not measured).
void write_class_line(const SpeedFigures* figures, ReportWriter write, void* context);

// The classes that a label claims.
struct ClaimList {
    const SpeedClass* claims[speed_class_count];
    size_t count;
};

// Reads the claims of text ("U3 V30 A2", spaces or commas between); false
// with message where a word names no class, or names one twice.
bool parse_claims(const char* text, ClaimList* claims, char* message, size_t capacity);

// A line for each claim ("claim U3: met", "claim V30: not met: ..."):
// whether each was met. True where every one was.
bool write_claim_verdicts(const ClaimList* claims, const SpeedFigures* figures, ReportWriter write,
                          void* context);
