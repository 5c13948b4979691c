#include "check_report.h"

#include <cinttypes>

namespace {

// True when the input goes wrong right after the header and stays mostly
// wrong: then the header itself is the likely culprit, as a damaged header
// predicts a different stream from its first byte on.
bool header_looks_damaged(const StreamCheck* check) {
    return check->range_count > 0 && check->ranges[0].start < header_bytes + range_join_gap &&
           check->bytes_differing > bytes_checked(check) / 2;
}

void print_ranges(std::FILE* out, const StreamCheck* check) {
    std::fprintf(out, "bad ranges: %" PRIu64 " (start to end offset, end exclusive)\n",
                 check->range_count);
    uint64_t shown = check->range_count < kept_ranges ? check->range_count : kept_ranges;
    for (uint64_t i = 0; i < shown; ++i) {
        const BadRange& range = check->ranges[i];
        char length[32];
        format_size(range.end - range.start, length, sizeof length);
        std::fprintf(out, "  %" PRIu64 " to %" PRIu64 " (%s)\n", range.start, range.end, length);
    }
    if (check->range_count > shown) {
        std::fprintf(out, "  and %" PRIu64 " more\n", check->range_count - shown);
    }
}

void print_differences(std::FILE* out, const StreamCheck* check) {
    uint64_t first = check->ranges[0].start;
    char first_size[32];
    format_size(first, first_size, sizeof first_size);
    std::fprintf(out, "bytes differing: %" PRIu64 "\n", check->bytes_differing);
    std::fprintf(out,
                 "first bad byte: offset %" PRIu64 ", %s in (block %" PRIu64 ", offset %" PRIu64
                 " in the block)\n",
                 first, first_size, first / block_bytes + 1, first % block_bytes);
    print_ranges(out, check);
}

} // namespace

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

void print_report(std::FILE* out, const StreamCheck* check, bool read_to_end) {
    char read_size[32];
    format_size(check->bytes_read, read_size, sizeof read_size);
    std::fprintf(out, "bytes read: %" PRIu64 " (%s)\n", check->bytes_read, read_size);
    std::fprintf(out, "bytes checked: %" PRIu64 " (the first %" PRIu32 " only define the stream)\n",
                 bytes_checked(check), header_bytes);
    std::fprintf(out, "bytes matching: %" PRIu64 "\n",
                 bytes_checked(check) - check->bytes_differing);
    if (check->bytes_differing > 0) {
        print_differences(out, check);
    }
    if (!read_to_end) {
        std::fprintf(out,
                     "result: INCOMPLETE, the input could not be read past offset %" PRIu64 "\n",
                     check->bytes_read);
    } else if (!check_is_conclusive(check)) {
        std::fprintf(out, "result: NOT CHECKED, too short\n");
    } else if (check->bytes_differing > 0) {
        std::fprintf(out, "result: DAMAGED\n");
    } else {
        std::fprintf(out, "result: intact\n");
    }
    if (header_looks_damaged(check)) {
        std::fprintf(out,
                     "note: the input differs from the first byte after the %" PRIu32
                     " that define the stream;\n"
                     "      those may be damaged, or the input does not begin where a run "
                     "of sprayl began\n",
                     header_bytes);
    }
}
