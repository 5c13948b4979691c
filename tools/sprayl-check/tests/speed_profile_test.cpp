// The speed over the stream: where the time of each piece goes, when
// neighbouring stretches make one steady span, the stalls, the profile's
// lines and the chart's axes.
#include "speed_profile.h"
#include "svg_plot.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr uint64_t gib = uint64_t{1} << 30;
constexpr uint64_t mib = uint64_t{1} << 20;

RateTable table;

// A table of whole stretches of stretch_bytes, each written at the rate
// given (MB/s); a rate of 0 stands for a stretch that holds no bytes.
void fill_table(uint64_t stretch_bytes, const std::vector<double>& rates) {
    rates_start(&table, stretch_bytes, 0);
    for (double rate : rates) {
        uint64_t bytes = rate > 0 ? stretch_bytes : 0;
        table.bytes[table.count] = bytes;
        table.seconds[table.count] = rate > 0 ? static_cast<double>(bytes) / (rate * 1e6) : 0;
        table.noted += stretch_bytes;
        ++table.count;
    }
}

void append_line(void* text, const char* line) {
    static_cast<std::string*>(text)->append(line);
}

TEST(SteadySpans, NeighboursWithinAQuarterOfTheSpansRateJoinIt) {
    struct Case {
        const char* name;
        std::vector<double> rates;       // MB/s of each stretch
        std::vector<uint32_t> span_ends; // the stretch each span ends after
    };
    const Case cases[] = {
        {"steady", {400, 400, 400}, {2}},
        {"a cache, then the drive", {412, 410, 415, 38, 39, 37}, {2, 5}},
        {"24% faster joins", {100, 124}, {1}},
        {"26% faster does not", {100, 126}, {0, 1}},
        {"20% slower joins", {100, 80.5}, {1}},
        {"21% slower does not", {100, 79}, {0, 1}},
        // Each step is within a quarter of the last stretch, but not of the
        // span as it has grown.
        {"a slow slide", {100, 90, 80, 70, 60, 50}, {2, 4, 5}},
        {"a stretch without bytes joins what is around it", {100, 0, 100}, {2}},
        {"one slow stretch in the middle", {200, 200, 20, 200}, {1, 2, 3}},
    };
    for (const Case& c : cases) {
        fill_table(gib, c.rates);
        RateSpan spans[8];
        uint32_t count = steady_spans(&table, spans, 8);
        ASSERT_EQ(count, c.span_ends.size()) << c.name;
        for (uint32_t i = 0; i < count; ++i) {
            EXPECT_EQ(spans[i].start, i == 0 ? 0 : spans[i - 1].end) << c.name << " " << i;
            EXPECT_EQ(spans[i].end, (c.span_ends[i] + 1) * gib) << c.name << " " << i;
        }
    }
    // More spans than room: counted all the same, the first ones written.
    fill_table(gib, {100, 200, 400, 800});
    RateSpan two[2];
    EXPECT_EQ(steady_spans(&table, two, 2), 4u);
    EXPECT_EQ(two[1].end, 2 * gib);
}

TEST(RateTable, TimeGoesToTheStretchItWasSpentOn) {
    rates_start(&table, mib, 10.0);
    rates_note(&table, mib, 11.0);     // the first file's bytes
    rates_note(&table, mib, 14.0);     // its flush: time alone, for the same stretch
    rates_note(&table, 2 * mib, 15.0); // the next file's
    ASSERT_EQ(table.count, 2u);
    EXPECT_EQ(table.bytes[0], mib);
    EXPECT_DOUBLE_EQ(table.seconds[0], 4.0);
    EXPECT_EQ(table.bytes[1], mib);
    EXPECT_DOUBLE_EQ(table.seconds[1], 1.0);
    EXPECT_EQ(slowest_stretch(&table), 0u);

    // A stream longer than the table folds it: stretches join in pairs.
    rates_start(&table, 1, 0);
    for (uint64_t done = 1; done <= rate_stretches + 2; ++done) {
        rates_note(&table, done, static_cast<double>(done));
    }
    EXPECT_EQ(table.stretch_bytes, 2u);
    EXPECT_EQ(table.count, rate_stretches / 2 + 1);
    uint64_t bytes = 0;
    double seconds = 0;
    for (uint32_t i = 0; i < table.count; ++i) {
        bytes += table.bytes[i];
        seconds += table.seconds[i];
    }
    EXPECT_EQ(bytes, rate_stretches + 2u);
    EXPECT_DOUBLE_EQ(seconds, rate_stretches + 2.0);
    EXPECT_EQ(stretch_end(&table, table.count - 1), rate_stretches + 2u);
}

