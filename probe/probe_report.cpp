#include "probe_report.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint64_t mebibyte = uint64_t{1} << 20;
// Ranges listed one by one; the rest are counted.
constexpr size_t listed_ranges = 10;

// What a probe that did not finish says, one row for each way it ends
// early: the verdict (why it stopped) and the word of the result line.
struct StoppedProbe {
    ProbeEnd end;
    const char* why;
    const char* word;
};

const StoppedProbe stopped_probes[] = {
    {probe_refused, "refused before it wrote anything", "INCOMPLETE, refused"},
    {probe_stopped_by_request, "stopped on request before an answer",
     "INCOMPLETE, stopped on request"},
    {probe_stopped_by_backup, "the backup failed, and the probe writes nothing it has not saved",
     "INCOMPLETE, stopped: the backup failed"},
    {probe_stopped_by_drive, "the drive failed a write, a flush or a read",
     "INCOMPLETE, stopped: the drive failed"},
};

const StoppedProbe* stopped_probe(ProbeEnd end) {
    for (const StoppedProbe& row : stopped_probes) {
        if (row.end == end) {
            return &row;
        }
    }
    return nullptr;
}

// Why a range is left, after "left: bytes A to B (N sectors): ".
const char* left_why(LeftKind kind) {
    switch (kind) {
    case left_probe_data:
        return "the probe's data is still there";
    case left_differs:
        return "it reads back other than saved";
    case left_damaged:
        return "its record in the backup is damaged: what it held is lost";
    case left_unreadable:
        return "the drive failed to read it back";
    case left_kind_count:
        break;
    }
    return "?";
}

void put_size_line(ReportLines* lines, const char* label, uint64_t bytes, uint32_t sector) {
    char size[32];
    format_size(bytes, size, sizeof size);
    std::snprintf(lines->line, sizeof lines->line,
                  "%s: %" PRIu64 " bytes (%s), %" PRIu64 " sectors of %" PRIu32 " bytes\n", label,
                  bytes, size, bytes / sector, sector);
    put_line(lines);
}

// "left: bytes A to B (N sectors): why", for the first ranges; then how
// many more there are.
void put_left_ranges(ReportLines* lines, const std::vector<LeftRange>* left, uint32_t sector) {
    for (size_t k = 0; k < left->size() && k < listed_ranges; ++k) {
        const LeftRange* range = &(*left)[k];
        std::snprintf(lines->line, sizeof lines->line,
                      "left: bytes %" PRIu64 " to %" PRIu64 " (%" PRIu64 " sectors): %s\n",
                      range->offset, range->offset + range->length, range->length / sector,
                      left_why(range->kind));
        put_line(lines);
    }
    if (left->size() > listed_ranges) {
        std::snprintf(lines->line, sizeof lines->line, "left: %zu more ranges\n",
                      left->size() - listed_ranges);
        put_line(lines);
    }
}

void put_cache_line(ReportLines* lines, const ProbeResult* result) {
    char cache[32];
    format_size(result->cache_bytes, cache, sizeof cache);
    if (result->cache_measured && result->cache_bytes == 0) {
        std::snprintf(lines->line, sizeof lines->line,
                      "cache: none (the latest write read back lost)\n");
    } else if (result->cache_measured) {
        std::snprintf(lines->line, sizeof lines->line,
                      "cache: %" PRIu64 " bytes (%s) of the latest writes answered from it\n",
                      result->cache_bytes, cache);
    } else if (result->cache_at_most > 0) {
        char at_most[32];
        format_size(result->cache_at_most, at_most, sizeof at_most);
        bool same = std::strcmp(cache, at_most) == 0;
        std::snprintf(lines->line, sizeof lines->line,
                      "cache: between %" PRIu64 " and %" PRIu64
                      " bytes (%s%s%s) of the latest writes answered from it\n",
                      result->cache_bytes, result->cache_at_most, cache, same ? "" : " to ",
                      same ? "" : at_most);
    } else {
        std::snprintf(lines->line, sizeof lines->line,
                      "cache: not measured (it shows only where writes are lost)\n");
    }
    put_line(lines);
}

