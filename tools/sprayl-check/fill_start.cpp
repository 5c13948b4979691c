#include "fill_start.h"

#include "fill_capacity.h"
#include "input_report.h"
#include "report_text.h"
#include "stream_position.h"
#include "text_sizes.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

uint32_t word_at(const unsigned char* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
}

// Whether the words after a run's first 16 bytes continue that run: at
// least four of them, as many as there are up to eight.
bool continues_header(const unsigned char* bytes, size_t size) {
    size_t words = (size - header_bytes) / 4;
    words = words < recognised_words ? words : recognised_words;
    if (words < 4) {
        return false;
    }
    GeneratorState state = recover_generator_state(bytes);
    for (size_t i = 0; i < words; ++i) {
        if (next_word(&state) != word_at(bytes + header_bytes + 4 * i)) {
            return false;
        }
    }
    return true;
}

// Whether eight words from one of the four byte alignments at the start
// are consecutive outputs of some run.
bool recognised_at_start(const unsigned char* bytes, size_t size) {
    for (size_t shift = 0; shift < 4 && shift + 4 * recognised_words <= size; ++shift) {
        uint32_t words[recognised_words];
        for (uint32_t i = 0; i < recognised_words; ++i) {
            words[i] = word_at(bytes + shift + 4 * i);
        }
        WordPlace place;
        if (recognise_words(words, &place)) {
            return true;
        }
    }
    return false;
}

// ---- What the directory holds ----

struct Holdings {
    uint32_t last_fill_file;
    bool record;     // fill_record_name
    bool record_new; // fill_record_new_name
};

// Whether two names are the same but for the case of ASCII letters: on
// exFAT, FAT and NTFS they name one file, so a user's "SPRAYL-FILL.TXT"
// there is what writing the record would replace.
bool same_name_but_case(const char* a, const char* b) {
    for (;; ++a, ++b) {
        int x = *a >= 'A' && *a <= 'Z' ? *a - 'A' + 'a' : *a;
        int y = *b >= 'A' && *b <= 'Z' ? *b - 'A' + 'a' : *b;
        if (x != y) {
            return false;
        }
        if (x == 0) {
            return true;
        }
    }
}

void note_holding(const char* name, void* context) {
    Holdings* holdings = static_cast<Holdings*>(context);
    uint32_t number;
    if (fill_file_number(name, &number) && number > holdings->last_fill_file) {
        holdings->last_fill_file = number;
    }
    holdings->record |= same_name_but_case(name, fill_record_name);
    holdings->record_new |= same_name_but_case(name, fill_record_new_name);
}

bool list_holdings(const OpenDirectory* directory, Holdings* holdings, char* message,
                   size_t capacity) {
    *holdings = {};
    int error = 0;
    if (!list_open_directory(directory, note_holding, holdings, &error)) {
        char text[error_text_capacity];
        error_text(error, text, sizeof text);
        std::snprintf(message, capacity, "cannot list \"%s\": %s", directory->path, text);
        return false;
    }
    return true;
}

// Whether fill file number, there in directory, is provably a fill's: one
// that the sound record lists (listed: how many it lists), or one that
// holds sprayl data from its first byte; counted in removal. False with
// message naming it.
bool fill_file_is_own(const OpenDirectory* directory, uint32_t number, uint32_t listed,
                      Removal* removal, char* message, size_t capacity) {
    char name[fill_name_capacity];
    fill_file_name(number, name, sizeof name);
    PathStatus status = {};
    int error = 0;
    if (!status_in(directory, name, &status, &error)) {
        return true; // not there: nothing to touch
    }
    unsigned char run[header_bytes];
    if (!status.is_directory) {
        FileStart start = number <= listed ? start_in_run : read_file_start(directory, number, run);
        if (start == start_of_run || start == start_in_run) {
            ++removal->files;
            removal->bytes += status.size;
            return true;
        }
    }
    std::snprintf(message, capacity,
                  "\"%s\" holds %s, which is named like a fill file but %s: --replace removes"
                  " nothing while it is there",
                  directory->path, name,
                  status.is_directory ? "is a directory" : "does not begin with sprayl data");
    return false;
}

// ---- --resume ----

bool refuse_resume(const OpenDirectory* directory, const char* reason, char* message,
                   size_t capacity) {
    std::snprintf(message, capacity,
                  "cannot resume the fill in \"%s\": it does not hold one intact run from its"
                  " start: %s",
                  directory->path, reason);
    return false;
}

