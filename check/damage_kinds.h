// The kinds of damage, one row each: what the report calls a kind and says
// of its stretches, and when two touching stretches of it are one. A new
// kind is a value of DamageKind, its row here, and the code that finds it.
#pragma once

#include "check_result.h"

#include <cstddef>

// When a stretch of a kind continues the one before it, which ends where it
// starts and is of the same kind.
enum MergeRule {
    merge_touching,  // always
    merge_same_byte, // when both hold the same byte (source)
    merge_continuing // when it holds what belongs right after the other's data
};

struct DamageKindRow {
    const char* name; // as the report names the kind: "misplaced"
    MergeRule merge;
    bool sprayl_data; // the stretch holds sprayl data, of this run or another
    bool this_run;    // ... of this run (moved or altered): no sign of writes lost
    // What a listed stretch holds, as the report says after its kind.
    void (*describe)(const Stretch& s, char* text, size_t capacity);
    // What reads give where stretches of the kind end the input: "zeros".
    const char* (*reads_give)(const Stretch& s);
};

// Indexed by DamageKind.
extern const DamageKindRow damage_kinds[];

// Whether next, touching last and of its kind, makes one stretch with it.
bool stretches_merge(const Stretch& last, const Stretch& next);
