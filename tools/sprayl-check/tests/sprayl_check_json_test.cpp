// The report for programs (--json), read back with the tests' own strict
// JSON reader, and the chart (--plot), read back with python3's XML parser,
// held against the text report: for a stream, files, a directory, a fill,
// an interrupted check and a failed one.
#include "check_test_support.h"
#include "json_reader.h"
#include "program_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const std::string report_fields = report_fields_script_path;

// The counts of the SVG tags in the chart file, as report_fields.py prints
// them; empty when the file does not parse.
std::vector<std::string> fields(const std::string& file, const std::vector<std::string>& paths) {
    std::string command = "python3 " + report_fields + " '" + file + "'";
    for (const std::string& path : paths) {
        command += " " + path;
    }
    ProgramRun run = run_shell(command);
    EXPECT_EQ(run.exit_code, 0) << file << ": " << run.err;
    std::vector<std::string> values;
    size_t at = 0;
    for (size_t end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1) {
        values.push_back(run.out.substr(at, end - at));
    }
    return values;
}

// The JSON file as a document; a file that is not strict JSON fails the test.
JsonValue json_file_document(const std::string& file) {
    JsonValue document;
    std::string error;
    EXPECT_TRUE(parse_json(read_all_text(file), &document, &error)) << file << ": " << error;
    return document;
}

// The rest of the text report's line that starts with label; "" when there
// is no such line.
std::string after(const std::string& report, const std::string& label) {
    size_t at = ("\n" + report).find("\n" + label);
    if (at == std::string::npos) {
        return "";
    }
    size_t start = at + label.size();
    return report.substr(start, report.find('\n', start) - start);
}

// The first word of that: a number.
std::string first_word_after(const std::string& report, const std::string& label) {
    std::string rest = after(report, label);
    return rest.substr(0, rest.find(' '));
}

struct ModeCase {
    const char* name;
    std::string command; // the whole shell command; JSON_FILE stands for the file
    bool json_on_stdout; // --json -: the text report on standard error
    int exit_code;
    const char* mode;
    const char* result;
    bool checked;                        // a check ran, so its numbers are in both reports
    std::vector<std::string> file_lines; // "name: verdict" of the text report, in order
    std::vector<std::string> file_verdicts;
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at; (at = text.find(from)) != std::string::npos;) {
        text.replace(at, from.size(), to);
    }
    return text;
}

