#include "fill_report.h"

#include "damage_kinds.h"
#include "input_report.h"
#include "printf_format.h"
#include "report_text.h"

#include <cinttypes>
#include <cstdarg>
#include <cstring>

namespace {

// Adds a finding to the verdict, after those before it.
void add_finding(char* verdict, size_t capacity, const char* format, ...) PRINTF_FORMAT(3, 4);

void add_finding(char* verdict, size_t capacity, const char* format, ...) {
    size_t used = std::strlen(verdict);
    if (used > 0 && used + 2 < capacity) {
        std::memcpy(verdict + used, "; ", 3);
        used += 2;
    }
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(verdict + used, capacity - used, format, arguments);
    va_end(arguments);
}

// The first input of a kind, and how many there are.
struct Named {
    uint32_t count;
    size_t first;
};

void note(Named* named, size_t i) {
    if (named->count++ == 0) {
        named->first = i;
    }
}

// "sprayl-00004.bin is missing", or "... and 2 more files are missing".
void add_named(char* verdict, size_t capacity, const InputList* list, const Named& named,
               const char* one, const char* several) {
    if (named.count == 0) {
        return;
    }
    char name[4096];
    input_display_name(list, named.first, name, sizeof name);
    if (named.count == 1) {
        add_finding(verdict, capacity, "%s %s", name, one);
    } else {
        add_finding(verdict, capacity, "%s and %" PRIu32 " more files %s", name, named.count - 1,
                    several);
    }
}

struct Tally {
    Named missing, short_files, longer, outside, not_read;
    uint64_t gap_bytes; // recorded bytes that were not there to read
};

void tally_files(const InputList* list, Tally* tally) {
    *tally = {};
    for (size_t i = 0; i < list->count; ++i) {
        uint64_t recorded = recorded_size(list, i);
        bool missing = list->methods[i] == read_missing;
        if (list->standings[i] == file_outside) {
            if (!missing) {
                note(&tally->outside, i);
            }
        } else if (list->standings[i] == file_not_read) {
            note(&tally->not_read, i);
        } else if (missing) {
            note(&tally->missing, i);
            tally->gap_bytes += recorded;
        } else if (recorded != 0 && list->sizes[i] < recorded) {
            note(&tally->short_files, i);
            tally->gap_bytes += recorded - list->sizes[i];
        } else if (recorded != 0 && list->sizes[i] > recorded) {
            note(&tally->longer, i);
        }
    }
}

void add_file_findings(char* verdict, size_t capacity, const InputList* list, const Tally& tally) {
    char amount[64] = "";
    if (tally.short_files.count == 1) {
        size_t i = tally.short_files.first;
        std::snprintf(amount, sizeof amount, "is %" PRIu64 " bytes short",
                      recorded_size(list, i) - list->sizes[i]);
    }
    add_named(verdict, capacity, list, tally.not_read, "was not read (whole): not checked",
              "were not read (whole): not checked");
    add_named(verdict, capacity, list, tally.missing, "is missing", "are missing");
    add_named(verdict, capacity, list, tally.short_files, amount, "are short");
    add_named(verdict, capacity, list, tally.longer,
              "is longer than the fill wrote it: its bytes past that are not checked",
              "are longer than the fill wrote them: their bytes past that are not checked");
    char outside[128];
    std::snprintf(outside, sizeof outside,
                  "not part of the fill (its record lists %" PRIu32 " files): not checked",
                  record_file_count(&list->record));
    char one[160];
    char several[160];
    std::snprintf(one, sizeof one, "is %s", outside);
    std::snprintf(several, sizeof several, "are %s", outside);
    add_named(verdict, capacity, list, tally.outside, one, several);
}

// What the data read says, after the directory's findings.
void add_data_part(char* verdict, size_t capacity, const CheckResult* result, uint64_t gap_bytes,
                   const char* data_verdict) {
    bool other_damage = bytes_damaged(result) > gap_bytes || result->slip_count > 0;
    if (other_damage && gap_bytes == 0) {
        add_finding(verdict, capacity, "%s", data_verdict);
    } else if (other_damage) {
        add_finding(verdict, capacity, "the files that are there hold damage as well (below)");
    } else if (result->possibly_from_memory) {
        add_finding(verdict, capacity,
                    "the bytes read are where they belong, but may have come from memory");
    } else {
        add_finding(verdict, capacity, "the bytes read are intact");
    }
}

// The outcome and the result line that the directory's findings make.
void set_result(DirectoryReport* report, RunOutcome outcome, const char* why) {
    report->outcome = outcome;
    if (outcome == run_damaged) {
        std::snprintf(report->result, sizeof report->result, "DAMAGED");
    } else {
        std::snprintf(report->result, sizeof report->result, "UNCONFIRMED, %s", why);
    }
}

} // namespace

uint64_t coverage_tolerance(uint64_t room, uint64_t files) {
    // A fill that runs until the file system is full ends short of the
    // free space statvfs gave at its start by what the file system takes
    // for its own: extent and directory blocks, block remainders. Measured
    // (sprayl-check --fill, each on a fresh file system): ext4 of 128 MiB
    // (1 KiB blocks) 0.49 to 0.88 MiB short with 1 GiB, 1 MiB or 64 KiB
    // files; ext4 of 1 GiB 0.20 to 0.39 MiB; exFAT of 128 MiB 0.11 MiB with
    // 1 GiB or 1 MiB files, 0.30 MiB with 64 KiB files (2011 of them); exFAT
    // of 1 GiB 0.03 to 0.16 MiB. Allowed: 1 MiB, a 256th of the room, and
    // 256 bytes a file; root, who may write into the blocks reserved for
    // it, ends past the free space instead.
    return (uint64_t{1} << 20) + room / 256 + 256 * files;
}

