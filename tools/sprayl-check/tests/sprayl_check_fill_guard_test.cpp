// What a fill may touch, what its record tells a later check, how much of
// the free room it covered, and a directory that goes away while it works,
// against the scripted system layer. Each case asserts the verdict or the
// refusal, the exit code, and that no byte of any file it may not touch
// changed.
#include "check_test_support.h"
#include "exit_code.h"
#include "fill_report.h"
#include "fill_start.h"
#include "input_report.h"
#include "scripted_system.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

FillWork fill_work; // too large for the stack

using Files = std::map<std::string, std::vector<unsigned char>>;

const GeneratorState seed = {{0x9E3779B9, 0x7F4A7C15, 0xF39CC060, 0x5CEDC834}, 0};
const GeneratorState other_seed = {{0x01234567, 0x89ABCDEF, 0x02468ACE, 0x13579BDF}, 0};
constexpr uint64_t file_size = 100000;
// Six files: five of 100000 bytes, the last of 50000.
constexpr uint64_t fill_room = 550000;
const std::string record_path = "fill/sprayl-fill.txt";
const std::string user_text = "Call the plumber on Monday about the leak.\n";

FillStart start; // too large for the stack
StreamCheck check;
InputList inputs;
OpenDirectory folder;

std::string fill_path(uint32_t number) {
    char path[64];
    fill_file_path("fill", number, path, sizeof path);
    return path;
}

CheckOptions fill_options(bool replace, bool resume) {
    CheckOptions options = {};
    options.action = action_fill;
    options.fill_directory = "fill";
    options.file_size = file_size;
    options.replace = replace;
    options.resume = resume;
    return options;
}

// Fills "fill" on a scripted file system with room bytes for fill files
// (and room for the record); before_writing runs once the fill is ready to
// write. fill_directory's answer, with its message.
bool fill_scripted(
    uint64_t room, FillOutcome* outcome, std::string* message,
    const std::function<void()>& before_writing = [] {}) {
    reset_scripted_system(room + fill_record_unit);
    open_directory("fill", &folder);
    CheckOptions options = fill_options(false, false);
    char text[1024] = "";
    EXPECT_TRUE(prepare_fill(&folder, &options, &seed, &inputs, &check, &start, text, sizeof text))
        << text;
    before_writing();
    Progress progress = {};
    bool filled = fill_directory(&fill_work, &folder, &start.plan, &start.seed, &start.record,
                                 &progress, outcome, text, sizeof text);
    *message = text;
    return filled;
}

// The record in the scripted directory, changed by change and written back.
void change_record(const std::function<void(FillRecord*)>& change) {
    static FillRecord record;
    std::vector<unsigned char>& bytes = scripted.files[record_path];
    char why[256];
    ASSERT_EQ(parse_fill_record(reinterpret_cast<const char*>(bytes.data()), bytes.size(), &record,
                                why, sizeof why),
              record_read)
        << why;
    change(&record);
    static char text[1 << 16];
    size_t length = format_fill_record(&record, text, sizeof text);
    bytes.assign(text, text + length);
}

void put_user_text(const std::string& path) {
    scripted.files[path].assign(user_text.begin(), user_text.end());
}

// ---- What --replace and --resume may touch ----

struct TouchCase {
    const char* name;
    bool resume; // else --replace
    void (*change)();
    bool allowed;
    const char* message; // a part of the refusal
};