TEST(JsonReport, EveryModeAgreesWithTheTextReport) {
    const size_t piece = 40000;
    Bytes stream = test_stream(3 * piece);
    std::string parts[3];
    std::filesystem::create_directories(scratch_path("json-fills"));
    for (size_t i = 0; i < 3; ++i) {
        Bytes part(stream.begin() + static_cast<long>(i * piece),
                   stream.begin() + static_cast<long>((i + 1) * piece));
        if (i == 1) {
            part[500] ^= 0x11;
        }
        parts[i] = write_file("json-part" + std::to_string(i + 1) + ".bin", part);
        if (i != 1) {
            write_file("json-fills/sprayl-0000" + std::to_string(i + 1) + ".bin", part);
        }
    }
    const std::string check = sprayl_check + " --json JSON_FILE ";
    const ModeCase cases[] = {
        {"stream",
         sprayl + " | head -c 1000000 | " + sprayl_check + " --json -",
         true,
         0,
         "stream",
         "intact",
         true,
         {},
         {}},
        {"files",
         check + parts[0] + " " + parts[1] + " " + parts[2],
         false,
         1,
         "files",
         "damaged",
         true,
         {parts[0] + ": intact", parts[1] + ": DAMAGED: 1 byte altered", parts[2] + ": intact"},
         {"intact", "damaged", "intact"}},
        {"directory with a file missing",
         check + scratch_path("json-fills"),
         false,
         1,
         "directory",
         "damaged",
         true,
         {"sprayl-00001.bin: intact", "sprayl-00002.bin: MISSING", "sprayl-00003.bin: DAMAGED"},
         {"intact", "missing", "damaged"}},
        {"interrupted",
         // Stopped once it has read 4 MiB, while its input goes on.
         "rm -f JSON_FILE.in; mkfifo JSON_FILE.in; " + sprayl_check +
             " --json JSON_FILE < JSON_FILE.in & c=$!; " + sprayl +
             " | { dd bs=64k count=64 iflag=fullblock status=none; kill -INT $c; cat; }"
             " > JSON_FILE.in; wait $c",
         false,
         130,
         "stream",
         "interrupted",
         true,
         {},
         {}},
        {"failed",
         check + scratch_path("no-such-file.bin"),
         false,
         2,
         "files",
         "failed",
         false,
         {},
         {}},
        {"too short",
         "head -c 20 " + parts[0] + " | " + sprayl_check + " --json -",
         true,
         2,
         "stream",
         "too_short",
         true,
         {},
         {}},
    };
    for (const ModeCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string json_file = scratch_path(std::string("mode-") + c.mode + ".json");
        std::filesystem::remove(json_file);
        ProgramRun run = run_shell(replaced(c.command, "JSON_FILE", json_file));
        ASSERT_EQ(run.exit_code, c.exit_code) << run.out << run.err;
        std::string report = run.out;
        if (c.json_on_stdout) {
            json_file = write_file(std::string("stdout-") + c.mode + ".json",
                                   Bytes(run.out.begin(), run.out.end()));
            report = run.err;
        }
        JsonValue json = json_file_document(json_file);
        EXPECT_EQ(json_text_at(json, "version.schema"), "1");
        EXPECT_EQ(json_text_at(json, "mode"), c.mode);
        EXPECT_EQ(json_text_at(json, "result"), c.result);
        EXPECT_EQ(json_text_at(json, "exit_code"), std::to_string(c.exit_code));
        if (!c.checked) {
            EXPECT_EQ(run.err, "sprayl-check: " + json_text_at(json, "error") + "\n");
            EXPECT_EQ(json_text_at(json, "check"), "null");
            continue;
        }
        EXPECT_EQ(json_text_at(json, "error"), "null");
        EXPECT_EQ(json_text_at(json, "verdict"), after(report, "verdict: ")) << report;
        EXPECT_EQ(json_text_at(json, "check.bytes.read"), first_word_after(report, "bytes read: "))
            << report;
        std::string stretches = first_word_after(report, "damaged stretches: ");
        EXPECT_EQ(json_text_at(json, "check.stretch_count"), stretches.empty() ? "0" : stretches)
            << report;
        if (!after(report, "bytes intact: ").empty()) {
            EXPECT_EQ(json_text_at(json, "check.bytes.intact"),
                      first_word_after(report, "bytes intact: "));
        }
        for (size_t i = 0; i < c.file_lines.size(); ++i) {
            std::string prefix = "inputs.files." + std::to_string(i) + ".";
            std::string line = json_text_at(json, prefix + "name") + ": " +
                               json_text_at(json, prefix + "verdict_text");
            EXPECT_EQ(line.rfind(c.file_lines[i], 0), 0u) << line;
            EXPECT_TRUE(has_line(report, "  " + line)) << line << "\n" << report;
            EXPECT_EQ(json_text_at(json, prefix + "verdict"), c.file_verdicts[i]);
        }
    }
}

// File names can hold any byte: the JSON escapes what it must, parses, and
// gives the name back.
TEST(JsonReport, FileNamesOfAnyBytes) {
    std::string directory = scratch_path("json-names");
    std::filesystem::create_directories(directory);
    const std::string name = "q\"b\\s\x1b\n\xe9.bin";
    write_file("json-names/" + name, test_stream(50000));
    ProgramRun run =
        run_shell("cd " + directory + " && " + sprayl_check + " --json names.json q*.bin");
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    std::string text = read_all_text(directory + "/names.json");
    EXPECT_NE(text.find("\"q\\\"b\\\\s\\u001b\\n\\u00e9.bin\""), std::string::npos) << text;
    JsonValue json = json_file_document(directory + "/names.json");
    EXPECT_EQ(json_text_at(json, "inputs.files.0.name"), "q\"b\\s\x1b\n\xc3\xa9.bin");
    EXPECT_EQ(json_text_at(json, "result"), "intact");
}

