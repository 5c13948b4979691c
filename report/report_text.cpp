#include "report_text.h"
#include "text_sizes.h"

#include <cinttypes>
#include <cstdio>

void put_line(ReportLines* lines) {
    lines->write(lines->context, lines->line);
}

void format_size(uint64_t bytes, char* text, size_t capacity) {
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) {
        std::snprintf(text, capacity, "%" PRIu64 " %s", bytes, bytes == 1 ? "byte" : "bytes");
        return;
    }
    double value = static_cast<double>(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 5) {
        value /= 1024.0;
        ++unit;
    }
    std::snprintf(text, capacity, "%.2f %s", value, units[unit]);
}

void format_amount(uint64_t bytes, char* text, size_t capacity) {
    if (bytes < 1024) {
        std::snprintf(text, capacity, "%" PRIu64 " %s", bytes, bytes == 1 ? "byte" : "bytes");
        return;
    }
    char size[size_text_capacity];
    format_size(bytes, size, sizeof size);
    std::snprintf(text, capacity, "%" PRIu64 " bytes (%s)", bytes, size);
}

double bytes_per_second(uint64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
}

void format_rate(double bytes_per_second, char* text, size_t capacity) {
    struct RateUnit {
        double bytes; // a second
        const char* name;
    };
    static const RateUnit units[] = {{1e9, "GB/s"}, {1e6, "MB/s"}, {1e3, "kB/s"}, {1, "B/s"}};
    // A unit is taken from where its value rounds to 1.
    size_t unit = 0;
    while (unit + 1 < sizeof units / sizeof units[0] &&
           bytes_per_second < units[unit].bytes * 0.9995) {
        ++unit;
    }
    double value = bytes_per_second / units[unit].bytes;
    const char* format = unit == 0 ? "%.2f %s" : value >= 9.95 || unit == 3 ? "%.0f %s" : "%.1f %s";
    std::snprintf(text, capacity, format, value, units[unit].name);
}
