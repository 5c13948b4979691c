#include "input_report.h"

#include "check_report.h"
#include "text_sizes.h"

#include <cinttypes>
#include <cstring>

void input_display_name(const InputList* list, size_t i, char* name, size_t capacity) {
    input_path(list, i, name, capacity);
    if (list->directory != nullptr) {
        std::memmove(name, name + std::strlen(list->directory),
                     std::strlen(name) + 1 - std::strlen(list->directory));
        if (name[0] == '/' || name[0] == '\\') {
            std::memmove(name, name + 1, std::strlen(name));
        }
    } else if (std::strcmp(name, "-") == 0) {
        std::snprintf(name, capacity, "standard input");
    }
}

namespace {

// The method of every input that was read, or read_method_count when they
// differ.
ReadMethod common_method(const InputList* list, size_t count) {
    ReadMethod common = read_missing;
    for (size_t i = 0; i < count; ++i) {
        ReadMethod method = static_cast<ReadMethod>(list->methods[i]);
        if (method == read_missing) {
            continue;
        }
        if (common != read_missing && method != common) {
            return read_method_count;
        }
        common = method;
    }
    return common;
}

} // namespace

const char* input_verdict(const InputList* list, size_t i, const StreamCheck* check,
                          DamageTotals* totals, char* text, size_t capacity) {
    ReadMethod method = static_cast<ReadMethod>(list->methods[i]);
    *totals = DamageTotals{};
    uint64_t recorded = recorded_size(list, i);
    if (list->standings[i] == file_outside) {
        std::snprintf(text, capacity,
                      "NOT PART OF THE FILL: its record lists %" PRIu32 " files; not checked",
                      record_file_count(&list->record));
        return "outside";
    }
    if (method == read_missing) {
        std::snprintf(text, capacity, "MISSING");
        return "missing";
    }
    if (list->standings[i] == file_not_read) {
        std::snprintf(text, capacity, "NOT READ (whole): not checked");
        return "not_read";
    }
    if (recorded != 0 && list->sizes[i] < recorded) {
        std::snprintf(text, capacity,
                      "SHORT: %" PRIu64 " bytes of the %" PRIu64 " the fill wrote are not there",
                      recorded - list->sizes[i], recorded);
        return "short";
    }
    damage_between(&check->result, list->starts[i], list->starts[i + 1], totals);
    describe_damage(totals, text, capacity);
    if (std::strcmp(text, "intact") != 0) {
        return "damaged";
    }
    if (recorded != 0 && list->sizes[i] > recorded) {
        std::snprintf(text, capacity,
                      "LONGER than the fill wrote it: intact up to its %" PRIu64
                      " bytes, the %" PRIu64 " after them not checked",
                      recorded, list->sizes[i] - recorded);
        return "longer";
    }
    if (!read_reaches_drive(method)) {
        std::snprintf(text, capacity, "unconfirmed, possibly read from memory");
        return "unconfirmed";
    }
    if (list->directory != nullptr && list->record_state != record_read && i + 1 == list->count) {
        std::snprintf(text, capacity,
                      "intact as far as it goes, but with no fill record nothing"
                      " tells whether it was cut short");
        return "unconfirmed";
    }
    return "intact";
}

size_t missing_inputs(const InputList* list) {
    size_t missing = 0;
    for (size_t i = 0; i < list->count; ++i) {
        missing += list->methods[i] == read_missing && list->standings[i] != file_outside;
    }
    return missing;
}

void print_inputs(std::FILE* out, const InputList* list, const StreamCheck* check) {
    size_t count = list->count == 0 ? 1 : list->count;
    ReadMethod common = common_method(list, count);
    if (common != read_method_count) {
        std::fprintf(out, "read: %s\n", read_method_text(common));
    }
    if (list->went_on) {
        std::fprintf(out, "not read: the input goes on past the %" PRIu64 " bytes of --size\n",
                     list->read_limit);
    }
    if (count == 1) {
        return;
    }
    std::fprintf(out, "files: %zu, in this order as one stream\n", count);
    for (size_t i = 0; i < count; ++i) {
        char name[path_capacity];
        char verdict[256];
        input_display_name(list, i, name, sizeof name);
        ReadMethod method = static_cast<ReadMethod>(list->methods[i]);
        DamageTotals totals;
        input_verdict(list, i, check, &totals, verdict, sizeof verdict);
        std::fprintf(out, "  %s: %s", name, verdict);
        if (common == read_method_count && method != read_missing) {
            std::fprintf(out, " (read %s)", read_method_text(method));
        }
        std::fputc('\n', out);
    }
    size_t missing = missing_inputs(list);
    if (missing > 0) {
        std::fprintf(out, "missing fill files: %zu, so the stream is not whole: DAMAGED\n",
                     missing);
    }
}
