// The report for programs, engine side: the verdict's kind for each way it
// reads, and what each kind of stretch says.
#include "check_test_support.h"
#include "json_report.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

void append_text(void* text, const char* piece) {
    static_cast<std::string*>(text)->append(piece);
}

CheckResult result;

// A finished check of bytes_read bytes with the stretches and slips given,
// and the bytes of the stretches counted by kind.
void make_result(uint64_t bytes_read, const std::vector<Stretch>& stretches,
                 const std::vector<Slip>& slips, uint64_t expected, bool from_memory) {
    std::memset(&result, 0, sizeof result);
    result.bytes_read = bytes_read;
    result.expected_size = expected;
    result.possibly_from_memory = from_memory;
    result.stretch_count = stretches.size();
    uint64_t damaged = 0;
    for (size_t i = 0; i < stretches.size(); ++i) {
        result.stretches[i] = stretches[i];
        result.damaged_bytes[stretches[i].kind] += stretches[i].end - stretches[i].start;
        damaged += stretches[i].end - stretches[i].start;
    }
    result.slip_count = slips.size();
    for (size_t i = 0; i < slips.size(); ++i) {
        result.slips[i] = slips[i];
    }
    result.bytes_intact =
        bytes_read > header_bytes + damaged ? bytes_read - header_bytes - damaged : 0;
    result.outcome = check_found_damage(&result) ? outcome_damaged : outcome_intact;
}

TEST(VerdictKind, OneForEachWayTheVerdictReads) {
    const uint64_t mib = 1 << 20;
    struct Case {
        const char* kind;
        uint64_t bytes_read;
        std::vector<Stretch> stretches;
        std::vector<Slip> slips;
        uint64_t expected;
        bool from_memory;
        const char* verdict_start;
    };
    const Case cases[] = {
        {"too_short", 20, {}, {}, 0, false, "not checked"},
        {"intact", mib, {}, {}, 0, false, "intact"},
        {"unconfirmed", mib, {}, {}, 0, true, "unconfirmed"},
        {"blank", mib, {{0, mib, damage_blank, 0, 0}}, {}, 0, false, "the input holds only zeros"},
        {"foreign", mib, {{16, mib, damage_foreign, 0, 0}}, {}, 0, false, "no sprayl data"},
        {"wraps",
         2 * mib,
         {{16, mib, damage_misplaced, mib + 16, 0}},
         {},
         0,
         false,
         "the drive wraps around"},
        {"reads_earlier",
         2 * mib,
         {{mib, 2 * mib, damage_misplaced, 0, 0}},
         {},
         0,
         false,
         "offsets 1048576 to 2097152 read back"},
        {"lost_writes",
         2 * mib,
         {{mib, 2 * mib, damage_blank, 0xFF, 0}},
         {},
         0,
         false,
         "writes past offset 1048576"},
        {"slipped", mib, {}, {{5000, 100}}, 0, false, "the stream lost 100 bytes"},
        {"ends_early", mib, {}, {}, 2 * mib, false, "the input ends 1048576 bytes early"},
        {"damaged",
         mib,
         {{4096, 8192, damage_altered, 0, 3}},
         {},
         0,
         false,
         "4096 bytes (4.00 KiB) damaged in 1 stretch"},
    };
    for (const Case& c : cases) {
        make_result(c.bytes_read, c.stretches, c.slips, c.expected, c.from_memory);
        char text[320];
        VerdictKind kind = verdict_of(&result, text, sizeof text);
        EXPECT_STREQ(verdict_kind_names[kind], c.kind) << text;
        EXPECT_EQ(std::string(text).rfind(c.verdict_start, 0), 0u) << c.kind << ": " << text;
        char formatted[320];
        format_verdict(&result, formatted, sizeof formatted);
        EXPECT_STREQ(formatted, text);
    }
}

TEST(ResultJson, EachKindOfStretchSaysWhatItHolds) {
    make_result(1 << 20,
                {{100, 612, damage_misplaced, 70000, 0},
                 {4096, 8192, damage_blank, 0xFF, 0},
                 {9000, 9001, damage_altered, 0, 3},
                 {10240, 10752, damage_stale, 0, 0}},
                {{20000, -512}}, 0, false);
    std::string text;
    JsonText json;
    json_start(&json, append_text, &text);
    json_begin_object(&json, nullptr);
    write_result_json(&json, &result);
    json_end_object(&json);
    const char* members[] = {
        ("\"start\": 100,\n      \"end\": 612,\n      \"length\": 512,\n      \"kind\": "
         "\"misplaced\",\n      \"belongs_at\": 70000\n"),
        "\"kind\": \"blank\",\n      \"byte\": 255\n",
        "\"kind\": \"altered\",\n      \"bits\": 3\n",
        "\"kind\": \"stale\"\n",
        "\"offset\": 20000,\n      \"shift\": -512\n",
        "\"stretch_count\": 4,",
        "\"slip_count\": 1,",
        "\"outcome\": \"damaged\",",
        "\"kind\": \"damaged\",",
        "\"stale\": 512,",
        "\"intact\": 1043439,",
    };
    for (const char* member : members) {
        EXPECT_NE(text.find(member), std::string::npos) << member << "\n" << text;
    }
}

} // namespace
