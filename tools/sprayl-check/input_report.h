// The lines of the report that concern the inputs: how they were read and,
// for several files, each one's verdict.
#pragma once

#include "check_input.h"

#include <cstdio>

// Writes "read: ..." and, for more than one input, one line per file.
void print_inputs(std::FILE* out, const InputList* list, const StreamCheck* check);

// The name of input i as the report gives it: a fill file by its name
// alone, "standard input" for "-".
void input_display_name(const InputList* list, size_t i, char* name, size_t capacity);

// The verdict on input i alone, as the report's line for it gives it
// ("intact", "DAMAGED: 4.00 KiB blank", "MISSING"), with its damage in
// totals; returns it as a word: "intact", "damaged", "missing",
// "unconfirmed", and for fill files "short", "longer" (than the record
// gives them), "not_read", "outside" (not part of the fill).
const char* input_verdict(const InputList* list, size_t i, const StreamCheck* check,
                          DamageTotals* totals, char* text, size_t capacity);

// The fill files that were not there (of those that are part of the fill).
size_t missing_inputs(const InputList* list);