// Whether the fill files there are those the record lists, of the sizes it
// gives; only the file after them may be there besides, and only where
// the fill never ended (it was writing that file when it was cut off) or
// ended failing (a write of that file failed: the drive turned read-only
// or stopped answering, and the file could not be removed).
bool files_match_record(const OpenDirectory* directory, const FillRecord* record, uint32_t last,
                        char* reason, size_t capacity) {
    uint32_t listed = record_file_count(record);
    for (uint32_t number = 1; number <= listed || number <= last; ++number) {
        char name[fill_name_capacity];
        fill_file_name(number, name, sizeof name);
        PathStatus status = {};
        int error = 0;
        bool present = status_in(directory, name, &status, &error) && !status.is_directory;
        uint64_t size = record_file_size(record, number);
        if (number <= listed && !present) {
            std::snprintf(reason, capacity, "%s is missing, which its fill record lists", name);
            return false;
        }
        if (number <= listed && status.size != size) {
            std::snprintf(reason, capacity, "%s is %" PRIu64 " bytes %s than its fill record says",
                          name, status.size < size ? size - status.size : status.size - size,
                          status.size < size ? "shorter" : "longer");
            return false;
        }
        bool unfinished_may_stay = record->end == fill_running || record->end == fill_failed;
        if (number > listed && present && (number > listed + 1 || !unfinished_may_stay)) {
            std::snprintf(reason, capacity,
                          "%s is not part of the fill: its fill record lists %" PRIu32 " files",
                          name, listed);
            return false;
        }
    }
    return true;
}

// The run to go on with: the record's, where there is one that the first
// file does not contradict, else the first file's.
bool run_to_resume(const OpenDirectory* directory, RecordState state, const FillRecord* record,
                   unsigned char* run, char* message, size_t capacity) {
    FileStart start = read_file_start(directory, 1, run);
    if (state == record_read) {
        if (start == start_of_run && std::memcmp(run, record->run, header_bytes) != 0) {
            return refuse_resume(directory, "its fill record names another run than its files",
                                 message, capacity);
        }
        std::memcpy(run, record->run, header_bytes);
        return true;
    }
    if (start != start_of_run) {
        return refuse_resume(directory, "its first file has no header to read the run from",
                             message, capacity);
    }
    return true;
}

// Cuts the last of files back so that the stream ends at intact_end (its
// last sector that is intact to its end), removing it where nothing of it
// is left; *bytes_there: where the stream then ends. The last file is
// touched only where it is the fill's unfinished one and begins with the
// run's data. Returns the files left, or -1 with message.
int64_t cut_back(const OpenDirectory* directory, const InputList* inputs, uint32_t files,
                 uint64_t intact_end, bool unfinished, uint64_t* bytes_there, char* message,
                 size_t capacity) {
    uint64_t last_start = inputs->starts[files - 1];
    uint64_t read_end = inputs->starts[files];
    char name[fill_name_capacity];
    fill_file_name(files, name, sizeof name);
    char reason[256];
    *bytes_there = read_end;
    if (intact_end < last_start) {
        std::snprintf(reason, sizeof reason,
                      "damage at stream offset %" PRIu64 ", before its last file", intact_end);
        refuse_resume(directory, reason, message, capacity);
        return -1;
    }
    // An empty last file (the fill was stopped as it made it) is cut back
    // with the rest below: a file of no bytes is no file of the fill.
    if (intact_end == read_end && read_end > last_start) {
        return files;
    }
    if (!unfinished) {
        std::snprintf(reason, sizeof reason,
                      "damage at stream offset %" PRIu64 " in %s, which the fill had finished",
                      intact_end, name);
        refuse_resume(directory, reason, message, capacity);
        return -1;
    }
    // Proof that it is this fill's: it begins with the run's data.
    uint64_t proof =
        read_end - last_start < 2 * header_bytes ? read_end - last_start : 2 * header_bytes;
    if (intact_end - last_start < proof) {
        std::snprintf(reason, sizeof reason,
                      "%s does not begin with this fill's data: it is left as it is (remove it"
                      " where it is a fill file)",
                      name);
        refuse_resume(directory, reason, message, capacity);
        return -1;
    }
    uint64_t kept = (intact_end - last_start) / sector_bytes * sector_bytes;
    if (last_start + kept < header_bytes + min_checked_bytes) {
        refuse_resume(directory, "its first file holds too little of the run", message, capacity);
        return -1;
    }
    int error =
        kept > 0 ? truncate_file_in(directory, name, kept) : remove_file_in(directory, name);
    if (error != 0) {
        char text[error_text_capacity];
        error_text(error, text, sizeof text);
        char path[path_capacity];
        file_path_in(directory->path, name, path, sizeof path);
        std::snprintf(message, capacity, "cannot cut \"%s\" back: %s", path, text);
        return -1;
    }
    *bytes_there = last_start + kept;
    return kept > 0 ? files : files - 1;
}

