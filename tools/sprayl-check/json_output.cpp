#include "json_output.h"

#include "input_report.h"
#include "json_report.h"
#include "sprayl_version.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// What lies past the capacity, in a word for programs: one row each.
struct PastWord {
    PastCapacity past;
    const char* word;
};

const PastWord past_words[] = {
    {past_nothing, "nothing"},
    {past_wraps, "wraps"},
    {past_zeros, "zeros"},
    {past_ones, "ones"},
    {past_old_data, "old_data"},
    {past_other_data, "other_data"},
    {past_read_errors, "read_errors"},
    {past_other_run, "other_run"},
    {past_read_only, "read_only"},
    {past_gone, "gone"},
};

const char* const mode_names[run_mode_count] = {"stream", "files", "directory",
                                                "fill",   "probe", "speed"};

// The tokens that every document begins with, as write_run_json and
// write_version make it; "#" stands for a number.
const char* const document_start[] = {
    "{", "\"version\"", ":",           "{", "\"schema\"",      ":",
    "#", ",",           "\"program\"", ":", "\"sprayl-check ",
};

// Takes whitespace, then token, from text[*at..length); false when the
// text holds something else there.
bool take_token(const char* text, size_t length, size_t* at, const char* token) {
    while (*at < length && text[*at] != '\0' && std::strchr(" \t\r\n", text[*at]) != nullptr) {
        ++*at;
    }
    if (std::strcmp(token, "#") == 0) {
        size_t digits = *at;
        while (*at < length && text[*at] >= '0' && text[*at] <= '9') {
            ++*at;
        }
        return *at > digits;
    }
    size_t token_length = std::strlen(token);
    if (length - *at < token_length || std::memcmp(text + *at, token, token_length) != 0) {
        return false;
    }
    *at += token_length;
    return true;
}

void write_version(JsonText* json) {
    json_begin_object(json, "version");
    json_uint(json, "schema", json_schema_version);
    json_string(json, "program", "sprayl-check " SPRAYL_VERSION);
    json_end_object(json);
}

// What the drive holds where the fill found it holds less than it claims,
// in the probe's words: "capacity", "capacity_at_most", "past_capacity"
// and "cache" (the latest writes that reads answered from a cache); null
// where it did not.
void write_fill_capacity(JsonText* json, const DriveVerdict* capacity) {
    if (capacity == nullptr || capacity->finding != drive_holds_less) {
        json_null(json, "capacity");
        json_null(json, "capacity_at_most");
        json_null(json, "past_capacity");
        json_null(json, "cache");
        return;
    }
    json_uint(json, "capacity", capacity->holds);
    json_uint_or_null(json, "capacity_at_most", capacity->holds_at_most > capacity->holds,
                      capacity->holds_at_most);
    json_string(json, "past_capacity", past_word(capacity->past));
    if (capacity->cache == 0) {
        json_null(json, "cache");
        return;
    }
    json_begin_object(json, "cache");
    json_uint(json, "bytes", capacity->cache);
    json_end_object(json);
}

void write_fill(JsonText* json, const RunRecord* run) {
    if (run->fill == nullptr) {
        json_null(json, "fill");
        return;
    }
    json_begin_object(json, "fill");
    json_string(json, "directory", run->fill_directory);
    json_uint(json, "bytes_written", run->fill->bytes);
    json_uint(json, "files", run->fill->files);
    json_decimal(json, "seconds", run->fill->seconds);
    json_bool(json, "interrupted", run->fill->interrupted);
    json_string_or_null(json, "why_it_ended", run->fill->why);
    json_string_or_null(json, "drive_verdict", run->drive_verdict);
    write_fill_capacity(json, run->capacity);
    json_end_object(json);
}

void write_record(JsonText* json, const RunRecord* run) {
    const FillRecord* record = run->record;
    if (record == nullptr) {
        json_null(json, "fill_record");
        return;
    }
    char run_text[2 * header_bytes + 1];
    for (uint32_t i = 0; i < header_bytes; ++i) {
        std::snprintf(run_text + 2 * i, 3, "%02x", record->run[i]);
    }
    json_begin_object(json, "fill_record");
    json_string(json, "run", run_text);
    json_uint(json, "largest_file", record->file_size);
    json_uint(json, "drive_size", record->drive_bytes);
    json_uint(json, "fill_bytes_at_start", record->bytes_there);
    json_uint(json, "free_bytes_at_start", record->free_bytes);
    if (record->free_files == no_file_limit) {
        json_null(json, "free_files_at_start");
    } else {
        json_uint(json, "free_files_at_start", record->free_files);
    }
    json_uint(json, "files", record_file_count(record));
    json_uint(json, "bytes_written", record_bytes(record));
    json_string(json, "outcome", fill_end_words[record->end]);
    json_string(json, "why", record->end_reason);
    json_end_object(json);
}

