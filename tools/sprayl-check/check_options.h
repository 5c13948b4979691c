// The command line of sprayl-check, parsed into what to do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum CheckAction {
    action_check,       // check the inputs, or standard input when there are none
    action_fill,        // fill a directory, then check what was written
    action_probe,       // probe a drive for its real capacity
    action_restore,     // put a probe's backup back onto its drive
    action_speed,       // measure the speed of the drive that holds a directory
    action_help,        // print the usage text
    action_version,     // print the version
    action_usage_error, // message says what is wrong
};

// The largest file that --fill writes unless told otherwise: FAT32 takes no
// file of 4 GiB, and a smaller file loses less to a late failure.
constexpr uint64_t default_fill_file_size = uint64_t{1} << 30;

struct CheckOptions {
    CheckAction action;
    const char* fill_directory;
    char** inputs;               // the file arguments, in order
    int input_count;             // 0: standard input
    uint64_t expected_size;      // --size; 0 when not given
    uint64_t file_size;          // --file-size, for --fill
    bool replace;                // --replace: --fill may overwrite earlier fill files
    bool keep_going;             // --keep-going: --fill writes on after a sample found damage
    bool resume;                 // --resume: --fill goes on with the fill files there
    const char* probe_device;    // --probe DEVICE
    const char* restore_backup;  // --restore BACKUP (the device is the one input)
    const char* backup_path;     // --backup FILE, for --probe; nullptr: one named for the time
    bool destructive;            // --destructive: --probe saves nothing it overwrites
    bool file_as_drive;          // --file-as-drive: a regular file stands for the drive (tests)
    const char* speed_directory; // --speed DIR
    const char* claims;          // --claims "U3 V30 A2", for --speed; nullptr: none
    const char* json_path; // --json: the report for programs goes there ("-": standard output)
    const char* plot_path; // --plot: the chart of the rates and the damage goes there
    char message[200];     // for action_usage_error
};

// Writes the help text to out: the synopsis, the options, what N means and
// the exit codes.
void write_usage(std::FILE* out);

// Parses argv[1..argc-1]. The file arguments are moved to the front of
// argv[1..] in their order, where options->inputs points.
void parse_options(int argc, char** argv, CheckOptions* options);

// A byte count: digits with an optional binary suffix K, M, G or T (also
// KiB, MiB, ...). False when text is none, or does not fit.
bool parse_byte_count(const char* text, uint64_t* value);