void put_looked_line(ReportLines* lines, const ProbeResult* result) {
    char gap[32];
    char witness[32];
    char stride[32];
    char fine[32];
    format_size(result->largest_gap, gap, sizeof gap);
    format_size(result->witness_bytes, witness, sizeof witness);
    format_size(result->scan_stride, stride, sizeof stride);
    format_size(result->fine_scan_end, fine, sizeof fine);
    if (result->witness_bytes > 0) {
        std::snprintf(lines->line, sizeof lines->line,
                      "looked: %" PRIu32 " places written and read back, at most %s apart;"
                      " the top %s written; read every 64.00 KiB up to %s and every %s"
                      " above\n",
                      result->places_sampled, gap, witness, fine, stride);
    } else {
        std::snprintf(lines->line, sizeof lines->line,
                      "looked: %" PRIu32 " places and the top sector written and read back,"
                      " at most %s apart\n",
                      result->places_sampled, gap);
    }
    put_line(lines);
}

// What a finished probe found: the real capacity and how it knows.
void put_findings(ReportLines* lines, const ProbeResult* result, uint32_t sector) {
    put_size_line(lines, "real", result->capacity, sector);
    if (result->unstable) {
        put_size_line(lines, "second look", result->second_capacity, sector);
        std::snprintf(lines->line, sizeof lines->line,
                      "unstable: byte %" PRIu64 " read back otherwise than the first look found\n",
                      result->disagreed_at);
        put_line(lines);
    }
    std::snprintf(lines->line, sizeof lines->line, "past it: %s\n",
                  past_capacity_name(result->past));
    put_line(lines);
    if (result->past == past_wraps) {
        std::snprintf(lines->line, sizeof lines->line,
                      "wraps: address a and a + %" PRIu64 " reach the same storage, from"
                      " address %" PRIu64 " up\n",
                      result->wrap_distance, result->low_area);
        put_line(lines);
    }
    put_cache_line(lines, result);
    put_looked_line(lines, result);
}

void put_work_lines(ReportLines* lines, const ProbeResult* result, bool restored_at_end) {
    char rate[32];
    format_rate(bytes_per_second(result->bytes_written, result->write_seconds), rate, sizeof rate);
    std::snprintf(lines->line, sizeof lines->line,
                  "written: %" PRIu64 " bytes in %" PRIu64 " writes, %s\n", result->bytes_written,
                  result->writes, rate);
    put_line(lines);
    format_rate(bytes_per_second(result->bytes_read, result->read_seconds), rate, sizeof rate);
    std::snprintf(lines->line, sizeof lines->line,
                  "read: %" PRIu64 " bytes in %" PRIu64 " reads, %s\n", result->bytes_read,
                  result->reads, rate);
    put_line(lines);
    if (restored_at_end) {
        std::snprintf(lines->line, sizeof lines->line,
                      "time: %.2f s, of which the restore %.2f s\n", result->seconds,
                      result->restore.seconds);
    } else {
        std::snprintf(lines->line, sizeof lines->line, "time: %.2f s\n", result->seconds);
    }
    put_line(lines);
}

void put_data_lines(ReportLines* lines, const ProbeResult* result, const char* device,
                    const char* backup, bool backup_removed, uint32_t sector) {
    if (backup[0] == '\0') {
        std::snprintf(
            lines->line, sizeof lines->line,
            "data: not saved (--destructive): the sectors written hold the probe's data\n");
    } else if (result->restored) {
        std::snprintf(lines->line, sizeof lines->line,
                      "data: %" PRIu64 " bytes saved, all written back and read back as saved,"
                      " none of the probe's data left; backup %s: %s\n",
                      result->bytes_saved, backup_removed ? "removed" : "kept", backup);
    } else {
        std::snprintf(lines->line, sizeof lines->line,
                      "data: NOT all written back%s; backup kept: %s; put it back with"
                      " sprayl-check --restore %s %s\n",
                      result->restore.device_failed ? " (the drive failed)" : "", backup, backup,
                      device);
    }
    put_line(lines);
    put_left_ranges(lines, &result->restore.left, sector);
}

// Each whole line of text, as it is.
void put_given_lines(ReportLines* lines, const char* text) {
    for (const char* end; (end = std::strchr(text, '\n')) != nullptr; text = end + 1) {
        std::snprintf(lines->line, sizeof lines->line, "%.*s\n", static_cast<int>(end - text),
                      text);
        put_line(lines);
    }
}

} // namespace

