#include "speed_profile.h"

#include "text_sizes.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint64_t gibibyte = uint64_t{1} << 30;
constexpr uint64_t mebibyte = uint64_t{1} << 20;

// The steady spans the profile's line names before it sums up the rest.
constexpr uint32_t listed_spans = 4;
// The stalls the profile lists.
constexpr uint64_t listed_stalls = 4;

// Joins neighbouring stretches in pairs: each covers twice the bytes.
void fold_table(RateTable* table) {
    for (uint32_t i = 0; i < rate_stretches / 2; ++i) {
        table->bytes[i] = table->bytes[2 * i] + table->bytes[2 * i + 1];
        table->seconds[i] = table->seconds[2 * i] + table->seconds[2 * i + 1];
    }
    for (uint32_t i = rate_stretches / 2; i < rate_stretches; ++i) {
        table->bytes[i] = 0;
        table->seconds[i] = 0;
    }
    table->stretch_bytes *= 2;
    table->count = (table->count + 1) / 2;
}

// Whether rate lies within steady_factor of the span's rate.
bool is_steady_with(double span, double rate) {
    return rate <= span * steady_factor && rate * steady_factor >= span;
}

// Where the lines are made.
struct ProfileLines {
    ReportWriter write;
    void* context;
    char line[512];
};

void put_spans(ProfileLines* lines, const RateTable* table, const char* what) {
    RateSpan spans[listed_spans];
    uint32_t count = steady_spans(table, spans, listed_spans);
    size_t used =
        static_cast<size_t>(std::snprintf(lines->line, sizeof lines->line, "%s speed: ", what));
    uint32_t listed = count < listed_spans ? count : listed_spans;
    for (uint32_t i = 0; i < listed && used < sizeof lines->line; ++i) {
        char speed[size_text_capacity];
        char offset[size_text_capacity];
        format_rate(span_rate(&spans[i]), speed, sizeof speed);
        format_size(spans[i].end, offset, sizeof offset);
        const char* joint = i == 0 ? "" : ", then ";
        int wrote;
        if (count == 1) {
            wrote = std::snprintf(lines->line + used, sizeof lines->line - used,
                                  "%s throughout (%s)", speed, offset);
        } else if (i + 1 == count) {
            wrote = std::snprintf(lines->line + used, sizeof lines->line - used,
                                  "%s%s to the end (%s)", joint, speed, offset);
        } else {
            wrote = std::snprintf(lines->line + used, sizeof lines->line - used, "%s%s to %s",
                                  joint, speed, offset);
        }
        used += wrote > 0 ? static_cast<size_t>(wrote) : 0;
    }
    if (count > listed && used < sizeof lines->line) {
        std::snprintf(lines->line + used, sizeof lines->line - used,
                      ", then %" PRIu32 " %s more to the end", count - listed,
                      count - listed == 1 ? "change" : "changes");
    }
    std::strncat(lines->line, "\n", sizeof lines->line - std::strlen(lines->line) - 1);
    lines->write(lines->context, lines->line);
}

void put_slowest(ProfileLines* lines, const RateTable* table, const char* what) {
    uint32_t slowest = slowest_stretch(table);
    if (table->count < 2 || slowest == table->count) {
        return;
    }
    char speed[size_text_capacity];
    char start[size_text_capacity];
    char end[size_text_capacity];
    format_rate(stretch_rate(table, slowest), speed, sizeof speed);
    format_size(stretch_start(table, slowest), start, sizeof start);
    format_size(stretch_end(table, slowest), end, sizeof end);
    std::snprintf(lines->line, sizeof lines->line, "slowest %s: %s, from %s to %s\n", what, speed,
                  start, end);
    lines->write(lines->context, lines->line);
}

// A line of a stall: what it is ("at offset"), where, and how long it took.
void put_stall(ProfileLines* lines, const char* what, const Stall& stall) {
    char offset[size_text_capacity];
    format_size(stall.offset, offset, sizeof offset);
    std::snprintf(lines->line, sizeof lines->line, "  %s %" PRIu64 " (%s): %.2f s\n", what,
                  stall.offset, offset, stall.seconds);
    lines->write(lines->context, lines->line);
}

// The first stalls, each with its offset and how long it took; past them,
// how many more, and the longest.
void put_stalls(ProfileLines* lines, const RateTable* table, const char* what) {
    if (table->stall_count == 0) {
        return;
    }
    std::snprintf(lines->line, sizeof lines->line,
                  "stalled %ss: %" PRIu64 " took more than %.0f s\n", what, table->stall_count,
                  stall_seconds);
    lines->write(lines->context, lines->line);
    uint64_t listed = table->stall_count < listed_stalls ? table->stall_count : listed_stalls;
    for (uint64_t i = 0; i < listed; ++i) {
        put_stall(lines, "at offset", table->stalls[i]);
    }
    if (listed < table->stall_count) {
        std::snprintf(lines->line, sizeof lines->line, "  and %" PRIu64 " more\n",
                      table->stall_count - listed);
        lines->write(lines->context, lines->line);
        put_stall(lines, "the longest at offset", table->longest_stall);
    }
}

} // namespace

