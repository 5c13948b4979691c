// How the reports write sizes and rates.
#include "report_text.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

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

// Every rate the program prints: the largest decimal unit that gives at
// least 1, so that a slow stick shows MB/s or kB/s, not "0.00 GB/s".
TEST(FormatRate, TheLargestUnitThatGivesAtLeastOne) {
    struct Case {
        double bytes_per_second;
        const char* text;
    };
    const Case cases[] = {
        {0, "0 B/s"},           {12, "12 B/s"},         {999.4, "999 B/s"},
        {999.6, "1.0 kB/s"},    {3500, "3.5 kB/s"},     {850e3, "850 kB/s"},
        {1e6, "1.0 MB/s"},      {9.94e6, "9.9 MB/s"},   {9.96e6, "10 MB/s"},
        {80e6, "80 MB/s"},      {412.3e6, "412 MB/s"},  {999.4e6, "999 MB/s"},
        {999.6e6, "1.00 GB/s"}, {2.346e9, "2.35 GB/s"}, {17.6e9, "17.60 GB/s"},
    };
    for (const Case& c : cases) {
        char text[32];
        format_rate(c.bytes_per_second, text, sizeof text);
        EXPECT_STREQ(text, c.text) << c.bytes_per_second;
    }
    EXPECT_EQ(bytes_per_second(1000, 0), 0);
    EXPECT_EQ(bytes_per_second(1000, 2), 500);
}

} // namespace
