// Seeding the generator from the system: the one use of the platform that
// the generator's state needs, kept beside the stream driver that calls it.
#pragma once

#include "generator.h"

// Seeds all five words from the thread and process identifiers and the
// clocks; the counter starts at 0.
void gather_seed(GeneratorState* state);
