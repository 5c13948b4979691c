#include "json_report.h"

#include "check_report.h"
#include "damage_kinds.h"

namespace {

const char* const outcome_names[] = {"intact",    "unconfirmed", "damaged",
                                     "too_short", "incomplete",  "interrupted"};
static_assert(sizeof outcome_names / sizeof outcome_names[0] == outcome_interrupted + 1,
              "a word for every outcome, in the order of CheckOutcome");

const char* const end_names[] = {"end_of_input", "interrupted", "read_failed"};
static_assert(sizeof end_names / sizeof end_names[0] == check_end_read_failed + 1,
              "a word for every end, in the order of CheckEnd");

void write_verdict(JsonText* json, const CheckResult* result) {
    char text[320];
    VerdictKind kind = verdict_of(result, text, sizeof text);
    json_begin_object(json, "verdict");
    json_string(json, "kind", verdict_kind_names[kind]);
    json_string(json, "text", text);
    json_end_object(json);
}

void write_bytes(JsonText* json, const CheckResult* result) {
    json_begin_object(json, "bytes");
    json_uint(json, "read", result->bytes_read);
    json_uint(json, "checked", bytes_checked(result));
    json_uint(json, "intact", result->bytes_intact);
    json_uint(json, "damaged", bytes_damaged(result));
    json_uint(json, "missing", bytes_missing(result));
    json_uint(json, "expected", result->expected_size);
    json_begin_object(json, "by_kind");
    for (int kind = 0; kind < damage_kind_count; ++kind) {
        json_uint(json, damage_kinds[kind].name, result->damaged_bytes[kind]);
    }
    json_end_object(json);
    json_end_object(json);
}

// What only some kinds of stretch say: where misplaced data belongs, the
// byte a blank stretch holds, the bits an altered one has wrong.
void write_stretch(JsonText* json, const Stretch& s) {
    json_begin_object(json, nullptr);
    json_uint(json, "start", s.start);
    json_uint(json, "end", s.end);
    json_uint(json, "length", s.end - s.start);
    json_string(json, "kind", damage_kinds[s.kind].name);
    if (s.kind == damage_misplaced) {
        json_uint(json, "belongs_at", s.source);
    } else if (s.kind == damage_blank) {
        json_uint(json, "byte", s.source);
    } else if (s.kind == damage_altered) {
        json_uint(json, "bits", s.bits);
    }
    json_end_object(json);
}

void write_stretches(JsonText* json, const CheckResult* result) {
    json_uint(json, "stretch_count", result->stretch_count);
    json_begin_array(json, "stretches");
    uint64_t kept = kept_stretch_count(result);
    for (uint64_t i = 0; i < kept; ++i) {
        write_stretch(json, result->stretches[i]);
    }
    json_end_array(json);
}

void write_slips(JsonText* json, const CheckResult* result) {
    json_uint(json, "slip_count", result->slip_count);
    json_begin_array(json, "slips");
    uint64_t kept = result->slip_count < kept_slips ? result->slip_count : kept_slips;
    for (uint64_t i = 0; i < kept; ++i) {
        json_begin_object(json, nullptr);
        json_uint(json, "offset", result->slips[i].offset);
        json_int(json, "shift", result->slips[i].shift);
        json_end_object(json);
    }
    json_end_array(json);
}

} // namespace

const char* outcome_name(CheckOutcome outcome) {
    return outcome_names[outcome];
}

void write_result_json(JsonText* json, const CheckResult* result) {
    write_verdict(json, result);
    json_string(json, "outcome", outcome_name(result->outcome));
    json_string(json, "end", end_names[result->end]);
    json_bool(json, "conclusive", check_is_conclusive(result));
    json_bool(json, "run_known", result->run_known);
    json_bool(json, "header_damaged", result->header_damaged);
    json_bool(json, "possibly_from_memory", result->possibly_from_memory);
    write_bytes(json, result);
    write_stretches(json, result);
    write_slips(json, result);
}

void write_totals_json(JsonText* json, const char* key, const DamageTotals* totals) {
    json_begin_object(json, key);
    for (int kind = 0; kind < damage_kind_count; ++kind) {
        json_uint(json, damage_kinds[kind].name, totals->bytes[kind]);
    }
    json_uint(json, "slips", totals->slips);
    json_end_object(json);
}
