// What a check found, as members of a JSON object for programs to read:
// the verdict, the byte counts, every kept damaged stretch and jump in the
// stream. doc/json-report.md describes each member.
#pragma once

#include "check_result.h"
#include "json_writer.h"

// A short word for the outcome ("too_short"); indexed by CheckOutcome.
const char* outcome_name(CheckOutcome outcome);

// Writes the members that describe result into the object open in json.
void write_result_json(JsonText* json, const CheckResult* result);

// The damage of a part of the input (as one file's), as an object named key.
void write_totals_json(JsonText* json, const char* key, const DamageTotals* totals);
