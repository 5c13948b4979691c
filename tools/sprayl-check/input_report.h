// The lines of the report that concern the inputs: how they were read and,
// for several files, each one's verdict.
#pragma once

#include "check_input.h"

#include <cstdio>

// Writes "read: ..." and, for more than one input, one line per file.
void print_inputs(std::FILE* out, const InputList* list, const StreamCheck* check);

// The fill files that were not there.
size_t missing_inputs(const InputList* list);