DriveVerdict probe_drive_verdict(const ProbeResult* result) {
    DriveVerdict verdict = {};
    verdict.finding = result->past == past_nothing ? drive_holds_all : drive_holds_less;
    verdict.claims = result->claimed_bytes;
    verdict.holds = result->capacity;
    verdict.holds_at_most = result->capacity;
    verdict.past = result->past;
    verdict.wrap = result->wrap_distance;
    verdict.low_area = result->low_area;
    return verdict;
}

void format_probe_verdict(const ProbeResult* result, char* text, size_t capacity) {
    const StoppedProbe* stopped = stopped_probe(result->end);
    if (stopped != nullptr) {
        std::snprintf(text, capacity,
                      "not probed to the end: %s; what the drive really holds is not known",
                      stopped->why);
        return;
    }
    if (result->unstable) {
        char claims[32], first[32], second[32];
        format_size(result->claimed_bytes, claims, sizeof claims);
        format_size(result->capacity, first, sizeof first);
        format_size(result->second_capacity, second, sizeof second);
        std::snprintf(text, capacity,
                      "the drive does not hold the same from one look to the next: of the %s it"
                      " claims, the first look found %s, the second %s",
                      claims, first, second);
        return;
    }
    DriveVerdict verdict = probe_drive_verdict(result);
    format_drive_verdict(&verdict, text, capacity);
}

const char* probe_result_word(const ProbeResult* result) {
    const StoppedProbe* stopped = stopped_probe(result->end);
    if (stopped != nullptr) {
        return stopped->word;
    }
    if (result->unstable) {
        return "UNSTABLE";
    }
    return result->past == past_nothing ? "genuine" : "FAKE";
}

PartitionAdvice partition_advice(const ProbeResult* result) {
    uint64_t sector = result->sector_size;
    uint64_t end = result->capacity / mebibyte * mebibyte;
    if (sector == 0 || mebibyte % sector != 0 || end <= mebibyte) {
        return {0, 0};
    }
    return {mebibyte / sector, (end - mebibyte) / sector};
}

void write_probe_report(const ProbeResult* result, const char* device, const char* backup,
                        bool backup_removed, ReportWriter write, void* context,
                        const char* drive_lines) {
    ReportLines lines = {write, context, ""};
    char verdict[512];
    format_probe_verdict(result, verdict, sizeof verdict);
    std::snprintf(lines.line, sizeof lines.line, "verdict: %s\n", verdict);
    put_line(&lines);
    uint32_t sector = result->sector_size > 0 ? result->sector_size : 512;
    put_size_line(&lines, "claimed", result->claimed_bytes, sector);
    put_given_lines(&lines, drive_lines);
    bool finished = result->end == probe_finished;
    if (finished) {
        put_findings(&lines, result, sector);
    } else {
        std::snprintf(lines.line, sizeof lines.line, "stopped: %s\n", result->stop_reason);
        put_line(&lines);
    }
    put_work_lines(&lines, result, backup[0] != '\0');
    put_data_lines(&lines, result, device, backup, backup_removed, sector);
    PartitionAdvice partition = partition_advice(result);
    if (finished && result->past != past_nothing && !result->unstable && partition.sectors > 0) {
        std::snprintf(lines.line, sizeof lines.line,
                      "to use only its real storage, a new partition table with one partition of"
                      " %" PRIu64 " sectors of %" PRIu32 " bytes (this erases the drive):\n"
                      "  printf 'label: dos\\nstart=%" PRIu64 ", size=%" PRIu64
                      ", type=7\\n' | sudo sfdisk %s\n",
                      partition.sectors, result->sector_size, partition.start, partition.sectors,
                      device);
        put_line(&lines);
    }
    std::snprintf(lines.line, sizeof lines.line, "result: %s\n", probe_result_word(result));
    put_line(&lines);
}

