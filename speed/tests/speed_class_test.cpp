// The class table's judgment, the class line and the claims' verdicts.
#include "speed_class.h"
#include "speed_report.h"

#include <gtest/gtest.h>

#include <string>

namespace {

void append_line(void* context, const char* line) {
    *static_cast<std::string*>(context) += line;
}

constexpr double mb = 1e6;

SpeedFigures figures(double write_mb, double read_iops, double write_iops) {
    return {write_mb * mb, 90 * mb, read_iops, write_iops, not_measured, not_measured};
}

std::string class_line(const SpeedFigures& measured) {
    std::string text;
    write_class_line(&measured, append_line, &text);
    return text;
}

struct ClassCase {
    const char* what;
    SpeedFigures measured;
    const char* line;
};

const ClassCase class_cases[] = {
    {"a card that holds 9.9 MB/s meets V6 alone", figures(9.9, 5000, 3000),
     "classes: C10 no, U1 no, U3 no, V6 yes, V10 no, V30 no, V60 no, V90 no, A1 no, A2 no\n"},
    {"10 MB/s exactly meets the 10 MB/s marks", figures(10, 1500, 500),
     "classes: C10 yes, U1 yes, U3 no, V6 yes, V10 yes, V30 no, V60 no, V90 no, A1 yes, A2 no\n"},
    {"fast but few random writes: not A1", figures(95, 4000, 499),
     "classes: C10 yes, U1 yes, U3 yes, V6 yes, V10 yes, V30 yes, V60 yes, V90 yes, A1 no,"
     " A2 no\n"},
    {"A2 from the deeper queue",
     {31 * mb, 90 * mb, 1600, 600, 4100, 2100},
     "classes: C10 yes, U1 yes, U3 yes, V6 yes, V10 yes, V30 yes, V60 no, V90 no, A1 yes,"
     " A2 yes\n"},
    {"a fill measures no random access",
     {31 * mb, 90 * mb, not_measured, not_measured, not_measured, not_measured},
     "classes: C10 yes, U1 yes, U3 yes, V6 yes, V10 yes, V30 yes, V60 no, V90 no,"
     " A1 unmeasured, A2 unmeasured\n"},
};

TEST(SpeedClasses, TheClassLineJudgesEachMark) {
    for (const ClassCase& c : class_cases) {
        EXPECT_EQ(class_line(c.measured), c.line) << c.what;
    }
}

// Whatever its random accesses, a drive slower than a class's sequential
// write never gets that class.
TEST(SpeedClasses, NoClassIsGivenAboveTheSustainedWrite) {
    for (double write_mb = 0; write_mb < 100; write_mb += 0.37) {
        SpeedFigures measured = figures(write_mb, 1e6, 1e6);
        for (const SpeedClass& row : speed_classes) {
            ClassAnswer answer = judge_class(&row, &measured);
            EXPECT_EQ(answer == class_met, write_mb * mb >= row.sequential_write)
                << row.name << " at " << write_mb << " MB/s";
        }
    }
}

TEST(SpeedClasses, TheTableFollowsTheMarks) {
    struct Row {
        const char* name;
        double write_mb;
        double read_iops;
        double write_iops;
    };
    const Row marks[] = {{"C10", 10, 0, 0},     {"U1", 10, 0, 0},  {"U3", 30, 0, 0},
                         {"V6", 6, 0, 0},       {"V10", 10, 0, 0}, {"V30", 30, 0, 0},
                         {"V60", 60, 0, 0},     {"V90", 90, 0, 0}, {"A1", 10, 1500, 500},
                         {"A2", 10, 4000, 2000}};
    for (const Row& mark : marks) {
        const SpeedClass* row = find_speed_class(mark.name);
        ASSERT_NE(row, nullptr) << mark.name;
        EXPECT_EQ(row->sequential_write, mark.write_mb * mb) << mark.name;
        EXPECT_EQ(row->random_read_iops, mark.read_iops) << mark.name;
        EXPECT_EQ(row->random_write_iops, mark.write_iops) << mark.name;
    }
    EXPECT_EQ(find_speed_class("v30"), find_speed_class("V30"));
    EXPECT_EQ(find_speed_class("V3"), nullptr);
}

struct ClaimCase {
    const char* claims;
    SpeedFigures measured;
    bool parsed;
    bool met;
    const char* lines; // or the message where not parsed
};

const ClaimCase claim_cases[] = {
    {"U3 V30 A2", figures(35, 4100, 2100), true, true,
     "claim U3: met\nclaim V30: met\nclaim A2: met (indicative only)\n"},
    {"u3,v30", figures(12, 0, 0), true, false,
     "claim U3: not met: sustained write 12 MB/s, U3 needs 30 MB/s\n"
     "claim V30: not met: sustained write 12 MB/s, V30 needs 30 MB/s\n"},
    {" A1 ", figures(20, 1400, 900), true, false,
     "claim A1: not met: random 4 KiB reads 1400 IOPS, A1 needs 1500\n"},
    {"A1",
     {20 * mb, 0, not_measured, not_measured, not_measured, not_measured},
     true,
     false,
     "claim A1: not measured\n"},
    {"U3 U4", figures(35, 0, 0), false, false,
     "--claims: \"U4\" is no class: C10, U1, U3, V6, V10, V30, V60, V90, A1 or A2"},
    {"V30 v30", figures(35, 0, 0), false, false, "--claims: \"v30\" is claimed twice"},
    {" , ", figures(35, 0, 0), false, false, "--claims needs a class, such as \"U3 V30 A2\""},
};

TEST(SpeedClasses, EachClaimGetsAVerdict) {
    for (const ClaimCase& c : claim_cases) {
        ClaimList claims;
        char message[256] = "";
        bool parsed = parse_claims(c.claims, &claims, message, sizeof message);
        ASSERT_EQ(parsed, c.parsed) << c.claims;
        if (!parsed) {
            EXPECT_STREQ(message, c.lines) << c.claims;
            continue;
        }
        std::string lines;
        EXPECT_EQ(write_claim_verdicts(&claims, &c.measured, append_line, &lines), c.met)
            << c.claims;
        EXPECT_EQ(lines, c.lines) << c.claims;
    }
}

TEST(SpeedClasses, TheReportGivesItsFiveLinesFirst) {
    SpeedFigures measured = {12.34 * mb, 45.66 * mb, 1499.6, 321.2, 2500, 700};
    std::string text;
    write_speed_lines(&measured, 4, append_line, &text);
    EXPECT_EQ(text.substr(0, text.find("classes:")),
              "sequential write: 12.3 MB/s\nsequential read: 45.7 MB/s\n"
              "random 4 KiB reads: 1500 IOPS\nrandom 4 KiB writes: 321 IOPS\n");
    EXPECT_NE(text.find("\nclasses: C10 yes, U1 yes, U3 no, V6 yes, V10 yes, V30 no, V60 no,"
                        " V90 no, A1 yes, A2 no\n"
                        "at queue depth 4: random 4 KiB reads 2500 IOPS, writes 700 IOPS\n"
                        "note: A2 is indicative only"),
              std::string::npos)
        << text;
}

} // namespace