// A size as --file-size takes it: "64K", "1G"; bytes where it is no whole
// number of KiB.
void option_size(uint64_t bytes, char* text, size_t capacity) {
    const char units[] = "KMGT";
    int unit = -1;
    while (unit < 3 && bytes >= 1024 && bytes % 1024 == 0) {
        bytes /= 1024;
        ++unit;
    }
    if (unit < 0) {
        std::snprintf(text, capacity, "%" PRIu64, bytes);
    } else {
        std::snprintf(text, capacity, "%" PRIu64 "%c", bytes, units[unit]);
    }
}

} // namespace

FileStart file_start_of(const unsigned char* bytes, size_t size, unsigned char* run) {
    if (size >= header_bytes && continues_header(bytes, size)) {
        std::memcpy(run, bytes, header_bytes);
        return start_of_run;
    }
    if (recognised_at_start(bytes, size)) {
        return start_in_run;
    }
    return size < 4 * recognised_words + 3 ? start_unreadable : start_foreign;
}

FileStart read_file_start(const OpenDirectory* directory, uint32_t number, unsigned char* run) {
    static unsigned char* buffer = aligned_buffer(4096);
    char name[fill_name_capacity];
    char path[path_capacity];
    fill_file_name(number, name, sizeof name);
    fill_file_path(directory->path, number, path, sizeof path);
    if (buffer == nullptr) {
        return start_unreadable;
    }
    OpenInput input = {};
    input.path = path;
    int error = open_input_in(directory, name, &input);
    int64_t got = -1;
    if (error == 0) {
        got = read_input(&input, buffer, 4096, 0, &error);
        if (got < 0 && error_is_misalignment(error) && reopen_through_cache(&input) == 0) {
            got = read_input(&input, buffer, 4096, 0, &error);
        }
    }
    close_input(&input);
    return got < 0 ? start_unreadable : file_start_of(buffer, static_cast<size_t>(got), run);
}

void run_header(const GeneratorState* seed, unsigned char* run) {
    GeneratorState state = *seed;
    for (uint32_t i = 0; i < header_bytes / 4; ++i) {
        uint32_t word = next_word(&state);
        for (int b = 0; b < 4; ++b) {
            run[4 * i + static_cast<uint32_t>(b)] = static_cast<unsigned char>(word >> (8 * b));
        }
    }
}

GeneratorState seed_of_header(const unsigned char* run) {
    GeneratorState header_state = recover_generator_state(run);
    return seed_of_run(&header_state);
}

bool plan_removal(const OpenDirectory* directory, bool replace, Removal* removal, char* message,
                  size_t capacity) {
    Holdings holdings;
    *removal = {};
    if (!list_holdings(directory, &holdings, message, capacity)) {
        return false;
    }
    if (holdings.last_fill_file == 0 && !holdings.record && !holdings.record_new) {
        return true;
    }
    if (!replace) {
        char last_path[path_capacity];
        fill_file_path(directory->path, holdings.last_fill_file, last_path, sizeof last_path);
        if (holdings.last_fill_file > 0) {
            std::snprintf(message, capacity,
                          "\"%s\" holds fill files already, up to %s; --replace overwrites them",
                          directory->path, last_path);
        } else {
            std::snprintf(message, capacity,
                          "\"%s\" holds the record of a fill already (%s); --replace overwrites"
                          " it",
                          directory->path, fill_record_name);
        }
        return false;
    }
    // Every one of them, before anything is removed.
    static FillRecord record;
    char why[512];
    const char* const record_names[] = {fill_record_name, fill_record_new_name};
    for (const char* name : record_names) {
        if (!record_file_is_own(directory, name, why, sizeof why)) {
            std::snprintf(message, capacity,
                          "\"%s\" holds %s: --replace removes nothing while it is there",
                          directory->path, why);
            return false;
        }
    }
    uint32_t listed = 0;
    if (holdings.record && read_fill_record(directory, &record, why, sizeof why) == record_read) {
        listed = record_file_count(&record);
    }
    removal->last_fill_file = holdings.last_fill_file;
    for (uint32_t number = 1; number <= holdings.last_fill_file; ++number) {
        if (!fill_file_is_own(directory, number, listed, removal, message, capacity)) {
            return false;
        }
    }
    removal->files += holdings.record + holdings.record_new;
    return true;
}

