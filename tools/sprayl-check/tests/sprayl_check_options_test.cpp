// The parts of sprayl-check that turn text into decisions and back: the
// command line, byte counts, fill file names and the progress line.
#include "check_input.h"
#include "check_options.h"
#include "command_word.h"
#include "progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The options parsed, with the texts they point at copied: the words die
// when parse returns.
struct Parsed {
    CheckOptions options;
    std::vector<std::string> inputs;
    std::string fill_directory;
    std::string json_path;
    std::string plot_path;
};

Parsed parse(std::vector<std::string> words) {
    std::vector<char*> argv;
    static std::string program = "sprayl-check";
    argv.push_back(program.data());
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    Parsed parsed;
    parse_options(static_cast<int>(argv.size()), argv.data(), &parsed.options);
    for (int i = 0; i < parsed.options.input_count; ++i) {
        parsed.inputs.push_back(parsed.options.inputs[i]);
    }
    if (parsed.options.fill_directory != nullptr) {
        parsed.fill_directory = parsed.options.fill_directory;
    }
    parsed.json_path = parsed.options.json_path != nullptr ? parsed.options.json_path : "";
    parsed.plot_path = parsed.options.plot_path != nullptr ? parsed.options.plot_path : "";
    parsed.options.inputs = nullptr;
    parsed.options.fill_directory = nullptr;
    parsed.options.json_path = nullptr;
    parsed.options.plot_path = nullptr;
    return parsed;
}