const TouchCase touch_cases[] = {
    {"replace: a user's text named like the next fill file", false,
     [] { put_user_text(fill_path(7)); }, false,
     "holds sprayl-00007.bin, which is named like a fill file but does not begin with sprayl data"},
    {"replace: zeros named like a fill file, not in the record", false,
     [] { scripted.files[fill_path(7)].assign(8192, 0); }, false,
     "sprayl-00007.bin, which is named like a fill file"},
    {"replace: a user's text named like the record", false, [] { put_user_text(record_path); },
     false, "holds sprayl-fill.txt is not a fill record that sprayl-check wrote"},
    {"replace: a fill file the drive lost, which the record lists", false,
     [] { std::fill(scripted.files[fill_path(2)].begin(), scripted.files[fill_path(2)].end(), 0); },
     true, ""},
    {"replace: an earlier fill with no record", false, [] { scripted.files.erase(record_path); },
     true, ""},
    {"replace: a record damaged by a byte", false, [] { scripted.files[record_path][100] ^= 1; },
     true, ""},
    {"resume: a user's text named like the next fill file", true,
     [] { put_user_text(fill_path(7)); }, false,
     "sprayl-00007.bin is not part of the fill: its fill record lists 6 files"},
    {"resume: the same with no record", true,
     [] {
         scripted.files.erase(record_path);
         put_user_text(fill_path(7));
     },
     false, "sprayl-00007.bin does not begin with this fill's data: it is left as it is"},
    {"resume: a file that the record lists is short", true,
     [] { scripted.files[fill_path(3)].resize(60000); }, false,
     "sprayl-00003.bin is 40000 bytes shorter than its fill record says"},
    {"resume: the record names another run", true,
     [] { scripted.files[fill_path(1)] = reference_bytes(other_seed, file_size); }, false,
     "its fill record names another run than its files"},
    {"resume: the record is damaged", true, [] { scripted.files[record_path][100] ^= 1; }, false,
     "its fill record sprayl-fill.txt is damaged: its checksum does not match"},
    {"resume: cut off while it wrote its last file", true,
     [] {
         change_record([](FillRecord* record) {
             record_keep_files(record, 5, file_size);
             record->end = fill_running;
         });
         std::vector<unsigned char>& last = scripted.files[fill_path(6)];
         std::fill(last.begin() + 25000, last.end(), 0);
     },
     true, ""},
    {"resume: its last file failed at a write, and could not be removed", true,
     [] {
         change_record([](FillRecord* record) {
             record_keep_files(record, 5, file_size);
             record->end = fill_failed;
         });
         std::vector<unsigned char>& last = scripted.files[fill_path(6)];
         std::fill(last.begin() + 25000, last.end(), 0);
     },
     true, ""},
    {"resume: cut off while it wrote its first file", true,
     [] {
         change_record([](FillRecord* record) {
             record_keep_files(record, 0, 0);
             record->end = fill_running;
         });
         for (uint32_t number = 2; number <= 6; ++number) {
             scripted.files.erase(fill_path(number));
         }
         std::vector<unsigned char>& first = scripted.files[fill_path(1)];
         std::fill(first.begin() + 25000, first.end(), 0);
     },
     true, ""},
};

TEST(FillTouches, OnlyWhatIsProvablyTheFillsOwn) {
    for (const TouchCase& c : touch_cases) {
        SCOPED_TRACE(c.name);
        FillOutcome outcome;
        std::string message;
        ASSERT_TRUE(fill_scripted(fill_room, &outcome, &message)) << message;
        c.change();
        const Files before = scripted.files;
        CheckOptions options = fill_options(!c.resume, c.resume);
        char text[1024] = "";
        bool allowed = prepare_fill(&folder, &options, &other_seed, &inputs, &check, &start, text,
                                    sizeof text);
        EXPECT_EQ(allowed, c.allowed) << text;
        if (!c.allowed) {
            EXPECT_NE(std::string(text).find(c.message), std::string::npos) << text;
            EXPECT_TRUE(scripted.files == before) << "a file changed";
        } else if (!c.resume) {
            EXPECT_TRUE(scripted.files.empty()) << scripted.files.begin()->first;
        } else {
            // The unfinished file cut back to its last intact sector, and
            // listed so; the files before it untouched.
            uint32_t files = static_cast<uint32_t>(before.size() - 1);
            uint64_t kept = 25000 / 512 * 512;
            EXPECT_EQ(start.plan.files_there, files);
            EXPECT_EQ(start.plan.bytes_there, (files - 1) * file_size + kept);
            EXPECT_EQ(record_file_count(&start.record), files);
            EXPECT_EQ(record_file_size(&start.record, files), kept);
            EXPECT_EQ(record_bytes(&start.record), start.plan.bytes_there);
            for (uint32_t number = 1; number < files; ++number) {
                EXPECT_TRUE(scripted.files[fill_path(number)] == before.at(fill_path(number)));
            }
        }
    }
}

