// The reports' files (--json FILE, --plot FILE): nothing of the user's is
// written over, and a report is either whole under its name or not there.
// Every run works in a small tmpfs of its own, whose every file is held
// against what it held before.
#include "check_test_support.h"
#include "program_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

namespace {

// Every file under directory, by path, with its bytes.
std::map<std::string, Bytes> files_under(const std::string& directory) {
    std::map<std::string, Bytes> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
        if (entry.is_regular_file()) {
            files[entry.path().string()] = read_whole(entry.path().string());
        }
    }
    return files;
}

// Whether a name of directory's tree ends like a report's new file.
bool holds_partial_file(const std::string& directory) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
        if (entry.path().string().find(".partial") != std::string::npos) {
            return true;
        }
    }
    return false;
}

// A tmpfs with a stream to check, a note of the user's, a directory of
// fill files, and an earlier report and chart of sprayl-check.
struct Place {
    std::string root;
    std::string why_not;
};

Place make_place(const std::string& name) {
    Place place;
    place.root = mount_small_tmpfs(name, 16 << 10, &place.why_not);
    if (place.root.empty()) {
        return place;
    }
    const std::string& m = place.root;
    write_bytes(m + "/stream.bin", test_stream(100000));
    write_bytes(m + "/note.txt", Bytes{'k', 'e', 'e', 'p', '\n'});
    std::filesystem::create_directories(m + "/fill/sub");
    Bytes stream = test_stream(3 << 20);
    write_bytes(m + "/fill/sprayl-00001.bin", Bytes(stream.begin(), stream.begin() + (1 << 20)));
    write_bytes(m + "/fill/sprayl-00002.bin", Bytes(stream.begin() + (1 << 20), stream.end()));
    std::filesystem::create_hard_link(m + "/stream.bin", m + "/stream-link.bin");
    std::filesystem::create_symlink(m + "/note.txt", m + "/note-link.txt");
    ProgramRun earlier = run_shell(sprayl_check + " --json " + m + "/earlier.json --plot " + m +
                                   "/earlier.svg " + m + "/stream.bin");
    EXPECT_EQ(earlier.exit_code, 0) << earlier.err;
    return place;
}

TEST(ReportFiles, NothingOfTheUsersIsWrittenOver) {
    Place place = make_place("outputs");
    if (place.root.empty()) {
        GTEST_SKIP() << place.why_not;
    }
    const std::string m = place.root;
    const std::string stream = m + "/stream.bin";
    const std::string not_json = "\": it is no earlier JSON report of sprayl-check (--json takes "
                                 "the name of a file of its own)\n";
    const std::string not_svg = "\": it is no earlier SVG chart of sprayl-check (--plot takes the "
                                "name of a file of its own)\n";
    struct Case {
        std::string arguments; // after "sprayl-check "
        std::string err;       // the one line on standard error, after "sprayl-check: "
    };
    const Case cases[] = {
        {"--json " + stream + " " + stream,
         "refusing to write the JSON report over \"" + stream + "\": this run checks it\n"},
        {"--plot " + stream + " " + stream,
         "refusing to write the SVG chart over \"" + stream + "\": this run checks it\n"},
        // The same file under another name.
        {"--json " + m + "/stream-link.bin " + stream,
         "refusing to write the JSON report over \"" + m +
             "/stream-link.bin\": this run checks it\n"},
        // The report's name forgotten: the stream is taken for it, and
        // standard input would be checked.
        {"--json " + stream + " < /dev/null",
         "refusing to write the JSON report over \"" + stream + not_json},
        {"--json " + m + "/note.txt " + stream,
         "refusing to write the JSON report over \"" + m + "/note.txt" + not_json},
        {"--json " + m + "/note-link.txt " + stream,
         "refusing to write the JSON report over \"" + m + "/note-link.txt" + not_json},
        {"--plot " + m + "/earlier.json " + stream,
         "refusing to write the SVG chart over \"" + m + "/earlier.json" + not_svg},
        {"--json " + m + "/earlier.svg " + stream,
         "refusing to write the JSON report over \"" + m + "/earlier.svg" + not_json},
        {"--json " + m + "/fill " + stream,
         "refusing to write the JSON report over \"" + m + "/fill\": it is a directory\n"},
        {"--json " + m + "/new.json --plot " + m + "/new.json " + stream,
         "refusing to write the JSON report and the SVG chart to the same file \"" + m +
             "/new.json\"\n"},
        {"--json " + m + "/new.json --plot " + m + "/fill/../new.json " + stream,
         "refusing to write the JSON report and the SVG chart to the same file \"" + m +
             "/fill/../new.json\"\n"},
        {"--json " + m + "/earlier.json --plot " + m + "/earlier.json " + stream,
         "refusing to write the JSON report and the SVG chart to the same file \"" + m +
             "/earlier.json\"\n"},
        // In the fill directory: a fill file, or anywhere below it.
        {"--fill " + m + "/fill --replace --json " + m + "/fill/sprayl-00001.bin",
         "refusing to write the JSON report to \"" + m +
             "/fill/sprayl-00001.bin\": it lies in the fill directory \"" + m + "/fill\"\n"},
        {"--fill " + m + "/fill --resume --json " + m + "/fill/sprayl-00003.bin",
         "refusing to write the JSON report to \"" + m +
             "/fill/sprayl-00003.bin\": it lies in the fill directory \"" + m + "/fill\"\n"},
        {"--fill " + m + "/fill --replace --plot " + m + "/fill/sub/chart.svg",
         "refusing to write the SVG chart to \"" + m +
             "/fill/sub/chart.svg\": it lies in the fill directory \"" + m + "/fill\"\n"},
        {m + "/fill --json " + m + "/fill/report.json",
         "refusing to write the JSON report to \"" + m +
             "/fill/report.json\": it lies in the fill directory \"" + m + "/fill\"\n"},
        {m + "/fill --json " + m + "/fill/sub/../sprayl-00002.bin",
         "refusing to write the JSON report to \"" + m +
             "/fill/sub/../sprayl-00002.bin\": it lies in the fill directory \"" + m + "/fill\"\n"},
    };
    for (const Case& c : cases) {
        std::map<std::string, Bytes> before = files_under(m);
        ProgramRun run = run_shell(sprayl_check + " " + c.arguments);
        EXPECT_EQ(run.exit_code, 2) << c.arguments << "\n" << run.out << run.err;
        EXPECT_EQ(run.err, "sprayl-check: " + c.err) << c.arguments;
        EXPECT_EQ(run.out, "") << c.arguments;
        EXPECT_TRUE(files_under(m) == before) << c.arguments << ": a file changed";
        EXPECT_FALSE(holds_partial_file(m)) << c.arguments;
    }
}

