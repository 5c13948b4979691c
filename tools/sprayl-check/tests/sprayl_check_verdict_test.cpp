// One verdict, said the same everywhere: for every kind of damage that the
// check tells apart, in a stream, in files and in a directory of fill
// files, and for a fill, the text report's verdict and result lines, the
// report for programs' verdict, result and exit code, and the process's
// exit code agree; also where a report file that cannot be written fails
// the run after the check.
#include "check_test_support.h"
#include "json_reader.h"
#include "program_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

// The exit code that each result word stands for, as the help text gives
// them.
int exit_code_of_word(const std::string& word) {
    const struct {
        const char* word;
        int exit_code;
    } rows[] = {{"intact", 0},     {"damaged", 1},       {"unconfirmed", 3}, {"too_short", 2},
                {"incomplete", 2}, {"interrupted", 130}, {"failed", 2}};
    for (const auto& row : rows) {
        if (word == row.word) {
            return row.exit_code;
        }
    }
    return -1;
}

// The result word that the text report's result line says in words.
std::string word_of_result_line(const std::string& line) {
    const struct {
        const char* start;
        const char* word;
    } rows[] = {{"intact", "intact"},
                {"DAMAGED", "damaged"},
                {"UNCONFIRMED, ", "unconfirmed"},
                {"NOT CHECKED, too short", "too_short"},
                {"INCOMPLETE, stopped at offset ", "interrupted"},
                {"INCOMPLETE, the input could not be read", "incomplete"},
                {"FAILED, ", "failed"}};
    for (const auto& row : rows) {
        if (line.rfind(row.start, 0) == 0) {
            return row.word;
        }
    }
    return "(no result line: " + line + ")";
}

// The rest of the line of text that starts with label; "(none)" where no
// line does.
std::string line_after(const std::string& text, const std::string& label) {
    size_t at = ("\n" + text).find("\n" + label);
    if (at == std::string::npos) {
        return "(none)";
    }
    size_t start = at + label.size();
    return text.substr(start, text.find('\n', start) - start);
}

// Holds the run's text report (report), its report for programs (json) and
// its exit code against each other.
void expect_one_verdict(const ProgramRun& run, const std::string& report, const std::string& json) {
    JsonValue document;
    std::string error;
    ASSERT_TRUE(parse_json(json, &document, &error)) << error << "\n" << json;
    std::string word = json_text_at(document, "result");
    EXPECT_EQ(json_text_at(document, "exit_code"), std::to_string(run.exit_code));
    EXPECT_EQ(exit_code_of_word(word), run.exit_code) << word;
    std::string result_line = line_after(report, "result: ");
    if (result_line == "(none)") {
        // No check ran: nothing but the error says how the run went.
        EXPECT_EQ(word, "failed") << report;
        EXPECT_EQ(json_text_at(document, "verdict"), "null");
    } else {
        EXPECT_EQ(word_of_result_line(result_line), word) << report;
        EXPECT_EQ(json_text_at(document, "verdict"), line_after(report, "verdict: ")) << report;
    }
    std::string why = json_text_at(document, "error");
    if (word == "failed") {
        EXPECT_NE(why, "null");
        EXPECT_NE(run.err.find("sprayl-check: " + why + "\n"), std::string::npos) << run.err;
    }
}

// A stream damaged as one of the fuzzer's recipes damages it (its seeds in
// tests/fuzz/make_check_corpus.cpp), and --size where the input should be
// longer.
struct Damage {
    const char* name;
    Bytes (*make)(const Bytes& stream);
    const char* size_option;
};

const size_t stream_bytes = 200000;

Bytes part(const Bytes& bytes, size_t start, size_t end) {
    return Bytes(bytes.begin() + static_cast<long>(start), bytes.begin() + static_cast<long>(end));
}