void write_coverage(JsonText* json, const RunRecord* run) {
    if (run->record == nullptr) {
        json_null(json, "coverage");
        return;
    }
    Coverage coverage = coverage_of(run->record);
    json_begin_object(json, "coverage");
    json_uint(json, "tested", coverage.tested);
    json_uint(json, "room", coverage.room);
    json_decimal(json, "share",
                 coverage.room > 0
                     ? static_cast<double>(coverage.tested) / static_cast<double>(coverage.room)
                     : 1.0);
    json_bool(json, "short_of_room", coverage.short_of_room);
    json_end_object(json);
}

void write_file_entry(JsonText* json, const InputList* list, size_t i, const StreamCheck* check) {
    char path[4096];
    char name[4096];
    char verdict[256];
    DamageTotals totals;
    input_path(list, i, path, sizeof path);
    input_display_name(list, i, name, sizeof name);
    const char* word = input_verdict(list, i, check, &totals, verdict, sizeof verdict);
    ReadMethod method = static_cast<ReadMethod>(list->methods[i]);
    json_begin_object(json, nullptr);
    json_string(json, "name", name);
    json_string(json, "path", path);
    json_uint(json, "start", list->starts[i]);
    json_uint(json, "end", list->starts[i + 1]);
    json_string(json, "read", read_method_name(method));
    json_string(json, "read_text", read_method_text(method));
    json_string(json, "verdict", word);
    json_string(json, "verdict_text", verdict);
    write_totals_json(json, "damage", &totals);
    json_end_object(json);
}

void write_inputs(JsonText* json, const RunRecord* run) {
    const InputList* list = run->inputs;
    json_begin_object(json, "inputs");
    json_uint(json, "read_limit", list->read_limit);
    json_bool(json, "went_on", list->went_on);
    json_uint(json, "missing_files", missing_inputs(list));
    json_begin_array(json, "files");
    // Each file's part of the stream is known once the check has read it.
    for (size_t i = 0; run->check != nullptr && i < list->count; ++i) {
        write_file_entry(json, list, i, run->check);
    }
    json_end_array(json);
    json_end_object(json);
}

void write_rate_entry(JsonText* json, uint64_t start, uint64_t end, uint64_t bytes,
                      double seconds) {
    json_begin_object(json, nullptr);
    json_uint(json, "start", start);
    json_uint(json, "end", end);
    json_uint(json, "bytes", bytes);
    json_decimal(json, "seconds", seconds);
    json_uint(json, "bytes_per_second", static_cast<uint64_t>(bytes_per_second(bytes, seconds)));
    json_end_object(json);
}

void write_profile_json(JsonText* json, const char* key, const RateTable* table) {
    if (table == nullptr || table->count == 0) {
        json_null(json, key);
        return;
    }
    json_begin_object(json, key);
    json_uint(json, "stretch_bytes", table->stretch_bytes);
    json_begin_array(json, "stretches");
    for (uint32_t i = 0; i < table->count; ++i) {
        write_rate_entry(json, stretch_start(table, i), stretch_end(table, i), table->bytes[i],
                         table->seconds[i]);
    }
    json_end_array(json);
    std::vector<RateSpan> spans(rate_stretches);
    uint32_t count = steady_spans(table, spans.data(), rate_stretches);
    json_begin_array(json, "steady");
    for (uint32_t i = 0; i < count; ++i) {
        write_rate_entry(json, spans[i].start, spans[i].end, spans[i].bytes, spans[i].seconds);
    }
    json_end_array(json);
    uint32_t slowest = slowest_stretch(table);
    if (slowest == table->count) {
        json_null(json, "slowest");
    } else {
        json_uint(json, "slowest", slowest);
    }
    json_uint(json, "stall_count", table->stall_count);
    json_begin_array(json, "stalls");
    uint64_t kept = table->stall_count < kept_stalls ? table->stall_count : kept_stalls;
    for (uint64_t i = 0; i < kept; ++i) {
        json_begin_object(json, nullptr);
        json_uint(json, "offset", table->stalls[i].offset);
        json_decimal(json, "seconds", table->stalls[i].seconds);
        json_end_object(json);
    }
    json_end_array(json);
    json_end_object(json);
}

// A figure, or null where it was not measured.
void write_figure(JsonText* json, const char* key, double value) {
    if (value < 0) {
        json_null(json, key);
    } else {
        json_decimal(json, key, value);
    }
}

