// The report of a check, as readable lines.
#pragma once

#include "stream_check.h"

#include <cstddef>
#include <cstdio>

// How many damaged stretches and slips the report lists: the first one and
// the largest ones.
constexpr uint32_t listed_stretches = 8;
constexpr uint32_t listed_slips = 8;

// Writes a byte count in binary units with two decimals ("1.50 GiB"), or
// in bytes below one KiB. Always zero-terminated.
void format_size(uint64_t bytes, char* text, size_t capacity);

// The name of a kind of damage, as the report uses it ("misplaced").
const char* damage_kind_name(DamageKind kind);

// One line that says what happened to the input, without its "verdict: ".
void format_verdict(const StreamCheck* check, char* text, size_t capacity);

// "intact", or "DAMAGED: " and the damage by kind, as for one of several
// files.
void describe_damage(const DamageTotals* totals, char* text, size_t capacity);

// Writes the report of a finished check to out.
void print_report(std::FILE* out, const StreamCheck* check);