Bytes joined(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Damage damages[] = {
    {"intact", [](const Bytes& s) { return s; }, ""},
    {"altered",
     [](const Bytes& s) {
         Bytes d = s;
         for (size_t i = 60000; i < 60100; i += 7) {
             d[i] ^= 0x24;
         }
         return d;
     },
     ""},
    {"lost", [](const Bytes& s) { return joined(part(s, 0, 60000), part(s, 80000, s.size())); },
     ""},
    {"repeated", [](const Bytes& s) { return joined(part(s, 0, 60000), part(s, 40000, s.size())); },
     ""},
    {"blank",
     [](const Bytes& s) {
         Bytes d = s;
         std::fill(d.begin() + 60000, d.begin() + 90000, 0xFF);
         return d;
     },
     ""},
    {"stale",
     [](const Bytes& s) {
         Bytes other = make_stream(1, 2, 3, 4, s.size());
         return joined(joined(part(s, 0, 60000), part(other, 60000, 90000)),
                       part(s, 90000, s.size()));
     },
     ""},
    {"written over",
     [](const Bytes& s) {
         return joined(joined(part(s, 0, 65536), part(s, 0, 16384)), part(s, 81920, s.size()));
     },
     ""},
    {"foreign",
     [](const Bytes& s) {
         Bytes d = s;
         for (size_t i = 60000; i < 60600; ++i) {
             d[i] = static_cast<unsigned char>(i * 131 >> 3);
         }
         return d;
     },
     ""},
    {"short", [](const Bytes& s) { return part(s, 0, 10); }, ""},
    {"missing", [](const Bytes& s) { return s; }, " --size 208198"},
};

TEST(OneVerdict, EveryDamageInEveryModeIsSaidAlikeEverywhere) {
    Bytes stream = test_stream(stream_bytes);
    std::string json_file = scratch_path("verdict.json");
    for (const Damage& damage : damages) {
        Bytes input = damage.make(stream);
        size_t half = input.size() / 2;
        std::string whole = write_file("verdict-whole.bin", input);
        std::string first = write_file("verdict-1.bin", part(input, 0, half));
        std::string second = write_file("verdict-2.bin", part(input, half, input.size()));
        std::string directory = scratch_path("verdict-fill");
        std::filesystem::remove_all(directory);
        std::filesystem::create_directories(directory);
        write_bytes(directory + "/sprayl-00001.bin", part(input, 0, half));
        write_bytes(directory + "/sprayl-00002.bin", part(input, half, input.size()));
        // The same with a fill file missing between the two.
        std::string gap = scratch_path("verdict-gap");
        std::filesystem::remove_all(gap);
        std::filesystem::create_directories(gap);
        write_bytes(gap + "/sprayl-00001.bin", part(input, 0, half));
        write_bytes(gap + "/sprayl-00003.bin", part(input, half, input.size()));
        const std::string check = sprayl_check + damage.size_option;
        const struct {
            const char* mode;
            std::string arguments;
            bool json_on_stdout;
        } modes[] = {
            {"stream", " --json - < " + whole, true},
            {"files", " --json " + json_file + " " + first + " " + second, false},
            {"directory", " --json " + json_file + " " + directory, false},
            {"directory with a file missing", " --json " + json_file + " " + gap, false},
        };
        for (const auto& mode : modes) {
            // And with a chart that cannot be written: the run fails after
            // the check, and every report written after it says so.
            for (const char* after : {"", " --plot /dev/full"}) {
                SCOPED_TRACE(std::string(damage.name) + ", " + mode.mode + after);
                std::filesystem::remove(json_file);
                ProgramRun run = run_shell(check + mode.arguments + after);
                std::string json = mode.json_on_stdout ? run.out : read_all_text(json_file);
                expect_one_verdict(run, mode.json_on_stdout ? run.err : run.out, json);
                if (after[0] != '\0') {
                    EXPECT_EQ(run.exit_code, 2);
                }
            }
        }
    }
}

TEST(OneVerdict, AFillIsSaidAlikeEverywhere) {
    std::string json_file = scratch_path("verdict-fill.json");
    for (const char* after : {"", " --plot /dev/full"}) {
        SCOPED_TRACE(after);
        std::string why_not;
        std::string mount_point = mount_small_tmpfs(
            after[0] == '\0' ? "verdict-fill" : "verdict-fill-plot", 8 << 10, &why_not);
        if (mount_point.empty()) {
            GTEST_SKIP() << why_not;
        }
        std::filesystem::remove(json_file);
        ProgramRun run = run_shell(sprayl_check + " --fill " + mount_point +
                                   " --file-size 2M --json " + json_file + after);
        run_shell("umount " + mount_point);
        expect_one_verdict(run, run.out, read_all_text(json_file));
        EXPECT_EQ(run.exit_code, after[0] == '\0' ? 0 : 2) << run.out << run.err;
    }
}

} // namespace
