// The report for programs (--json) and the chart (--plot), read back with
// python3's own parsers and held against the text report: for a stream,
// files, a directory, a fill, an interrupted check and a failed one.
#include "check_test_support.h"
#include "program_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const std::string report_fields = REPORT_FIELDS_SCRIPT;

// The values at paths in the JSON file (or the counts of SVG tags), as
// report_fields.py prints them; empty when the file does not parse.
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

// The rest of the text report's line that starts with label, as a JSON
// string or a number; "" when there is no such line.
std::string after(const std::string& report, const std::string& label, bool as_string) {
    size_t at = ("\n" + report).find("\n" + label);
    if (at == std::string::npos) {
        return "";
    }
    size_t start = at + label.size();
    std::string rest = report.substr(start, report.find('\n', start) - start);
    if (as_string) {
        return "\"" + rest + "\"";
    }
    return rest.substr(0, rest.find(' '));
}

// The text of a JSON string of ASCII characters.
std::string unquoted(const std::string& json) {
    std::string text;
    for (size_t i = 1; i + 1 < json.size(); ++i) {
        i += json[i] == '\\' ? size_t{1} : size_t{0};
        text += json[i];
    }
    return text;
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
         sprayl + " | " + sprayl_check + " --json JSON_FILE & sleep 0.5; kill -INT $!; wait $!",
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
        std::vector<std::string> got =
            fields(json_file, {"version.schema", "mode", "result", "exit_code", "error"});
        ASSERT_EQ(got.size(), 5u);
        EXPECT_EQ(got[0], "1");
        EXPECT_EQ(got[1], "\"" + std::string(c.mode) + "\"");
        EXPECT_EQ(got[2], "\"" + std::string(c.result) + "\"");
        EXPECT_EQ(got[3], std::to_string(c.exit_code));
        if (!c.checked) {
            EXPECT_EQ(run.err, "sprayl-check: " + unquoted(got[4]) + "\n");
            EXPECT_EQ(fields(json_file, {"check"}), std::vector<std::string>{"null"});
            continue;
        }
        EXPECT_EQ(got[4], "null");
        got = fields(json_file, {"verdict", "check.bytes.read", "check.stretch_count"});
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[0], after(report, "verdict: ", true)) << report;
        EXPECT_EQ(got[1], after(report, "bytes read: ", false)) << report;
        std::string stretches = after(report, "damaged stretches: ", false);
        EXPECT_EQ(got[2], stretches.empty() ? "0" : stretches) << report;
        if (!after(report, "bytes intact: ", false).empty()) {
            EXPECT_EQ(fields(json_file, {"check.bytes.intact"}),
                      std::vector<std::string>{after(report, "bytes intact: ", false)});
        }
        for (size_t i = 0; i < c.file_lines.size(); ++i) {
            std::string prefix = "inputs.files." + std::to_string(i) + ".";
            got = fields(json_file, {prefix + "name", prefix + "verdict_text", prefix + "verdict"});
            ASSERT_EQ(got.size(), 3u);
            std::string line =
                got[0].substr(1, got[0].size() - 2) + ": " + got[1].substr(1, got[1].size() - 2);
            EXPECT_EQ(line.rfind(c.file_lines[i], 0), 0u) << line;
            EXPECT_TRUE(has_line(report, "  " + line)) << line << "\n" << report;
            EXPECT_EQ(got[2], "\"" + c.file_verdicts[i] + "\"");
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
    EXPECT_EQ(fields(directory + "/names.json", {"inputs.files.0.name", "result"}),
              (std::vector<std::string>{"\"q\\\"b\\\\s\\u001b\\n\\u00e9.bin\"", "\"intact\""}));
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
    std::vector<std::string> got =
        fields(json_file, {"mode", "result", "fill.bytes_written", "fill.files", "check.bytes.read",
                           "rates.write.stretch_bytes", "rates.read.stretch_bytes"});
    ASSERT_EQ(got.size(), 7u);
    EXPECT_EQ(got[0], "\"fill\"");
    EXPECT_EQ(got[1], "\"intact\"");
    EXPECT_EQ(got[2], after(run.out, "written: ", false));
    EXPECT_EQ(got[4], got[2]);
    EXPECT_EQ(got[5], std::to_string(3 << 20));
    EXPECT_EQ(got[6], got[5]);
    uint64_t files = std::strtoull(got[3].c_str(), nullptr, 10);
    uint64_t bytes = std::strtoull(got[2].c_str(), nullptr, 10);
    EXPECT_TRUE(has_line(run.out, "files: " + got[3] + ", in this order as one stream")) << run.out;
    // A rate for every 3 MiB of the stream (the first fill files are
    // smaller), together all of it.
    ProgramRun count = run_shell(
        "python3 -c 'import json,sys; d=json.load(open(sys.argv[1]));"
        " print(len(d[\"rates\"][\"write\"][\"stretches\"]), len(d[\"inputs\"][\"files\"]),"
        " sum(s[\"bytes\"] for s in d[\"rates\"][\"write\"][\"stretches\"]))' " +
        json_file);
    uint64_t stretches = (bytes + (3 << 20) - 1) / (3 << 20);
    EXPECT_EQ(count.out, std::to_string(stretches) + " " + std::to_string(files) + " " +
                             std::to_string(bytes) + "\n")
        << count.err;
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
