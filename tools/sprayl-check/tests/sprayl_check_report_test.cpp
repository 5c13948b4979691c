// The report's lines, as a user reads them.
#include "check_report.h"
#include "check_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

StreamCheck check;

std::string report_of(const Bytes& input, bool read_to_end = true) {
    check_in_chunks(&check, input, 1 << 20);
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    if (file == nullptr) {
        return "";
    }
    print_report(file, &check, read_to_end);
    std::rewind(file);
    std::string text;
    int c;
    while ((c = std::fgetc(file)) != EOF) {
        text += static_cast<char>(c);
    }
    std::fclose(file);
    return text;
}

bool has_line(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(FormatSize, BinaryUnitsWithTwoDecimals) {
    struct Case {
        uint64_t bytes;
        const char* text;
    };
    const Case cases[] = {
        {0, "0 bytes"},           {1, "1 byte"},
        {1023, "1023 bytes"},     {1024, "1.00 KiB"},
        {1536, "1.50 KiB"},       {1048575, "1024.00 KiB"}, // rounds up in print, not in unit
        {1048576, "1.00 MiB"},    {8053063680ull, "7.50 GiB"},
        {1ull << 40, "1.00 TiB"}, {UINT64_MAX, "16.00 EiB"},
    };
    for (const Case& c : cases) {
        char text[32];
        format_size(c.bytes, text, sizeof text);
        EXPECT_STREQ(text, c.text) << c.bytes;
    }
}

TEST(PrintReport, IntactInput) {
    EXPECT_EQ(report_of(test_stream(3 * block_bytes)),
              "bytes read: 49152 (48.00 KiB)\n"
              "bytes checked: 49136 (the first 16 only define the stream)\n"
              "bytes matching: 49136\n"
              "result: intact\n");
}

TEST(PrintReport, DamageWithItsPlaceAndRanges) {
    Bytes input = test_stream(10 * block_bytes);
    input[40000] ^= 4;
    for (size_t i = 100000; i < 100100; ++i) {
        input[i] ^= 0xFF;
    }
    EXPECT_EQ(report_of(input), "bytes read: 163840 (160.00 KiB)\n"
                                "bytes checked: 163824 (the first 16 only define the stream)\n"
                                "bytes matching: 163723\n"
                                "bytes differing: 101\n"
                                "first bad byte: offset 40000, 39.06 KiB in (block 3, offset 7232 "
                                "in the block)\n"
                                "bad ranges: 2 (start to end offset, end exclusive)\n"
                                "  40000 to 40001 (1 byte)\n"
                                "  100000 to 100100 (100 bytes)\n"
                                "result: DAMAGED\n");
}

TEST(PrintReport, BlockNumbersCountFromOne) {
    struct Case {
        size_t offset;
        const char* line;
    };
    const Case cases[] = {
        {16, "first bad byte: offset 16, 16 bytes in (block 1, offset 16 in the block)"},
        {block_bytes - 1,
         "first bad byte: offset 16383, 16.00 KiB in (block 1, offset 16383 in the block)"},
        {block_bytes,
         "first bad byte: offset 16384, 16.00 KiB in (block 2, offset 0 in the block)"},
    };
    for (const Case& c : cases) {
        Bytes input = test_stream(3 * block_bytes);
        input[c.offset] ^= 1;
        EXPECT_TRUE(has_line(report_of(input), c.line)) << report_of(input);
    }
}

TEST(PrintReport, ManyRangesEndWithACount) {
    Bytes input = test_stream(10 * block_bytes);
    for (size_t i = 0; i < kept_ranges + 3; ++i) {
        input[1000 + 1000 * i] ^= 1;
    }
    std::string text = report_of(input);
    EXPECT_TRUE(has_line(text, "bad ranges: 11 (start to end offset, end exclusive)")) << text;
    EXPECT_TRUE(has_line(text, "  8000 to 8001 (1 byte)")) << text;
    EXPECT_FALSE(has_line(text, "  9000 to 9001 (1 byte)")) << text;
    EXPECT_TRUE(has_line(text, "  and 3 more")) << text;
}

TEST(PrintReport, PointsAtTheHeaderWhenNothingAfterItMatches) {
    const char* note = "note: the input differs from the first byte after the 16 that define "
                       "the stream;";
    Bytes zeros(5 * block_bytes, 0);
    Bytes bad_header = test_stream(5 * block_bytes);
    bad_header[5] ^= 0x20;
    Bytes late_damage = test_stream(5 * block_bytes);
    for (size_t i = 3 * block_bytes; i < late_damage.size(); ++i) {
        late_damage[i] = 0;
    }
    Bytes early_flip = test_stream(5 * block_bytes);
    early_flip[17] ^= 1;

    EXPECT_TRUE(has_line(report_of(zeros), note));
    EXPECT_TRUE(has_line(report_of(bad_header), note));
    EXPECT_FALSE(has_line(report_of(late_damage), note));
    EXPECT_FALSE(has_line(report_of(early_flip), note));
}

TEST(PrintReport, ResultLineForEachOutcome) {
    Bytes damaged = test_stream(block_bytes);
    damaged[1000] ^= 1;
    EXPECT_TRUE(has_line(report_of(test_stream(16)), "result: NOT CHECKED, too short"));
    EXPECT_TRUE(has_line(report_of(test_stream(0)), "bytes read: 0 (0 bytes)"));
    EXPECT_TRUE(has_line(report_of(test_stream(block_bytes), false),
                         "result: INCOMPLETE, the input could not be read past offset 16384"));
    EXPECT_TRUE(has_line(report_of(damaged, false),
                         "result: INCOMPLETE, the input could not be read past offset 16384"));
    EXPECT_TRUE(has_line(report_of(damaged), "result: DAMAGED"));
}

} // namespace