TEST(Options, ArgumentsToActions) {
    struct Case {
        std::vector<std::string> words;
        CheckAction action;
        std::vector<std::string> inputs;
        uint64_t expected_size;
        const char* message; // start of the usage error
    };
    const uint64_t gib = uint64_t{1} << 30;
    const Case cases[] = {
        {{}, action_check, {}, 0, ""},
        {{"a", "b", "c"}, action_check, {"a", "b", "c"}, 0, ""},
        {{"a", "--size", "10M", "b"}, action_check, {"a", "b"}, 10 << 20, ""},
        {{"--size=2G", "a"}, action_check, {"a"}, 2 * gib, ""},
        {{"--", "-x", "--size"}, action_check, {"-x", "--size"}, 0, ""},
        {{"-"}, action_check, {"-"}, 0, ""},
        {{"--fill", "d"}, action_fill, {}, 0, ""},
        {{"--fill=d", "--replace", "--file-size", "1M"}, action_fill, {}, 0, ""},
        {{"a", "--help"}, action_help, {"a"}, 0, ""},
        {{"-h"}, action_help, {}, 0, ""},
        {{"--version", "-x"}, action_version, {}, 0, ""},
        {{"-x"}, action_usage_error, {}, 0, "unknown option \"-x\""},
        {{"--sizes", "1"}, action_usage_error, {}, 0, "unknown option \"--sizes\""},
        {{"a", "--size"}, action_usage_error, {"a"}, 0, "option --size needs a value"},
        {{"--size", "12Q"}, action_usage_error, {}, 0, "--size needs a byte count"},
        {{"--size", "0"}, action_usage_error, {}, 0, "--size needs a byte count"},
        {{"--fill", "d", "f"}, action_usage_error, {"f"}, 0, "--fill checks what it writes"},
        {{"--fill", "d", "--size", "1M"}, action_usage_error, {}, 1 << 20, "--fill knows"},
        {{"--replace", "f"}, action_usage_error, {"f"}, 0, "--replace goes with --fill"},
        {{"--file-size", "1M"}, action_usage_error, {}, 0, "--file-size goes with --fill"},
        {{"--fill", "d", "--resume", "--keep-going"}, action_fill, {}, 0, ""},
        {{"--keep-going", "f"}, action_usage_error, {"f"}, 0, "--keep-going goes with --fill"},
        {{"--resume"}, action_usage_error, {}, 0, "--resume goes with --fill"},
        {{"--fill", "d", "--resume", "--replace"},
         action_usage_error,
         {},
         0,
         "--resume goes on with the fill files there; --replace removes them"},
        {{"a", "-"}, action_usage_error, {"a", "-"}, 0, "standard input (\"-\") cannot"},
        {{"--probe", "/dev/sdb"}, action_probe, {}, 0, ""},
        {{"--probe=/dev/sdb", "--backup", "b", "--file-as-drive"}, action_probe, {}, 0, ""},
        {{"--destructive", "--probe", "/dev/sdb"}, action_probe, {}, 0, ""},
        {{"--restore", "b", "/dev/sdb"}, action_restore, {"/dev/sdb"}, 0, ""},
        {{"--probe", "/dev/sdb", "f"}, action_usage_error, {"f"}, 0, "--probe takes one drive"},
        {{"--probe", "d", "--fill", "e"}, action_usage_error, {}, 0, "--probe goes with neither"},
        {{"--probe", "d", "--restore", "b"}, action_usage_error, {}, 0, "--restore: --probe and"},
        {{"--probe", "d", "--destructive", "--backup", "b"},
         action_usage_error,
         {},
         0,
         "--destructive saves nothing"},
        {{"--restore", "b"}, action_usage_error, {}, 0, "--restore needs the backup and"},
        {{"--restore", "b", "d", "--destructive"},
         action_usage_error,
         {"d"},
         0,
         "--destructive goes with --probe"},
        {{"--backup", "b", "f"}, action_usage_error, {"f"}, 0, "--backup goes with --probe"},
        {{"--file-as-drive"}, action_usage_error, {}, 0, "--file-as-drive goes with --probe"},
        {{"--json", "r.json", "a"}, action_check, {"a"}, 0, ""},
        {{"--fill", "d", "--plot=p.svg", "--json", "-"}, action_fill, {}, 0, ""},
        {{"--plot", "-", "a"}, action_usage_error, {"a"}, 0, "--plot needs a file name"},
        {{"a", "--json"}, action_usage_error, {"a"}, 0, "option --json needs a value"},
        // Each option once: a second value would silently win.
        {{"--json", "a", "--json", "b", "f"},
         action_usage_error,
         {},
         0,
         "option --json is given twice"},
        {{"--size", "1", "--size=2"}, action_usage_error, {}, 1, "option --size is given twice"},
        {{"--fill", "A", "--fill", "B"}, action_usage_error, {}, 0, "option --fill is given twice"},
        {{"f", "--replace", "--fill=d", "--replace"},
         action_usage_error,
         {"f"},
         0,
         "option --replace is given twice"},
        {{"--probe", "d", "--plot", "p.svg"},
         action_usage_error,
         {},
         0,
         "--plot goes with a check, a fill or --speed"},
        {{"--probe", "d", "--json", "p.json"}, action_probe, {}, 0, ""},
        {{"--restore", "b", "d", "--json", "r.json"},
         action_usage_error,
         {"d"},
         0,
         "--json goes with a check, a fill, --speed or a probe, not with --restore"},
    };
    for (const Case& c : cases) {
        std::string words;
        for (const std::string& word : c.words) {
            words += word + " ";
        }
        Parsed parsed = parse(c.words);
        EXPECT_EQ(parsed.options.action, c.action) << words << parsed.options.message;
        EXPECT_EQ(parsed.inputs, c.inputs) << words;
        EXPECT_EQ(parsed.options.expected_size, c.expected_size) << words;
        EXPECT_EQ(std::string(parsed.options.message).rfind(c.message, 0), 0u)
            << words << ": " << parsed.options.message;
    }
    Parsed fill = parse({"--file-size=4K", "--replace", "--fill", "mnt"});
    EXPECT_EQ(fill.fill_directory, "mnt");
    EXPECT_EQ(fill.options.file_size, 4096u);
    EXPECT_TRUE(fill.options.replace);
    EXPECT_EQ(parse({"--fill", "mnt"}).options.file_size, default_fill_file_size);
    Parsed reports = parse({"--json=-", "--plot", "p.svg", "a"});
    EXPECT_EQ(reports.json_path, "-");
    EXPECT_EQ(reports.plot_path, "p.svg");
}