TEST(RateTable, StretchesAreAGibOrAFileInWholeMebibytes) {
    struct Case {
        uint64_t file_size;
        uint64_t stretch;
    };
    const Case cases[] = {
        {4 * gib, gib}, {gib, gib}, {8 * mib, 8 * mib}, {4056000, 4 * mib}, {1000, mib}, {0, mib},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(rate_stretch_bytes(c.file_size), c.stretch) << c.file_size;
    }
}

TEST(Profile, LinesForTheSpansTheSlowestStretchAndTheStalls) {
    fill_table(gib, {412, 410, 415, 38, 39, 37});
    rates_note_call(&table, 3 * gib + 5, 0.9); // not a stall
    rates_note_call(&table, 3 * gib + 7, 1.5);
    rates_note_call(&table, 4 * gib, 4.25);
    std::string text;
    write_profile(&table, "write", append_line, &text);
    EXPECT_EQ(text, "write speed: 412 MB/s to 3.00 GiB, then 38 MB/s to the end (6.00 GiB)\n"
                    "slowest write: 37 MB/s, from 5.00 GiB to 6.00 GiB\n"
                    "stalled writes: 2 took more than 1 s\n"
                    "  at offset 3221225479 (3.00 GiB): 1.50 s\n"
                    "  at offset 4294967296 (4.00 GiB): 4.25 s\n");
    // Past the listed ones: how many more, and the longest of all.
    for (uint64_t i = 1; i <= kept_stalls + 2; ++i) {
        rates_note_call(&table, 5 * gib + i, i == kept_stalls + 2 ? 9.5 : 2.0);
    }
    EXPECT_EQ(table.stall_count, kept_stalls + 4);
    EXPECT_EQ(table.stalls[kept_stalls - 1].offset, 5 * gib + kept_stalls - 2);
    text.clear();
    write_profile(&table, "write", append_line, &text);
    EXPECT_NE(text.find("  at offset 5368709122 (5.00 GiB): 2.00 s\n  and 16 more\n"
                        "  the longest at offset 5368709138 (5.00 GiB): 9.50 s\n"),
              std::string::npos)
        << text;

    fill_table(mib, {95});
    text.clear();
    write_profile(&table, "read", append_line, &text);
    EXPECT_EQ(text, "read speed: 95 MB/s throughout (1.00 MiB)\n");

    fill_table(gib, {100, 200, 400, 800, 1600, 3200});
    text.clear();
    write_profile(&table, "read", append_line, &text);
    EXPECT_EQ(text.substr(0, text.find('\n')),
              "read speed: 100 MB/s to 1.00 GiB, then 200 MB/s to 2.00 GiB, then 400 MB/s to "
              "3.00 GiB, then 800 MB/s to 4.00 GiB, then 2 changes more to the end");
    fill_table(gib, {100, 200, 400, 800, 1600});
    text.clear();
    write_profile(&table, "read", append_line, &text);
    EXPECT_NE(text.find("4.00 GiB, then 1 change more to the end"), std::string::npos) << text;

    rates_start(&table, gib, 0);
    text.clear();
    write_profile(&table, "read", append_line, &text);
    EXPECT_EQ(text, "");
}

TEST(PlotAxes, TicksOfOneTwoOrFiveTimesAPowerOfTen) {
    struct Case {
        double range;
        double step;
    };
    const Case cases[] = {
        {20, 5}, {58, 10}, {2500, 500}, {0.06, 0.01}, {8, 1}, {9, 2}, {0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(tick_step(c.range), c.step) << c.range;
    }
}

// This computer set the pace where checking took longer than the waiting
// for the drive: 2 GiB read at 1000 MB/s took 2.147 s in all.
TEST(Profile, TheComputersPaceIsNamedWhereItWasSlowerThanTheDrive) {
    struct Case {
        double checking_seconds;
        const char* text;
    };
    const Case cases[] = {
        {0, ""},
        {1.0, ""},                                        // the drive's wait was longer
        {1.07, ""},                                       // not quite half
        {1.08, "limited by this computer: 1.99 GB/s\n"},  // more than half
        {2.147, "limited by this computer: 1.00 GB/s\n"}, // no waiting at all
    };
    for (const Case& c : cases) {
        fill_table(gib, {1000, 1000});
        std::string text;
        write_pace_limit(&table, c.checking_seconds, append_line, &text);
        EXPECT_EQ(text, c.text) << c.checking_seconds;
    }
    rates_start(&table, gib, 0);
    std::string text;
    write_pace_limit(&table, 1.0, append_line, &text);
    EXPECT_EQ(text, "");
}

} // namespace