bool remove_earlier_fill(const OpenDirectory* directory, const Removal* removal, char* message,
                         size_t capacity) {
    for (uint32_t number = 0; number <= removal->last_fill_file + 1; ++number) {
        // 0 and last + 1: the records.
        char name[fill_name_capacity];
        if (number == 0 || number > removal->last_fill_file) {
            std::snprintf(name, sizeof name, "%s",
                          number == 0 ? fill_record_new_name : fill_record_name);
        } else {
            fill_file_name(number, name, sizeof name);
        }
        int error = remove_file_in(directory, name);
        if (error != 0) {
            char text[error_text_capacity];
            error_text(error, text, sizeof text);
            char path[path_capacity];
            file_path_in(directory->path, name, path, sizeof path);
            std::snprintf(message, capacity, "cannot remove \"%s\": %s", path, text);
            return false;
        }
    }
    return true;
}

bool prepare_resume(const OpenDirectory* directory, const FillPlan* wanted, InputList* inputs,
                    StreamCheck* check, GeneratorState* seed, FillPlan* plan, FillRecord* record,
                    char* message, size_t capacity) {
    Holdings holdings;
    if (!list_holdings(directory, &holdings, message, capacity)) {
        return false;
    }
    char why[512];
    char reason[768];
    RecordState state = read_fill_record(directory, record, why, sizeof why);
    if (state == record_damaged || state == record_unreadable) {
        std::snprintf(reason, sizeof reason,
                      "its fill record %s is %s: %s (move it away to go on without it)",
                      fill_record_name, state == record_damaged ? "damaged" : "unreadable", why);
        return refuse_resume(directory, reason, message, capacity);
    }
    uint32_t listed = state == record_read ? record_file_count(record) : 0;
    uint32_t last = holdings.last_fill_file > listed ? holdings.last_fill_file : listed;
    if (last == 0) {
        return refuse_resume(directory, "it holds no fill files", message, capacity);
    }
    if (state == record_read &&
        !files_match_record(directory, record, holdings.last_fill_file, reason, sizeof reason)) {
        return refuse_resume(directory, reason, message, capacity);
    }
    prepare_fill_inputs(inputs, directory, last, state == record_read ? record : nullptr);
    // The file the fill was writing when it was cut off is read with the
    // rest, to its end: the record gives it no size.
    if (last > listed && state == record_read) {
        inputs->standings[last - 1] = file_in_stream;
    }
    if (missing_inputs(inputs) > 0) {
        return refuse_resume(directory, "fill files are missing", message, capacity);
    }
    unsigned char run[header_bytes];
    if (!run_to_resume(directory, state, record, run, message, capacity)) {
        return false;
    }
    *seed = seed_of_header(run);
    check_start_run(check, seed);
    Progress progress;
    progress_start(&progress, "checked", inputs->total_size);
    message[0] = '\0';
    CheckEnd end = check_inputs(inputs, check, read_input, &progress, message, capacity);
    progress_end(&progress, check->result.bytes_read, bytes_damaged(&check->result));
    check_finish(check, end, 0);
    if (end != check_end_of_input) {
        std::snprintf(reason, sizeof reason, "%s",
                      message[0] != '\0' ? message : "the check was stopped");
        return refuse_resume(directory, reason, message, capacity);
    }
    // The unfinished file: the one after those the record lists, or, with
    // no record to tell, the last.
    bool unfinished = state != record_read || last > listed;
    uint64_t bytes_there = 0;
    int64_t files = cut_back(directory, inputs, last, intact_end_of(&check->result), unfinished,
                             &bytes_there, message, capacity);
    if (files < 0) {
        return false;
    }
    if (state == record_read) {
        record_keep_files(record, static_cast<uint32_t>(files),
                          files > 0 ? bytes_there - inputs->starts[files - 1] : 0);
    } else {
        start_fill_record(record, run, wanted->file_size, 0, 0, 0);
        for (uint32_t i = 0; i < files; ++i) {
            uint64_t end_of_file =
                i + 1 == static_cast<uint32_t>(files) ? bytes_there : inputs->starts[i + 1];
            record_add_file(record, i + 1, end_of_file - inputs->starts[i]);
        }
    }
    record->file_size = wanted->file_size;
    record->bytes_there = bytes_there;
    record->end = fill_running;
    record->end_reason[0] = '\0';
    std::fprintf(stderr,
                 "sprayl-check: going on with the fill in \"%s\" after %" PRIu64
                 " intact bytes in %" PRIu32 " files\n",
                 directory->path, bytes_there, static_cast<uint32_t>(files));
    *plan = {wanted->file_size, wanted->keep_going, static_cast<uint32_t>(files), bytes_there,
             inputs->starts};
    return true;
}

