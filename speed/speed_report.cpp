#include "speed_report.h"

#include <cstdio>

double megabytes_per_second(double bytes_per_second) {
    return bytes_per_second / 1e6;
}

void write_speed_lines(const SpeedFigures* figures, unsigned deep_queue, ReportWriter write,
                       void* context) {
    char line[256];
    std::snprintf(line, sizeof line, "sequential write: %.1f MB/s\n",
                  megabytes_per_second(figures->sustained_write));
    write(context, line);
    std::snprintf(line, sizeof line, "sequential read: %.1f MB/s\n",
                  megabytes_per_second(figures->sequential_read));
    write(context, line);
    std::snprintf(line, sizeof line, "random 4 KiB reads: %.0f IOPS\n", figures->random_read_iops);
    write(context, line);
    std::snprintf(line, sizeof line, "random 4 KiB writes: %.0f IOPS\n",
                  figures->random_write_iops);
    write(context, line);
    write_class_line(figures, write, context);
    if (figures->deep_read_iops >= 0 && figures->deep_write_iops >= 0) {
        std::snprintf(line, sizeof line,
                      "at queue depth %u: random 4 KiB reads %.0f IOPS, writes %.0f IOPS\n",
                      deep_queue, figures->deep_read_iops, figures->deep_write_iops);
        write(context, line);
    }
    write(context, "note: A2 is indicative only, as is any mark measured behind a USB reader:"
                   " A2 needs the card's command queue and cache, which a reader does not pass"
                   " on\n");
}