// Earlier documents of their own kinds, empty files and streams take a
// report; what was there is replaced whole, with no new file left beside.
TEST(ReportFiles, AnEarlierReportOrAnEmptyFileIsReplaced) {
    Place place = make_place("replaced");
    if (place.root.empty()) {
        GTEST_SKIP() << place.why_not;
    }
    const std::string m = place.root;
    write_bytes(m + "/empty.json", Bytes{});
    const std::string damaged = m + "/damaged.bin";
    Bytes bytes = test_stream(200000);
    bytes[150000] ^= 1;
    write_bytes(damaged, bytes);
    const std::string arguments[] = {
        "--json " + m + "/earlier.json --plot " + m + "/earlier.svg " + damaged,
        "--json " + m + "/empty.json --plot /dev/null " + damaged,
    };
    for (const std::string& a : arguments) {
        std::map<std::string, Bytes> before = files_under(m);
        ProgramRun run = run_shell(sprayl_check + " " + a);
        EXPECT_EQ(run.exit_code, 1) << a << "\n" << run.err;
        EXPECT_EQ(run.err, "") << a;
        EXPECT_FALSE(holds_partial_file(m)) << a;
        std::map<std::string, Bytes> after = files_under(m);
        EXPECT_EQ(after.size(), before.size()) << a;
    }
    std::string json = read_all_text(m + "/earlier.json");
    EXPECT_NE(json.find("\"result\": \"damaged\""), std::string::npos) << json;
    EXPECT_NE(read_all_text(m + "/empty.json").find("\"result\": \"damaged\""), std::string::npos);
    EXPECT_NE(read_all_text(m + "/earlier.svg").find("damaged"), std::string::npos);
}

// A report that cannot be written whole leaves the earlier one as it was,
// and no part of itself.
TEST(ReportFiles, AReportThatCannotBeWrittenLeavesTheEarlierOne) {
    std::string why_not;
    std::string m = mount_small_tmpfs("outputs-full", 64, &why_not);
    if (m.empty()) {
        GTEST_SKIP() << why_not;
    }
    std::string stream = write_file("outputs-full.bin", test_stream(100000));
    ProgramRun first = run_shell(sprayl_check + " --json " + m + "/r.json " + stream);
    ASSERT_EQ(first.exit_code, 0) << first.err;
    run_shell("dd if=/dev/zero of=" + m + "/filler bs=4k");
    Bytes earlier = read_whole(m + "/r.json");
    ProgramRun run = run_shell(sprayl_check + " --json " + m + "/r.json --plot " + m + "/r.svg " +
                               stream + " > /dev/null");
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.err, "sprayl-check: cannot write \"" + m +
                           "/r.svg\": No space left on device\nsprayl-check: cannot write \"" + m +
                           "/r.json\": No space left on device\n");
    EXPECT_EQ(read_whole(m + "/r.json"), earlier);
    EXPECT_FALSE(std::filesystem::exists(m + "/r.svg"));
    EXPECT_FALSE(holds_partial_file(m));
}

// A file of the user's that comes to the report's name while the check
// runs is not written over either.
TEST(ReportFiles, AFileThatCameDuringTheRunIsKept) {
    std::string why_not;
    std::string m = mount_small_tmpfs("outputs-late", 1024, &why_not);
    if (m.empty()) {
        GTEST_SKIP() << why_not;
    }
    std::string stream = write_file("outputs-late.bin", test_stream(100000));
    // The check waits a second for its input; the file comes after 0.2 s.
    ProgramRun run =
        run_shell("(sleep 1; cat " + stream + ") | " + sprayl_check + " --json " + m +
                  "/r.json > /dev/null & sleep 0.2; echo mine > " + m + "/r.json; wait $!");
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.err, "sprayl-check: refusing to write the JSON report over \"" + m +
                           "/r.json\": it is no earlier JSON report of sprayl-check (--json takes "
                           "the name of a file of its own)\n");
    EXPECT_EQ(read_all_text(m + "/r.json"), "mine\n");
    EXPECT_FALSE(holds_partial_file(m));
}

} // namespace