Coverage coverage_of(const FillRecord* record) {
    Coverage coverage = {};
    coverage.known = true;
    coverage.tested = record_bytes(record);
    coverage.room = record->bytes_there + record->free_bytes;
    coverage.short_of_room =
        coverage.tested + coverage_tolerance(coverage.room, record_file_count(record)) <
        coverage.room;
    return coverage;
}

void judge_directory(const InputList* list, const StreamCheck* check, RunOutcome check_outcome,
                     const char* data_verdict, DirectoryReport* report) {
    std::memset(report, 0, sizeof *report);
    report->outcome = check_outcome;
    if (list->directory == nullptr) {
        return;
    }
    report->applies = true;
    bool recorded = list->record_state == record_read;
    Tally tally;
    tally_files(list, &tally);
    report->missing = tally.missing.count;
    report->short_files = tally.short_files.count;
    report->longer_files = tally.longer.count;
    report->outside = tally.outside.count;
    report->not_read = tally.not_read.count;
    size_t last = list->count - 1;
    report->last_unvouched = !recorded && list->count > 0 && list->methods[last] != read_missing &&
                             list->standings[last] == file_in_stream;
    if (recorded) {
        report->coverage = coverage_of(&list->record);
    }
    bool stopped_early = recorded && list->record.end == fill_stopped_early;
    char* verdict = report->verdict;
    size_t capacity = sizeof report->verdict;
    add_file_findings(verdict, capacity, list, tally);
    if (report->last_unvouched && check_outcome == run_intact) {
        char name[4096];
        input_display_name(list, last, name, sizeof name);
        add_finding(verdict, capacity,
                    "with no fill record, nothing tells whether %s, the last file, was cut short",
                    name);
    }
    // Where the data read holds damage, that is the verdict's subject; a
    // fill cut short by it covers less, and says so in its lines.
    bool no_damage = check_outcome == run_intact || check_outcome == run_unconfirmed;
    const Coverage& coverage = report->coverage;
    if (coverage.short_of_room && no_damage && !stopped_early) {
        char tested[32];
        char room[32];
        format_size(coverage.tested, tested, sizeof tested);
        format_size(coverage.room, room, sizeof room);
        add_finding(verdict, capacity,
                    "tested %" PRIu64 " of %" PRIu64 " bytes (%s of %s, %.2f%%): the fill ended"
                    " short of the free room%s%s",
                    coverage.tested, coverage.room, tested, room,
                    100.0 * static_cast<double>(coverage.tested) /
                        static_cast<double>(coverage.room),
                    list->record.end_reason[0] != '\0' ? ": " : "", list->record.end_reason);
    }
    if (stopped_early && no_damage) {
        add_finding(verdict, capacity, "the fill stopped early: %s", list->record.end_reason);
    }
    if (verdict[0] != '\0') {
        add_data_part(verdict, capacity, &check->result, tally.gap_bytes, data_verdict);
    }
    if (no_damage && (tally.missing.count > 0 || tally.short_files.count > 0 || stopped_early)) {
        set_result(report, run_damaged, "");
    } else if (check_outcome == run_intact && coverage.short_of_room) {
        set_result(report, run_unconfirmed, "not all of the free room was tested");
    } else if (check_outcome == run_intact && (tally.outside.count > 0 || tally.longer.count > 0)) {
        set_result(report, run_unconfirmed, "the directory holds bytes the fill did not write");
    } else if (check_outcome == run_intact && report->last_unvouched) {
        set_result(report, run_unconfirmed, "the last file's length cannot be confirmed");
    }
}

void print_directory_lines(std::FILE* out, const InputList* list, const DirectoryReport* report) {
    if (!report->applies) {
        return;
    }
    if (list->record_state != record_read) {
        std::fprintf(out, "fill record: none (a fill made before fills kept one, or it was"
                          " removed)\n");
        return;
    }
    const FillRecord& record = list->record;
    char bytes[32];
    format_size(record_bytes(&record), bytes, sizeof bytes);
    std::fprintf(out, "fill record: %" PRIu32 " files, %" PRIu64 " bytes (%s), %s%s%s\n",
                 record_file_count(&record), record_bytes(&record), bytes,
                 fill_end_words[record.end], record.end_reason[0] != '\0' ? ": " : "",
                 record.end_reason);
    const Coverage& coverage = report->coverage;
    double share = coverage.room > 0 ? 100.0 * static_cast<double>(coverage.tested) /
                                           static_cast<double>(coverage.room)
                                     : 100.0;
    std::fprintf(out,
                 "tested: %" PRIu64 " of %" PRIu64 " bytes free at the fill's start (%.2f%%)%s\n",
                 coverage.tested, coverage.room, share,
                 coverage.short_of_room ? ": NOT ALL OF THE DRIVE WAS TESTED" : "");
}

void explain_finding(std::FILE* out, const FillOutcome* outcome, const char* directory,
                     bool keep_going) {
    const SampleFinding& finding = outcome->finding;
    Stretch stretch = {finding.file_offset, finding.file_offset + 1, finding.kind, finding.source,
                       0};
    char what[128];
    damage_kinds[finding.kind].describe(stretch, what, sizeof what);
    char path[4096];
    fill_file_path(directory, finding.file, path, sizeof path);
    std::fprintf(out,
                 "sprayl-check: the drive did not keep what it was given: read back, %s at"
                 " offset %" PRIu64 " is %s (%s)%s\n",
                 path, finding.file_offset, damage_kinds[finding.kind].name, what,
                 keep_going ? "; writing goes on (--keep-going)"
                 : outcome->stopped_early
                     ? "; writing stops here, and every file written is checked"
                     : "");
}