uint64_t files_to_cover(uint64_t file_size, uint32_t files_there, uint64_t free_bytes) {
    uint64_t covered = 0;
    uint64_t files = 0;
    for (uint64_t number = files_there + 1; covered < free_bytes && files <= max_inputs;
         ++number, ++files) {
        covered += fill_file_limit(file_size, static_cast<uint32_t>(number));
    }
    return files;
}

bool fill_can_cover(const char* directory, uint64_t file_size, uint32_t files_there,
                    uint64_t free_bytes, uint64_t free_files, char* message, size_t capacity) {
    uint64_t room = max_inputs - files_there;
    char limit[128];
    std::snprintf(limit, sizeof limit, "a fill writes at most %u files",
                  static_cast<unsigned>(max_inputs));
    // Besides its files, the fill keeps its record, and a new one while it
    // writes it.
    if (free_files != no_file_limit && (free_files < 2 || free_files - 2 < room)) {
        room = free_files < 2 ? 0 : free_files - 2;
        std::snprintf(limit, sizeof limit,
                      "the file system can make only %" PRIu64 " more files (free inodes)", room);
    }
    uint64_t needed = files_to_cover(file_size, files_there, free_bytes);
    if (needed <= room) {
        return true;
    }
    char given[size_text_capacity];
    char free_text[size_text_capacity];
    option_size(file_size, given, sizeof given);
    format_size(free_bytes, free_text, sizeof free_text);
    uint64_t would_do = 0;
    for (uint64_t size = 4096; size != 0 && would_do == 0; size <<= 1) {
        would_do = files_to_cover(size, files_there, free_bytes) <= room ? size : 0;
    }
    char remedy[64] = "no file size would do";
    if (would_do != 0) {
        char size[size_text_capacity];
        option_size(would_do, size, sizeof size);
        std::snprintf(remedy, sizeof remedy, "--file-size %s or more would do", size);
    }
    std::snprintf(message, capacity,
                  "--file-size %s cannot cover the %s free in \"%s\": that takes %s%" PRIu64
                  " files, and %s; %s",
                  given, free_text, directory, needed > max_inputs ? "more than " : "",
                  needed > max_inputs ? static_cast<uint64_t>(max_inputs) : needed, limit, remedy);
    return false;
}

bool prepare_fill(const OpenDirectory* directory, const CheckOptions* options,
                  const GeneratorState* new_seed, InputList* inputs, StreamCheck* check,
                  FillStart* start, char* message, size_t capacity) {
    const char* path = directory->path;
    FillPlan wanted = {options->file_size, options->keep_going, 0, 0, nullptr};
    start->plan = wanted;
    FillRecord* record = &start->record;
    if (options->resume) {
        if (!prepare_resume(directory, &wanted, inputs, check, &start->seed, &start->plan, record,
                            message, capacity)) {
            return false;
        }
        record->drive_bytes = drive_size(path);
        record->free_bytes = free_space(path);
        record->free_files = free_files(path);
        return fill_can_cover(path, options->file_size, start->plan.files_there, record->free_bytes,
                              record->free_files, message, capacity);
    }
    // What an earlier fill leaves there is room for this one: the refusal
    // comes before anything is removed.
    Removal removal;
    uint64_t files_free = free_files(path);
    if (!plan_removal(directory, options->replace, &removal, message, capacity) ||
        !fill_can_cover(path, options->file_size, 0, free_space(path) + removal.bytes,
                        files_free == no_file_limit ? files_free : files_free + removal.files,
                        message, capacity) ||
        !remove_earlier_fill(directory, &removal, message, capacity)) {
        return false;
    }
    start->seed = *new_seed;
    unsigned char run[header_bytes];
    run_header(new_seed, run);
    start_fill_record(record, run, options->file_size, drive_size(path), free_space(path),
                      free_files(path));
    return true;
}