namespace {

// What a backup says of its wholeness, one row for each way it can read.
struct Wholeness {
    BackupWholeness wholeness;
    const char* text;
};

const Wholeness wholeness_texts[] = {
    {backup_closed, "closed: the probe finished writing to the drive, and every record is here"},
    {backup_open, "not closed: the probe was stopped before it finished writing (a kill, a power"
                  " failure); every record flushed before a write to the drive is here"},
    {backup_cut_short,
     "CUT SHORT: it ends before the length it had flushed before writing to the drive"},
    {backup_unproven, "it cannot show that it is whole: its flushed length is damaged, and it has"
                      " no closing record"},
};

// The restore's verdicts and the word of the result line.
struct RestoreWord {
    RestoreVerdict verdict;
    const char* word;
};

const RestoreWord restore_words[] = {
    {restored_all, "restored"},
    {restored_all_it_names, "restored as far as the backup shows"},
    {restored_partly, "NOT ALL RESTORED"},
    {restore_failed, "NOT RESTORED, the drive failed"},
};

// "backup: version V, N records; whether it shows it is whole".
void put_wholeness_line(ReportLines* lines, const BackupContents* backup) {
    const char* text = "?";
    for (const Wholeness& row : wholeness_texts) {
        text = row.wholeness == backup->wholeness ? row.text : text;
    }
    if (backup->header.version == 1) {
        text = "it cannot show that it is whole: a backup of version 1 has no record numbers and"
               " no closing record";
    }
    std::snprintf(lines->line, sizeof lines->line,
                  "backup: version %" PRIu32 ", %" PRIu32 " records; %s\n", backup->header.version,
                  backup->records, text);
    put_line(lines);
}

// "missing: records N to M, bytes A to B of the backup: ...".
void put_missing_line(ReportLines* lines, const UnreadableStretch* stretch) {
    char records[64];
    if (stretch->records > 0) {
        std::snprintf(records, sizeof records, "records %" PRIu32 " to %" PRIu32,
                      stretch->first_record, stretch->first_record + stretch->records - 1);
    } else {
        std::snprintf(records, sizeof records, "records from %" PRIu32 " on",
                      stretch->first_record);
    }
    char bytes[96] = "";
    if (stretch->bytes > 0) {
        std::snprintf(bytes, sizeof bytes, ", bytes %" PRIu64 " to %" PRIu64 " of the backup",
                      stretch->at, stretch->at + stretch->bytes);
    }
    std::snprintf(lines->line, sizeof lines->line,
                  "missing: %s%s: the places they saved are not known, and may hold the"
                  " probe's data\n",
                  records, bytes);
    put_line(lines);
}

// "label: N more what", after the first listed_ranges of count.
void put_more_line(ReportLines* lines, const char* label, size_t count, const char* what) {
    if (count > listed_ranges) {
        std::snprintf(lines->line, sizeof lines->line, "%s: %zu more %s\n", label,
                      count - listed_ranges, what);
        put_line(lines);
    }
}

void put_backup_lines(ReportLines* lines, const BackupContents* backup) {
    put_wholeness_line(lines, backup);
    for (size_t k = 0; k < backup->damaged.size() && k < listed_ranges; ++k) {
        const DamagedRecord* record = &backup->damaged[k];
        std::snprintf(lines->line, sizeof lines->line,
                      "damaged: record %" PRIu32 ", of bytes %" PRIu64 " to %" PRIu64
                      " of the drive: its saved data is damaged\n",
                      record->number, record->offset, record->offset + record->length);
        put_line(lines);
    }
    put_more_line(lines, "damaged", backup->damaged.size(), "records");
    for (size_t k = 0; k < backup->unreadable.size() && k < listed_ranges; ++k) {
        put_missing_line(lines, &backup->unreadable[k]);
    }
    put_more_line(lines, "missing", backup->unreadable.size(), "stretches");
}

} // namespace

const char* restore_result_word(RestoreVerdict verdict) {
    for (const RestoreWord& row : restore_words) {
        if (row.verdict == verdict) {
            return row.word;
        }
    }
    return "?";
}

void write_restore_report(const BackupContents* backup, const RestoreOutcome* outcome,
                          const char* backup_path, bool backup_removed, ReportWriter write,
                          void* context) {
    ReportLines lines = {write, context, ""};
    put_backup_lines(&lines, backup);
    std::snprintf(lines.line, sizeof lines.line,
                  "restored: %" PRIu64 " sectors written back, %" PRIu64
                  " holding the probe's own data left out, %" PRIu64 " read back otherwise\n",
                  outcome->sectors_written, outcome->sectors_skipped, outcome->sectors_differing);
    put_line(&lines);
    put_left_ranges(&lines, &outcome->left, backup->header.sector_size);
    std::snprintf(lines.line, sizeof lines.line, "data: backup %s: %s\n",
                  backup_removed ? "removed" : "kept", backup_path);
    put_line(&lines);
    std::snprintf(lines.line, sizeof lines.line, "result: %s\n",
                  restore_result_word(restore_verdict(backup, outcome)));
    put_line(&lines);
}
