#include "damage_kinds.h"

#include <cinttypes>
#include <cstdio>

namespace {

void describe_misplaced(const Stretch& s, char* text, size_t capacity) {
    std::snprintf(text, capacity, "holds what belongs at offset %" PRIu64, s.source);
}

void describe_stale(const Stretch&, char* text, size_t capacity) {
    std::snprintf(text, capacity, "data of another run of sprayl");
}

void describe_blank(const Stretch& s, char* text, size_t capacity) {
    std::snprintf(text, capacity, "all %s", s.source == 0 ? "00" : "FF");
}

void describe_altered(const Stretch& s, char* text, size_t capacity) {
    std::snprintf(text, capacity, "%" PRIu64 " %s", s.bits,
                  s.bits == 1 ? "bit differs" : "bits differ");
}

void describe_unreadable(const Stretch&, char* text, size_t capacity) {
    std::snprintf(text, capacity, "could not be read");
}

void describe_foreign(const Stretch&, char* text, size_t capacity) {
    std::snprintf(text, capacity, "not data of this stream");
}

const char* blank_bytes(const Stretch& s) {
    return s.source == 0 ? "zeros" : "FF bytes";
}

const char* another_run(const Stretch&) {
    return "data of another run";
}

const char* read_errors(const Stretch&) {
    return "read errors";
}

const char* other_data(const Stretch&) {
    return "other data";
}

} // namespace

const DamageKindRow damage_kinds[] = {
    {"misplaced", merge_continuing, true, true, describe_misplaced, other_data},
    {"stale", merge_touching, true, false, describe_stale, another_run},
    {"blank", merge_same_byte, false, false, describe_blank, blank_bytes},
    {"altered", merge_touching, true, true, describe_altered, other_data},
    {"unreadable", merge_touching, false, false, describe_unreadable, read_errors},
    {"foreign", merge_touching, false, false, describe_foreign, other_data},
};
static_assert(sizeof damage_kinds / sizeof damage_kinds[0] == damage_kind_count,
              "a row for every kind of damage, in the order of DamageKind");

bool stretches_merge(const Stretch& last, const Stretch& next) {
    if (last.end != next.start || last.kind != next.kind) {
        return false;
    }
    switch (damage_kinds[next.kind].merge) {
    case merge_same_byte:
        return last.source == next.source;
    case merge_continuing:
        return last.source + (last.end - last.start) == next.source;
    default:
        return true;
    }
}
