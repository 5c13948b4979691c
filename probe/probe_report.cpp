#include "probe_report.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint64_t partition_start_sectors = 2048; // 1 MiB of 512-byte sectors
constexpr uint64_t mebibyte = uint64_t{1} << 20;

// What reads past the capacity give, as the fill's verdicts say it.
const char* what_reads_give(PastCapacity past) {
    switch (past) {
    case past_zeros:
        return "reads there give zeros";
    case past_ones:
        return "reads there give FF bytes";
    case past_old_data:
        return "reads there give what was there before";
    case past_other_data:
        return "reads there give other data";
    case past_read_errors:
        return "reads there fail";
    default:
        return "";
    }
}

void put_size_line(ReportLines* lines, const char* label, uint64_t bytes, uint32_t sector) {
    char size[32];
    format_size(bytes, size, sizeof size);
    std::snprintf(lines->line, sizeof lines->line,
                  "%s: %" PRIu64 " bytes (%s), %" PRIu64 " sectors of %" PRIu32 " bytes\n", label,
                  bytes, size, bytes / sector, sector);
    put_line(lines);
}

} // namespace

void format_probe_verdict(const ProbeResult* result, char* text, size_t capacity) {
    char held[32];
    char claimed[32];
    format_size(result->capacity, held, sizeof held);
    format_size(result->claimed_bytes, claimed, sizeof claimed);
    if (result->interrupted) {
        std::snprintf(text, capacity, "not probed to the end: stopped before an answer");
        return;
    }
    if (result->past == past_nothing) {
        std::snprintf(text, capacity,
                      "the drive holds all %s it claims, as far as the probe looked", claimed);
        return;
    }
    if (result->past == past_wraps) {
        char distance[32];
        format_size(result->wrap_distance, distance, sizeof distance);
        char low[64] = "";
        if (result->low_area > 0) {
            char low_size[32];
            format_size(result->low_area, low_size, sizeof low_size);
            std::snprintf(low, sizeof low, " above its first %s", low_size);
        }
        std::snprintf(text, capacity,
                      "the drive holds %s of the %s it claims: it wraps around every %s%s", held,
                      claimed, distance, low);
        return;
    }
    std::snprintf(text, capacity,
                  "the drive holds %s of the %s it claims: writes past that were lost, %s", held,
                  claimed, what_reads_give(result->past));
}

uint64_t partition_sectors(const ProbeResult* result) {
    uint64_t whole = result->capacity / mebibyte * mebibyte / 512;
    return whole > partition_start_sectors ? whole - partition_start_sectors : 0;
}