// A fill stopped as it made its last file leaves that file empty: the
// resume goes on from the file before, and its record lists no file of no
// bytes (which it could not read back).
TEST(FillTouches, AnEmptyLastFileIsNoFileOfTheFill) {
    FillOutcome outcome;
    std::string message;
    ASSERT_TRUE(fill_scripted(fill_room, &outcome, &message)) << message;
    change_record([](FillRecord* record) {
        record_keep_files(record, 5, file_size);
        record->end = fill_running;
    });
    scripted.files[fill_path(6)].clear();
    CheckOptions options = fill_options(false, true);
    char text[1024] = "";
    ASSERT_TRUE(
        prepare_fill(&folder, &options, &other_seed, &inputs, &check, &start, text, sizeof text))
        << text;
    EXPECT_EQ(start.plan.files_there, 5u);
    EXPECT_EQ(start.plan.bytes_there, 5 * file_size);
    EXPECT_EQ(record_file_count(&start.record), 5u);
    EXPECT_EQ(record_file_size(&start.record, 5), file_size);
    EXPECT_EQ(scripted.files.count(fill_path(6)), 0u);
}

// A file that appears where the fill's next file goes, after the fill
// looked: left as it is, and the fill stops.
TEST(FillTouches, AFileThatAppearsIsNeverWrittenOver) {
    FillOutcome outcome;
    std::string message;
    ASSERT_TRUE(fill_scripted(fill_room, &outcome, &message)) << message;
    scripted.free_bytes += 300000; // room freed elsewhere since
    CheckOptions options = fill_options(false, true);
    char text[1024] = "";
    ASSERT_TRUE(
        prepare_fill(&folder, &options, &other_seed, &inputs, &check, &start, text, sizeof text))
        << text;
    scripted.appears = fill_path(7);
    scripted.appearing_bytes.assign(user_text.begin(), user_text.end());
    Progress progress = {};
    EXPECT_FALSE(fill_directory(&fill_work, &folder, &start.plan, &start.seed, &start.record,
                                &progress, &outcome, text, sizeof text));
    EXPECT_EQ(std::string(text), "\"fill/sprayl-00007.bin\" appeared while the fill was running:"
                                 " it is left as it is, and the fill stops");
    EXPECT_EQ(std::string(scripted.files[fill_path(7)].begin(), scripted.files[fill_path(7)].end()),
              user_text);
}

// ---- The record ----