uint64_t rate_stretch_bytes(uint64_t file_size) {
    if (file_size >= gibibyte) {
        return gibibyte;
    }
    uint64_t mebibytes = (file_size + mebibyte - 1) / mebibyte;
    return mebibytes > 1 ? mebibytes * mebibyte : mebibyte;
}

void rates_start(RateTable* table, uint64_t stretch_bytes, double now) {
    std::memset(table, 0, sizeof *table);
    table->stretch_bytes = stretch_bytes > 0 ? stretch_bytes : 1;
    table->noted_time = now;
}

void rates_note(RateTable* table, uint64_t done, double now) {
    uint64_t last_byte = done > 0 ? done - 1 : 0;
    while (last_byte / table->stretch_bytes >= rate_stretches) {
        fold_table(table);
    }
    uint32_t i = static_cast<uint32_t>(last_byte / table->stretch_bytes);
    table->bytes[i] += done - table->noted;
    table->seconds[i] += now - table->noted_time;
    table->count = i + 1 > table->count ? i + 1 : table->count;
    table->noted = done;
    table->noted_time = now;
}

void rates_pause(RateTable* table, double now) {
    table->noted_time = now;
}

void rates_note_call(RateTable* table, uint64_t offset, double seconds) {
    if (seconds <= stall_seconds) {
        return;
    }
    Stall stall = {offset, seconds};
    if (table->stall_count < kept_stalls) {
        table->stalls[table->stall_count] = stall;
    }
    if (seconds > table->longest_stall.seconds) {
        table->longest_stall = stall;
    }
    ++table->stall_count;
}

uint64_t stretch_start(const RateTable* table, uint32_t i) {
    return uint64_t{i} * table->stretch_bytes;
}

uint64_t stretch_end(const RateTable* table, uint32_t i) {
    uint64_t end = stretch_start(table, i) + table->stretch_bytes;
    return end < table->noted ? end : table->noted;
}

double stretch_rate(const RateTable* table, uint32_t i) {
    return bytes_per_second(table->bytes[i], table->seconds[i]);
}

double span_rate(const RateSpan* span) {
    return bytes_per_second(span->bytes, span->seconds);
}

uint32_t steady_spans(const RateTable* table, RateSpan* spans, uint32_t capacity) {
    uint32_t count = 0;
    RateSpan current = {0, 0, 0, 0};
    for (uint32_t i = 0; i < table->count; ++i) {
        double rate = stretch_rate(table, i);
        bool joins = count == 0 || table->bytes[i] == 0 || current.seconds <= 0 ||
                     is_steady_with(span_rate(&current), rate);
        if (!joins) {
            if (count <= capacity) {
                spans[count - 1] = current;
            }
            current = {current.end, current.end, 0, 0};
            ++count;
        }
        count = count == 0 ? 1 : count;
        current.end = stretch_end(table, i);
        current.bytes += table->bytes[i];
        current.seconds += table->seconds[i];
    }
    if (count > 0 && count <= capacity) {
        spans[count - 1] = current;
    }
    return count;
}

uint32_t slowest_stretch(const RateTable* table) {
    uint32_t slowest = table->count;
    for (uint32_t i = 0; i < table->count; ++i) {
        if (table->bytes[i] > 0 && table->seconds[i] > 0 &&
            (slowest == table->count || stretch_rate(table, i) < stretch_rate(table, slowest))) {
            slowest = i;
        }
    }
    return slowest;
}

void write_profile(const RateTable* table, const char* what, ReportWriter write, void* context) {
    if (table->count == 0 || table->noted == 0) {
        return;
    }
    ProfileLines lines;
    lines.write = write;
    lines.context = context;
    put_spans(&lines, table, what);
    put_slowest(&lines, table, what);
    put_stalls(&lines, table, what);
}

void write_pace_limit(const RateTable* table, double working_seconds, ReportWriter write,
                      void* context) {
    double seconds = table_seconds(table);
    if (table->noted == 0 || working_seconds <= seconds - working_seconds) {
        return;
    }
    char rate[size_text_capacity];
    char line[64];
    format_rate(bytes_per_second(table->noted, working_seconds), rate, sizeof rate);
    std::snprintf(line, sizeof line, "limited by this computer: %s\n", rate);
    write(context, line);
}

SpeedCliff table_cliff(const RateTable* table) {
    RateProfile profile = {table->bytes, table->seconds, table->count, table->stretch_bytes};
    return find_cliff(&profile);
}

double table_seconds(const RateTable* table) {
    double seconds = 0;
    for (uint32_t i = 0; i < table->count; ++i) {
        seconds += table->seconds[i];
    }
    return seconds;
}

double table_rate(const RateTable* table) {
    return bytes_per_second(table->noted, table_seconds(table));
}