TEST(Options, ByteCounts) {
    struct Case {
        const char* text;
        bool valid;
        uint64_t value;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"1000", true, 1000},
        {"4k", true, 4096},
        {"3M", true, 3 << 20},
        {"2GiB", true, uint64_t{2} << 30},
        {"1T", true, uint64_t{1} << 40},
        {"18446744073709551615", true, UINT64_MAX},
        {"18446744073709551616", false, 0},
        {"16777216T", false, 0},
        {"", false, 0},
        {"M", false, 0},
        {"-1", false, 0},
        {"1.5G", false, 0},
        {"1KB", false, 0},
        {"1 K", false, 0},
        {"1X", false, 0},
    };
    for (const Case& c : cases) {
        uint64_t value = 0;
        EXPECT_EQ(parse_byte_count(c.text, &value), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST(FillFiles, NamesSortInTheirOrder) {
    struct Case {
        const char* name;
        bool valid;
        uint32_t number;
    };
    const Case cases[] = {
        {"sprayl-00001.bin", true, 1},       {"sprayl-00042.bin", true, 42},
        {"sprayl-65536.bin", true, 65536},   {"sprayl-65537.bin", false, 0},
        {"sprayl-00000.bin", false, 0},      {"sprayl-0001.bin", false, 0},
        {"sprayl-00001.bin.part", false, 0}, {"sprayl-00001.BIN", false, 0},
        {"fill-00001.bin", false, 0},
    };
    for (const Case& c : cases) {
        uint32_t number = 0;
        EXPECT_EQ(fill_file_number(c.name, &number), c.valid) << c.name;
        EXPECT_EQ(number, c.number) << c.name;
    }
    char path[64];
    fill_file_path("mnt", 7, path, sizeof path);
    EXPECT_STREQ(path, "mnt/sprayl-00007.bin");
    fill_file_path("mnt/", 12345, path, sizeof path);
    EXPECT_STREQ(path, "mnt/sprayl-12345.bin");
}

TEST(Progress, LineFitsTheWidthAndDropsWholeParts) {
    struct Case {
        int width;
        uint64_t done;
        uint64_t total;
        uint64_t damaged;
        const char* line;
    };
    const uint64_t mib = 1 << 20;
    const Case cases[] = {
        {120, 512 * mib, 2048 * mib, 0,
         "checked 512.00 MiB of 2.00 GiB 25%, 268 MB/s, damaged 0 bytes, 0m 06s left"},
        {60, 512 * mib, 2048 * mib, 0, "checked 512.00 MiB of 2.00 GiB 25%, 268 MB/s"},
        {40, 512 * mib, 2048 * mib, 0, "checked 512.00 MiB of 2.00 GiB 25%"},
        {20, 512 * mib, 2048 * mib, 0, "checked 512.00 MiB"},
        {10, 512 * mib, 2048 * mib, 0, ""},
        {120, 512 * mib, 0, 4096, "checked 512.00 MiB, 268 MB/s, damaged 4.00 KiB"},
        {120, 512 * mib, 0, no_damage_count, "checked 512.00 MiB, 268 MB/s"},
        // More than was expected: no percentage beyond 100.
        {120, 2 * mib, mib, 0, "checked 2.00 MiB, 1.0 MB/s, damaged 0 bytes"},
    };
    for (const Case& c : cases) {
        char line[256];
        double rate = static_cast<double>(c.done) / 2.0; // as it was all along
        format_progress(line, sizeof line, c.width, "checked", c.done, c.total, rate, rate,
                        c.damaged);
        EXPECT_STREQ(line, c.line) << c.width;
        EXPECT_LT(std::string(line).size(), static_cast<size_t>(c.width));
    }
}

// The command the user is told to run, pasted as it is into the shell of
// the system: a path that is one word there as it is, and one quoted.
TEST(CommandWord, QuotesForTheShellThatRunsIt) {
    struct Case {
        std::string path;
        CommandShell shell;
        std::string word;
    };
    const Case cases[] = {
        {"/dev/sdb", shell_posix, "/dev/sdb"},
        {"sprayl-probe-sdb-20250101-120000.backup", shell_posix,
         "sprayl-probe-sdb-20250101-120000.backup"},
        {"my backups/x.backup", shell_posix, "'my backups/x.backup'"},
        {"it's.backup", shell_posix, "'it'\\''s.backup'"},
        {"a&b;c", shell_posix, "'a&b;c'"},
        {"", shell_posix, "''"},
        {"C:\\Users\\me\\x.backup", shell_posix, "'C:\\Users\\me\\x.backup'"},
        {"C:\\Users\\me\\x.backup", shell_cmd, "C:\\Users\\me\\x.backup"},
        {"C:\\My Backups\\x.backup", shell_cmd, "\"C:\\My Backups\\x.backup\""},
        {"it's.backup", shell_cmd, "\"it's.backup\""},
        {"a&b^c(1).backup", shell_cmd, "\"a&b^c(1).backup\""},
        {"100%.backup", shell_cmd, "\"100%.backup\""},
        {"", shell_cmd, "\"\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(command_word(c.path, c.shell), c.word) << c.path;
    }
}

} // namespace