uint32_t crc32_of(const std::string& text) {
    uint32_t crc = 0xFFFFFFFFu;
    for (char byte : text) {
        crc ^= static_cast<unsigned char>(byte);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// text with line `from` changed to `to`, and its checksum made right again.
std::string with_line(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    size_t checksum = text.rfind("crc32: ");
    char line[32];
    std::snprintf(line, sizeof line, "crc32: %08x\n", crc32_of(text.substr(0, checksum)));
    return text.substr(0, checksum) + line;
}

struct RecordDamageCase {
    const char* name;
    std::string (*damage)(std::string text);
    const char* why;
};

const RecordDamageCase record_damage_cases[] = {
    {"a digit changed", [](std::string t) { return t.replace(t.find("100000 each"), 1, "2"); },
     "its checksum does not match its lines"},
    {"cut short", [](std::string t) { return t.substr(0, t.size() / 2); }, "it was cut short"},
    {"its checksum changed",
     [](std::string t) { return t.replace(t.size() - 2, 1, t[t.size() - 2] == '0' ? "1" : "0"); },
     "its checksum does not match its lines"},
    {"not a record", [](std::string) { return user_text; },
     "it does not begin as a fill record does"},
    {"a line a record has not, its checksum right",
     [](std::string t) { return with_line(t, "outcome: ", "colour: blue\noutcome: "); },
     "a line cannot be read: \"colour: blue\""},
    {"bytes written that are not its files' sum, its checksum right",
     [](std::string t) { return with_line(t, "bytes written: 5", "bytes written: 4"); },
     "its bytes written are not the sum of its files' sizes"},
};

TEST(FillRecord, ReadsBackAsWrittenAndShowsDamage) {
    FillOutcome outcome;
    std::string message;
    ASSERT_TRUE(fill_scripted(fill_room, &outcome, &message)) << message;
    const std::vector<unsigned char>& bytes = scripted.files[record_path];
    std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text.size() % fill_record_unit, 0u);
    static FillRecord record;
    char why[256] = "";
    ASSERT_EQ(parse_fill_record(text.data(), text.size(), &record, why, sizeof why), record_read)
        << why;
    unsigned char run[header_bytes];
    run_header(&seed, run);
    EXPECT_EQ(std::memcmp(record.run, run, header_bytes), 0);
    EXPECT_EQ(record_file_count(&record), 6u);
    EXPECT_EQ(record_file_size(&record, 5), file_size);
    EXPECT_EQ(record_file_size(&record, 6), 50000u);
    EXPECT_EQ(record_bytes(&record), fill_room);
    EXPECT_EQ(record.free_bytes, fill_room + fill_record_unit);
    EXPECT_EQ(record.end, fill_complete);
    for (const RecordDamageCase& c : record_damage_cases) {
        std::string damaged = c.damage(text);
        EXPECT_EQ(parse_fill_record(damaged.data(), damaged.size(), &record, why, sizeof why),
                  record_damaged)
            << c.name;
        EXPECT_NE(std::string(why).find(c.why), std::string::npos) << c.name << ": " << why;
    }
}

// ---- A later check of the directory ----

// What the last check_directory came to.
RunVerdict verdict;

// The exit code of that.
int exit_code_of_check() {
    return run_exit_code(verdict.outcome);
}

// Checks "fill" as sprayl-check DIR does, and judges it.
DirectoryReport check_directory(std::string* message) {
    static char directory[] = "fill";
    static char* paths[] = {directory};
    char text[1024] = "";
    DirectoryReport report = {};
    if (!prepare_inputs(&inputs, paths, 1, text, sizeof text)) {
        *message = text;
        verdict_failed(&verdict, text);
        return report;
    }
    if (inputs.record_state == record_read) {
        GeneratorState run = seed_of_header(inputs.record.run);
        check_start_run(&check, &run);
    } else {
        check_start(&check);
    }
    Progress progress = {};
    CheckEnd end = check_inputs(&inputs, &check, read_input, &progress, text, sizeof text);
    check_finish(&check, end, 0);
    *message = text;
    CheckFacts facts = {&inputs, &check, "", nullptr, text};
    judge_check(&facts, &report, &verdict);
    return report;
}

struct LaterCheckCase {
    const char* name;
    void (*change)();
    int exit_code;
    const char* verdict; // a part of it; "" where the check's own stands
    const char* words;   // each file's verdict in a letter: intact, missing, short, longer,
                         // outside, not read, damaged, unconfirmed
};

const LaterCheckCase later_check_cases[] = {
    {"as the fill left it", [] {}, exit_intact, "", "iiiiii"},
    {"a file in the middle missing", [] { scripted.files.erase(fill_path(3)); }, exit_differs,
     "sprayl-00003.bin is missing; the bytes read are intact", "iimiii"},
    {"the last file missing", [] { scripted.files.erase(fill_path(6)); }, exit_differs,
     "sprayl-00006.bin is missing; the bytes read are intact", "iiiiim"},
    {"a file cut short", [] { scripted.files[fill_path(4)].resize(99000); }, exit_differs,
     "sprayl-00004.bin is 1000 bytes short; the bytes read are intact", "iiisii"},
    {"the last file cut short", [] { scripted.files[fill_path(6)].resize(49488); }, exit_differs,
     "sprayl-00006.bin is 512 bytes short", "iiiiis"},
    {"a file longer", [] { scripted.files[fill_path(2)].resize(file_size + 10); }, exit_unconfirmed,
     "sprayl-00002.bin is longer than the fill wrote it", "iliiii"},
    {"a user's file named like the next fill file", [] { put_user_text(fill_path(7)); },
     exit_unconfirmed,
     "sprayl-00007.bin is not part of the fill (its record lists 6 files): not checked", "iiiiiio"},
    {"no record", [] { scripted.files.erase(record_path); }, exit_unconfirmed,
     "with no fill record, nothing tells whether sprayl-00006.bin, the last file, was cut short",
     "iiiiiu"},
    {"no record, the last file cut short",
     [] {
         scripted.files.erase(record_path);
         scripted.files[fill_path(6)].resize(20000);
     },
     exit_unconfirmed, "nothing tells whether sprayl-00006.bin", "iiiiiu"},
    {"a file that cannot be opened",
     [] {
         scripted.unopenable = fill_path(3);
         scripted.open_error = EACCES;
     },
     exit_unverifiable, "sprayl-00003.bin and 3 more files were not read (whole): not checked",
     "iinnnn"},
    {"a file that its drive fails to give",
     [] {
         scripted.unopenable = fill_path(3);
         scripted.open_error = EIO;
     },
     exit_differs, "", "iidiii"},
};

char word_letter(const char* word) {
    const char* const words[] = {"intact",  "missing",  "short",   "longer",
                                 "outside", "not_read", "damaged", "unconfirmed"};
    for (size_t i = 0; i < sizeof words / sizeof words[0]; ++i) {
        if (std::strcmp(word, words[i]) == 0) {
            return "imslondu"[i];
        }
    }
    return '?';
}

TEST(FillRecord, ALaterCheckNamesMissingShortAndExtraFiles) {
    for (const LaterCheckCase& c : later_check_cases) {
        SCOPED_TRACE(c.name);
        FillOutcome outcome;
        std::string message;
        ASSERT_TRUE(fill_scripted(fill_room, &outcome, &message)) << message;
        c.change();
        DirectoryReport report = check_directory(&message);
        EXPECT_EQ(exit_code_of_check(), c.exit_code) << report.verdict << " / " << message;
        if (c.verdict[0] == '\0') {
            EXPECT_STREQ(report.verdict, "");
        } else {
            EXPECT_NE(std::string(report.verdict).find(c.verdict), std::string::npos)
                << report.verdict;
        }
        std::string words;
        for (size_t i = 0; i < inputs.count; ++i) {
            DamageTotals totals;
            char text[256];
            words += word_letter(input_verdict(&inputs, i, &check, &totals, text, sizeof text));
        }
        EXPECT_EQ(words, c.words);
        // The files after a missing one are checked at their own places.
        if (report.not_read == 0) {
            EXPECT_EQ(inputs.starts[4], 4 * file_size);
        }
    }
}

TEST(FillRecord, ADamagedRecordIsSaidToBeAndNothingIsChecked) {
    FillOutcome outcome;
    std::string message;
    ASSERT_TRUE(fill_scripted(fill_room, &outcome, &message)) << message;
    scripted.files[record_path][200] ^= 4;
    DirectoryReport report = check_directory(&message);
    EXPECT_EQ(exit_code_of_check(), exit_unverifiable);
    EXPECT_EQ(report.verdict[0], '\0');
    EXPECT_EQ(message, "the fill record \"fill/sprayl-fill.txt\" is damaged: its checksum does"
                       " not match its lines: it was changed or damaged; nothing can be said of"
                       " the fill by it (move it away to check the fill files without it)");
}

// ---- Coverage ----

struct CoverCase {
    uint64_t file_size;
    uint32_t files_there;
    uint64_t free_bytes;
    uint64_t free_files;
    const char* refusal; // "" where the files cover the room
};

const CoverCase cover_cases[] = {
    {uint64_t{1} << 30, 0, uint64_t{100} << 30, no_file_limit, ""},
    {4096, 0, uint64_t{1} << 30, no_file_limit,
     "--file-size 4K cannot cover the 1.00 GiB free in \"fill\": that takes more than 65536"
     " files, and a fill writes at most 65536 files; --file-size 16K or more would do"},
    {4096, 0, uint64_t{128} << 20, 32757,
     "--file-size 4K cannot cover the 128.00 MiB free in \"fill\": that takes 32768 files, and"
     " the file system can make only 32755 more files (free inodes); --file-size 8K or more"
     " would do"},
    {uint64_t{1} << 20, 0, uint64_t{110} << 20, 117, ""},
    {uint64_t{256} << 10, 0, uint64_t{113} << 20, 117,
     "that takes 452 files, and the file system can make only 115 more files (free inodes);"
     " --file-size 1M or more would do"},
    {uint64_t{1} << 30, 0, uint64_t{1} << 30, 1,
     "the file system can make only 0 more files (free inodes); no file size would do"},
    {uint64_t{1} << 30, 65530, uint64_t{10} << 30, no_file_limit,
     "and a fill writes at most 65536 files; --file-size 2G or more would do"},
};

TEST(FillCoverage, AFileSizeThatCannotCoverTheRoomIsRefused) {
    for (const CoverCase& c : cover_cases) {
        char message[512] = "";
        bool covers = fill_can_cover("fill", c.file_size, c.files_there, c.free_bytes, c.free_files,
                                     message, sizeof message);
        EXPECT_EQ(covers, c.refusal[0] == '\0') << message;
        EXPECT_NE(std::string(message).find(c.refusal), std::string::npos) << message;
    }
}

struct ShortFillCase {
    const char* name;
    void (*during)(); // once the fill is ready to write
    FillStop stop;
    int exit_code;
    const char* verdict; // a part of it
};

const ShortFillCase short_fill_cases[] = {
    {"full", [] {}, stop_full, exit_intact, ""},
    // Four files: the record and three fill files.
    {"no more files after three", [] { scripted.free_files = 4; }, stop_no_more_files,
     exit_unconfirmed,
     "tested 300000 of 4004096 bytes (292.97 KiB of 3.82 MiB, 7.49%): the fill ended short of"
     " the free room: the file system made no more files: it has no free inodes left; the bytes"
     " read are intact"},
    {"a file system that stops growing",
     [] {
         scripted.write_error_at = 250000;
         scripted.write_error = ENOSPC;
     },
     stop_full, exit_unconfirmed,
     "tested 250000 of 4004096 bytes (244.14 KiB of 3.82 MiB, 6.24%): the fill ended short of"
     " the free room: the file system took no more: No space left on device"},
    {"one that stops within what a file system keeps for itself",
     [] {
         scripted.write_error_at = 4000000 - 1000000;
         scripted.write_error = ENOSPC;
     },
     stop_full, exit_intact, ""},
};

TEST(FillCoverage, AFillThatEndsShortOfTheRoomIsNeverIntact) {
    for (const ShortFillCase& c : short_fill_cases) {
        SCOPED_TRACE(c.name);
        FillOutcome outcome;
        std::string message;
        ASSERT_TRUE(fill_scripted(4000000, &outcome, &message, c.during)) << message;
        EXPECT_EQ(outcome.stop, c.stop);
        EXPECT_EQ(start.record.end, fill_complete);
        DirectoryReport report = check_directory(&message);
        EXPECT_EQ(exit_code_of_check(), c.exit_code) << report.verdict;
        EXPECT_NE(std::string(report.verdict).find(c.verdict), std::string::npos) << report.verdict;
        EXPECT_EQ(report.coverage.short_of_room, c.exit_code != exit_intact);
        if (c.exit_code != exit_intact) {
            EXPECT_STREQ(verdict.result, "UNCONFIRMED, not all of the free room was tested");
            EXPECT_STREQ(run_outcome_word(verdict.outcome), "unconfirmed");
        }
    }
}

// ---- A directory that goes away ----

struct GoneCase {
    const char* name;
    DirectoryState state;
    int error;
    const char* message;
};

const GoneCase gone_cases[] = {
    {"removed", directory_removed, ENOENT,
     "\"fill\" was removed while the work went on in it; what is there cannot be checked, and"
     " nothing is said of what the drive keeps"},
    {"renamed", directory_moved, ENOENT, "\"fill\" was renamed or moved while the work went on"},
    {"unmounted", directory_unmounted, EIO,
     "the file system of \"fill\" was unmounted while the work went on in it"},
    {"its FUSE daemon gone", directory_unreachable, ENOTCONN,
     "the file system of \"fill\" stopped answering (Transport endpoint is not connected)"},
    {"shut down", directory_shut_down, EIO, "the file system of \"fill\" was shut down"},
};

TEST(FillGone, ADirectoryThatGoesAwayIsSaidToAndNeverBlamedOnTheDrive) {
    for (const GoneCase& c : gone_cases) {
        SCOPED_TRACE(c.name);
        FillOutcome outcome;
        std::string message;
        bool filled = fill_scripted(fill_room, &outcome, &message, [&c] {
            scripted.gone_at_write = 3;
            scripted.gone_state = c.state;
            scripted.gone_error = c.error;
        });
        EXPECT_FALSE(filled);
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
        EXPECT_EQ(message.find("did not keep"), std::string::npos) << message;
        EXPECT_FALSE(outcome.finding.found);
        EXPECT_EQ(outcome.stop, stop_failed);
        // Nothing written after it went.
        EXPECT_TRUE(scripted.files[fill_path(3)].empty());
        EXPECT_EQ(scripted.files.count(fill_path(4)), 0u);
    }
}

// ---- A drive that turns read-only or stops answering at a write ----

// Five files of 100000 bytes would fit; the drive fails in the third.
struct DriveEventCase {
    const char* name;
    void (*script)();
    FillStop stop;
    PastCapacity event;
    uint32_t files; // fill files there when it stopped, the failed one where bytes went in
    const char* message;
    uint64_t bytes_before = 2 * file_size; // vouched for: the files before the failed one
};

const DriveEventCase drive_event_cases[] = {
    {"stops answering",
     [] {
         scripted.gone_at_write = 3;
         scripted.gone_state = directory_drive_gone;
         scripted.gone_error = EIO;
     },
     stop_drive_event, past_gone, 2,
     "the drive under \"fill\" stopped answering at a write of \"fill/sprayl-00003.bin\""
     " (Input/output error)"},
    {"stops answering at its first write",
     [] {
         scripted.gone_at_write = 1;
         scripted.gone_state = directory_drive_gone;
         scripted.gone_error = EIO;
     },
     stop_drive_event, past_gone, 0,
     "the drive under \"fill\" stopped answering at a write of \"fill/sprayl-00001.bin\""
     " (Input/output error)",
     0},
    {"turns read-only: its writes fail with EIO, the record's too",
     [] {
         scripted.write_error_at = 250000;
         scripted.write_error = EIO;
         scripted.read_only_after_error = true;
     },
     stop_drive_event, past_read_only, 3,
     "the drive under \"fill\" took no more writes, the fill's record's neither, from a write"
     " of \"fill/sprayl-00003.bin\""
     " (Input/output error)"},
    {"turns read-only: its file system says so",
     [] {
         scripted.write_error_at = 250000;
         scripted.write_error = EROFS;
         scripted.read_only_after_error = true;
     },
     stop_drive_event, past_read_only, 3,
     "the drive under \"fill\" took no more writes, the fill's record's neither, from a write"
     " of \"fill/sprayl-00003.bin\""
     " (Read-only file system)"},
    {"turns read-only: its first flush fails, the record's writes too",
     [] {
         scripted.flush_error = EIO;
         scripted.write_error_at = UINT64_MAX; // what the writes after the flush fail with
         scripted.write_error = EIO;
         scripted.read_only_after_error = true;
     },
     stop_drive_event, past_read_only, 1,
     "the drive under \"fill\" took no more writes, the fill's record's neither, from a write"
     " of \"fill/sprayl-00001.bin\" (Input/output error)",
     0},
    {"one write fails, the record is written: no event",
     [] {
         scripted.write_error_at = 250000;
         scripted.write_error = EIO;
     },
     stop_failed, past_nothing, 2, "cannot write \"fill/sprayl-00003.bin\": Input/output error"},
};

TEST(FillDriveEvent, ADriveThatStopsTakingWritesIsNamedForIt) {
    for (const DriveEventCase& c : drive_event_cases) {
        SCOPED_TRACE(c.name);
        FillOutcome outcome;
        std::string message;
        bool filled = fill_scripted(fill_room, &outcome, &message, c.script);
        // The drive's event leaves a fill to judge; any other failure none.
        EXPECT_EQ(filled, c.stop == stop_drive_event) << message;
        EXPECT_EQ(outcome.stop, c.stop);
        EXPECT_EQ(outcome.event, c.event);
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(outcome.files, c.files);
        EXPECT_FALSE(outcome.finding.found);
        if (c.stop == stop_drive_event) {
            // Vouched for: the files written, flushed and sampled before
            // the write that failed; why it ended is the message.
            EXPECT_EQ(outcome.bytes_before, c.bytes_before);
            EXPECT_EQ(std::string(outcome.why), c.message);
            EXPECT_EQ(start.record.end, fill_failed);
        }
        EXPECT_EQ(scripted.files.count(fill_path(4)), 0u);
    }
}

TEST(FillGone, AFileOnAnotherFileSystemIsRemovedAndTheFillStops) {
    FillOutcome outcome;
    std::string message;
    EXPECT_FALSE(
        fill_scripted(fill_room, &outcome, &message, [] { scripted.lands_elsewhere = true; }));
    EXPECT_EQ(message, "\"fill/sprayl-00001.bin\" was made on another file system than the one"
                       " the fill began on: it was removed again, and the fill stops");
    EXPECT_EQ(scripted.files.count(fill_path(1)), 0u);
}

} // namespace
