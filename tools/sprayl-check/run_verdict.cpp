#include "run_verdict.h"

#include "check_report.h"
#include "damage_kinds.h"
#include "exit_code.h"
#include "fill_report.h"
#include "input_report.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct RunOutcomeRow {
    RunOutcome outcome;
    const char* word; // for programs: the report's "result"
    int exit_code;
};

const RunOutcomeRow run_outcomes[] = {
    {run_intact, "intact", exit_intact},
    {run_unconfirmed, "unconfirmed", exit_unconfirmed},
    {run_damaged, "damaged", exit_differs},
    {run_too_short, "too_short", exit_unverifiable},
    {run_incomplete, "incomplete", exit_unverifiable},
    {run_interrupted, "interrupted", exit_interrupted},
    {run_failed, "failed", exit_unverifiable},
    {run_measured, "measured", exit_intact},
    {run_claim_not_met, "claim_not_met", exit_differs},
};
static_assert(sizeof run_outcomes / sizeof run_outcomes[0] == run_outcome_count,
              "a row for every way a run ends");

const RunOutcomeRow& row_of(RunOutcome outcome) {
    for (const RunOutcomeRow& row : run_outcomes) {
        if (row.outcome == outcome) {
            return row;
        }
    }
    return run_outcomes[run_failed];
}

bool found_nothing(RunOutcome outcome) {
    return outcome == run_intact || outcome == run_unconfirmed;
}

// A piece that the fill read back while writing was not what was written,
// yet every byte checked at the end was in place: the drive did not keep
// its data once, and may not again.
void say_read_back_finding(const SampleFinding* finding, RunVerdict* verdict) {
    char name[64];
    char found[320];
    fill_file_name(finding->file, name, sizeof name);
    std::snprintf(found, sizeof found,
                  "a piece read back while writing was not what was written (%s at offset %" PRIu64
                  " was %s), though every byte checked at the end was in place: the drive does"
                  " not keep its data reliably",
                  name, finding->file_offset, damage_kinds[finding->kind].name);
    // Where more made the check unconfirmed, that is said after it.
    std::string text = found;
    if (verdict->outcome == run_unconfirmed) {
        text = text + "; " + verdict->verdict;
    }
    std::snprintf(verdict->verdict, sizeof verdict->verdict, "%s", text.c_str());
    verdict->outcome = run_damaged;
    std::snprintf(verdict->result, sizeof verdict->result, "DAMAGED");
}

} // namespace

const char* run_outcome_word(RunOutcome outcome) {
    return row_of(outcome).word;
}

int run_exit_code(RunOutcome outcome) {
    return row_of(outcome).exit_code;
}

RunOutcome run_outcome_of(CheckOutcome outcome) {
    switch (outcome) {
    case outcome_intact:
        return run_intact;
    case outcome_unconfirmed:
        return run_unconfirmed;
    case outcome_damaged:
        return run_damaged;
    case outcome_too_short:
        return run_too_short;
    case outcome_incomplete:
        return run_incomplete;
    case outcome_interrupted:
        return run_interrupted;
    }
    return run_failed;
}

void verdict_failed(RunVerdict* verdict, const char* why) {
    verdict->checked = false;
    verdict->verdict[0] = '\0';
    verdict->result[0] = '\0';
    verdict->outcome = run_failed;
    std::snprintf(verdict->error, sizeof verdict->error, "%s", why);
}

void verdict_interrupted(RunVerdict* verdict) {
    verdict_failed(verdict, "");
    verdict->outcome = run_interrupted;
}

void verdict_drive_event(RunVerdict* verdict, const char* drive_verdict) {
    verdict->checked = true;
    std::snprintf(verdict->verdict, sizeof verdict->verdict, "%s", drive_verdict);
    if (verdict->outcome != run_damaged) {
        std::snprintf(verdict->result, sizeof verdict->result, "DAMAGED");
    }
    verdict->outcome = run_damaged;
}

void verdict_fails_after(RunVerdict* verdict, const char* why) {
    verdict->outcome = run_failed;
    if (verdict->error[0] == '\0') {
        std::snprintf(verdict->error, sizeof verdict->error, "%s", why);
    }
    if (verdict->checked) {
        std::snprintf(verdict->result, sizeof verdict->result, "FAILED, %s", why);
    }
}

bool judge_check(const CheckFacts* facts, DirectoryReport* directory, RunVerdict* verdict) {
    const CheckResult* result = &facts->check->result;
    char data_verdict[sizeof verdict->verdict];
    if (facts->drive_verdict[0] != '\0') {
        std::snprintf(data_verdict, sizeof data_verdict, "%s", facts->drive_verdict);
    } else {
        format_verdict(result, data_verdict, sizeof data_verdict);
    }
    verdict->checked = true;
    verdict->outcome = run_outcome_of(result->outcome);
    format_result(result, verdict->result, sizeof verdict->result);
    // What only the reading knows: fill files that were not there.
    if (missing_inputs(facts->inputs) > 0 && found_nothing(verdict->outcome)) {
        verdict->outcome = run_damaged;
        std::snprintf(verdict->result, sizeof verdict->result, "DAMAGED");
    }
    judge_directory(facts->inputs, facts->check, verdict->outcome, data_verdict, directory);
    std::snprintf(verdict->verdict, sizeof verdict->verdict, "%s",
                  directory->verdict[0] != '\0' ? directory->verdict : data_verdict);
    if (directory->result[0] != '\0') {
        verdict->outcome = directory->outcome;
        std::snprintf(verdict->result, sizeof verdict->result, "%s", directory->result);
    }
    std::snprintf(verdict->error, sizeof verdict->error, "%s", facts->failure);
    if (facts->finding != nullptr && facts->finding->found && found_nothing(verdict->outcome)) {
        say_read_back_finding(facts->finding, verdict);
        return true;
    }
    return false;
}