void write_probe_report(const ProbeResult* result, const char* device, const char* backup,
                        bool backup_removed, ReportWriter write, void* context) {
    ReportLines lines = {write, context, ""};
    char verdict[512];
    format_probe_verdict(result, verdict, sizeof verdict);
    std::snprintf(lines.line, sizeof lines.line, "verdict: %s\n", verdict);
    put_line(&lines);
    uint32_t sector = result->sector_size > 0 ? result->sector_size : 512;
    put_size_line(&lines, "claimed", result->claimed_bytes, sector);
    if (!result->interrupted) {
        put_size_line(&lines, "real", result->capacity, sector);
        std::snprintf(lines.line, sizeof lines.line, "past it: %s\n",
                      past_capacity_name(result->past));
        put_line(&lines);
        if (result->past == past_wraps) {
            std::snprintf(lines.line, sizeof lines.line,
                          "wraps: address a and a + %" PRIu64 " reach the same storage, from"
                          " address %" PRIu64 " up\n",
                          result->wrap_distance, result->low_area);
            put_line(&lines);
        }
        char cache[32];
        format_size(result->cache_bytes, cache, sizeof cache);
        if (result->cache_measured && result->cache_bytes == 0) {
            std::snprintf(lines.line, sizeof lines.line,
                          "cache: none (the latest write read back lost)\n");
        } else if (result->cache_measured) {
            std::snprintf(lines.line, sizeof lines.line,
                          "cache: %" PRIu64 " bytes (%s) of the latest writes answered from it\n",
                          result->cache_bytes, cache);
        } else if (result->cache_at_most > 0) {
            char at_most[32];
            format_size(result->cache_at_most, at_most, sizeof at_most);
            bool same = std::strcmp(cache, at_most) == 0;
            std::snprintf(lines.line, sizeof lines.line,
                          "cache: between %" PRIu64 " and %" PRIu64
                          " bytes (%s%s%s) of the latest writes answered from it\n",
                          result->cache_bytes, result->cache_at_most, cache, same ? "" : " to ",
                          same ? "" : at_most);
        } else {
            std::snprintf(lines.line, sizeof lines.line,
                          "cache: not measured (it shows only where writes are lost)\n");
        }
        put_line(&lines);
        char gap[32];
        char witness[32];
        char stride[32];
        char fine[32];
        format_size(result->largest_gap, gap, sizeof gap);
        format_size(result->witness_bytes, witness, sizeof witness);
        format_size(result->scan_stride, stride, sizeof stride);
        format_size(result->fine_scan_end, fine, sizeof fine);
        if (result->witness_bytes > 0) {
            std::snprintf(lines.line, sizeof lines.line,
                          "looked: %" PRIu32 " places written and read back, at most %s apart;"
                          " the top %s written; read every 64.00 KiB up to %s and every %s"
                          " above\n",
                          result->places_sampled, gap, witness, fine, stride);
        } else {
            std::snprintf(lines.line, sizeof lines.line,
                          "looked: %" PRIu32 " places and the top sector written and read back,"
                          " at most %s apart\n",
                          result->places_sampled, gap);
        }
        put_line(&lines);
    }
    char rate[32];
    format_rate(bytes_per_second(result->bytes_written, result->write_seconds), rate, sizeof rate);
    std::snprintf(lines.line, sizeof lines.line,
                  "written: %" PRIu64 " bytes in %" PRIu64 " writes, %s\n", result->bytes_written,
                  result->writes, rate);
    put_line(&lines);
    format_rate(bytes_per_second(result->bytes_read, result->read_seconds), rate, sizeof rate);
    std::snprintf(lines.line, sizeof lines.line,
                  "read: %" PRIu64 " bytes in %" PRIu64 " reads, %s\n", result->bytes_read,
                  result->reads, rate);
    put_line(&lines);
    std::snprintf(lines.line, sizeof lines.line, "time: %.2f s\n",
                  result->write_seconds + result->read_seconds);
    put_line(&lines);
    if (backup[0] == '\0') {
        std::snprintf(lines.line, sizeof lines.line,
                      "data: not saved (--destructive): the sectors written hold the probe's data\n");
    } else if (result->restored) {
        std::snprintf(lines.line, sizeof lines.line,
                      "data: %" PRIu64 " bytes saved, all written back and read back as saved%s%s\n",
                      result->bytes_saved, backup_removed ? "; backup removed: " : "; backup kept: ",
                      backup);
    } else {
        std::snprintf(lines.line, sizeof lines.line,
                      "data: NOT all written back; the backup holds it: sprayl-check --restore %s %s\n",
                      backup, device);
    }
    put_line(&lines);
    uint64_t sectors = partition_sectors(result);
    if (!result->interrupted && result->past != past_nothing && sectors > 0) {
        std::snprintf(lines.line, sizeof lines.line,
                      "to use only its real storage, a new partition table with one partition of"
                      " %" PRIu64 " sectors (this erases the drive):\n"
                      "  printf 'label: dos\\nstart=2048, size=%" PRIu64 ", type=7\\n' | sudo sfdisk %s\n",
                      sectors, sectors, device);
        put_line(&lines);
    }
    const char* word = result->interrupted        ? "INCOMPLETE, stopped"
                       : result->past == past_nothing ? "genuine"
                                                      : "FAKE";
    std::snprintf(lines.line, sizeof lines.line, "result: %s\n", word);
    put_line(&lines);
}