void write_speed_figures(JsonText* json, const SpeedRecord* speed) {
    const SpeedFigures* figures = speed->figures;
    json_begin_object(json, "speed");
    json_uint(json, "bytes", speed->bytes);
    json_bool(json, "around_cache", speed->around_cache);
    write_figure(json, "sequential_write_bytes_per_second", figures->sustained_write);
    write_figure(json, "sequential_read_bytes_per_second", figures->sequential_read);
    write_figure(json, "random_read_iops", figures->random_read_iops);
    write_figure(json, "random_write_iops", figures->random_write_iops);
    json_uint(json, "deep_queue", speed->deep_queue);
    write_figure(json, "deep_read_iops", figures->deep_read_iops);
    write_figure(json, "deep_write_iops", figures->deep_write_iops);
    json_begin_object(json, "cliff");
    json_bool(json, "found", speed->cliff->found);
    json_uint(json, "offset", speed->cliff->offset);
    write_figure(json, "before_bytes_per_second", speed->cliff->rate_before);
    write_figure(json, "after_bytes_per_second", speed->cliff->rate_after);
    json_end_object(json);
    static const char* const answers[] = {"yes", "no", "unmeasured"};
    json_begin_object(json, "classes");
    for (const SpeedClass& row : speed_classes) {
        json_string(json, row.name, answers[judge_class(&row, figures)]);
    }
    json_end_object(json);
    json_end_object(json);
}

void write_claims(JsonText* json, const SpeedRecord* speed) {
    json_begin_array(json, "claims");
    for (size_t i = 0; speed->claims != nullptr && i < speed->claims->count; ++i) {
        const SpeedClass* row = speed->claims->claims[i];
        json_begin_object(json, nullptr);
        json_string(json, "class", row->name);
        json_bool(json, "met",
                  speed->figures != nullptr && judge_class(row, speed->figures) == class_met);
        json_end_object(json);
    }
    json_end_array(json);
}

} // namespace

void write_run_head(JsonText* json, RunMode mode, RunOutcome outcome, const char* verdict,
                    const char* error) {
    write_version(json);
    json_string(json, "mode", mode_names[mode]);
    json_string(json, "result", run_outcome_word(outcome));
    json_int(json, "exit_code", run_exit_code(outcome));
    json_string_or_null(json, "verdict", verdict);
    json_string_or_null(json, "error", error);
}

void write_check_members_absent(JsonText* json) {
    const char* const absent[] = {"fill", "fill_record", "coverage", "check"};
    for (const char* key : absent) {
        json_null(json, key);
    }
    json_begin_object(json, "inputs");
    json_uint(json, "read_limit", 0);
    json_bool(json, "went_on", false);
    json_uint(json, "missing_files", 0);
    json_begin_array(json, "files");
    json_end_array(json);
    json_end_object(json);
    json_begin_object(json, "rates");
    json_null(json, "write");
    json_null(json, "read");
    json_end_object(json);
}

void write_speed_json(const SpeedRecord* speed, TextWriter write, void* context) {
    JsonText json;
    json_start(&json, write, context);
    json_begin_object(&json, nullptr);
    write_run_head(&json, mode_speed, speed->outcome, nullptr, speed->error);
    json_string(&json, "directory", speed->directory);
    if (speed->figures == nullptr) {
        json_null(&json, "speed");
    } else {
        write_speed_figures(&json, speed);
    }
    write_claims(&json, speed);
    json_begin_object(&json, "rates");
    write_profile_json(&json, "write", speed->write_rates);
    write_profile_json(&json, "read", speed->read_rates);
    json_end_object(&json);
    json_end_object(&json);
}

void write_run_json(const RunRecord* run, TextWriter write, void* context) {
    JsonText json;
    json_start(&json, write, context);
    json_begin_object(&json, nullptr);
    const RunVerdict* verdict = run->verdict;
    write_run_head(&json, run->mode, verdict->outcome,
                   verdict->checked ? verdict->verdict : nullptr, verdict->error);
    write_fill(&json, run);
    write_record(&json, run);
    write_coverage(&json, run);
    if (run->check == nullptr) {
        json_null(&json, "check");
    } else {
        json_begin_object(&json, "check");
        write_result_json(&json, &run->check->result);
        json_end_object(&json);
    }
    write_inputs(&json, run);
    json_begin_object(&json, "rates");
    write_profile_json(&json, "write", run->write_rates);
    write_profile_json(&json, "read", run->read_rates);
    json_end_object(&json);
    if (run->drive != nullptr) {
        write_identity_json(&json, "drive", run->drive, run->today);
    } else {
        json_null(&json, "drive");
    }
    json_null(&json, "probe");
    json_end_object(&json);
}

bool is_run_json(const char* start, size_t length) {
    size_t at = 0;
    for (const char* token : document_start) {
        if (!take_token(start, length, &at, token)) {
            return false;
        }
    }
    return true;
}

const char* past_word(PastCapacity past) {
    for (const PastWord& row : past_words) {
        if (row.past == past) {
            return row.word;
        }
    }
    return "unknown";
}