TEST(JsonReport, AFillWithItsRatesAndItsChart) {
    std::string why_not;
    std::string mount_point = mount_small_tmpfs("json-fill", 16 << 10, &why_not);
    if (mount_point.empty()) {
        GTEST_SKIP() << why_not;
    }
    std::string json_file = scratch_path("fill.json");
    std::string plot_file = scratch_path("fill.svg");
    ProgramRun run = run_shell(sprayl_check + " --fill " + mount_point + " --file-size 3M --json " +
                               json_file + " --plot " + plot_file);
    run_shell("umount " + mount_point);
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("\nwrite speed: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\nread speed: "), std::string::npos) << run.out;
    JsonValue json = json_file_document(json_file);
    std::string bytes_written = json_text_at(json, "fill.bytes_written");
    EXPECT_EQ(json_text_at(json, "mode"), "fill");
    EXPECT_EQ(json_text_at(json, "result"), "intact");
    EXPECT_EQ(bytes_written, first_word_after(run.out, "written: "));
    EXPECT_EQ(json_text_at(json, "check.bytes.read"), bytes_written);
    EXPECT_EQ(json_text_at(json, "rates.write.stretch_bytes"), std::to_string(3 << 20));
    EXPECT_EQ(json_text_at(json, "rates.read.stretch_bytes"), std::to_string(3 << 20));
    uint64_t files = json_number(json_at(json, "fill.files"));
    uint64_t bytes = json_number(json_at(json, "fill.bytes_written"));
    EXPECT_TRUE(
        has_line(run.out, "files: " + std::to_string(files) + ", in this order as one stream"))
        << run.out;
    // A rate for every 3 MiB of the stream (the first fill files are
    // smaller), together all of it.
    const JsonValue* stretches = json_at(json, "rates.write.stretches");
    ASSERT_NE(stretches, nullptr);
    uint64_t sum = 0;
    for (const JsonValue& stretch : stretches->items) {
        sum += json_number(json_at(stretch, "bytes"));
    }
    EXPECT_EQ(stretches->items.size(), (bytes + (3 << 20) - 1) / (3 << 20));
    EXPECT_EQ(json_at(json, "inputs.files")->items.size(), files);
    EXPECT_EQ(sum, bytes);
    // The chart: a line for each rate, and no damage to shade.
    EXPECT_EQ(fields(plot_file, {"polyline", "rect"}), (std::vector<std::string>{"2", "2"}));
}

TEST(PlotFile, DamageIsShadedAndAStreamHasNoRates) {
    Bytes damaged = test_stream(300000);
    for (size_t i = 100000; i < 104096; ++i) {
        damaged[i] = 0;
    }
    std::string file = write_file("plot-damaged.bin", damaged);
    std::string intact = write_file("plot-intact.bin", test_stream(300000));
    std::string plot_file = scratch_path("plot.svg");
    struct Case {
        std::string command;
        int exit_code;
        std::vector<std::string> counts; // polyline, rect
    };
    const Case cases[] = {
        // The background and the frame.
        {intact, 0, {"1", "2"}},
        // And the shaded area, and its key in the legend.
        {file, 1, {"1", "4"}},
        {"- < " + file, 1, {"0", "4"}},
    };
    for (const Case& c : cases) {
        ProgramRun run = run_shell(sprayl_check + " --plot " + plot_file + " " + c.command);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.command << run.err;
        EXPECT_EQ(fields(plot_file, {"polyline", "rect"}), c.counts) << c.command;
    }
}

// A report that cannot be written fails the run, whatever the check found,
// and the text report, written after it, says so.
TEST(JsonReport, AFileThatCannotBeWrittenFailsTheRun) {
    std::string intact = write_file("unwritable-report.bin", test_stream(100000));
    const char* options[] = {"--json /dev/full", "--plot /dev/full",
                             "--json /no-such-directory/r.json"};
    for (const char* option : options) {
        ProgramRun run = run_shell(sprayl_check + " " + option + " " + intact);
        EXPECT_EQ(run.exit_code, 2) << option;
        EXPECT_EQ(run.err.rfind("sprayl-check: cannot write \"/", 0), 0u) << option << run.err;
        EXPECT_NE(run.out.find("\nresult: FAILED, cannot write \"/"), std::string::npos)
            << option << run.out;
        EXPECT_EQ(run.out.rfind("verdict: intact: all 100000 bytes", 0), 0u) << option << run.out;
    }
}

} // namespace
