#include "check_options.h"

#include "printf_format.h"
#include "speed_class.h"
#include "system.h"

#include <cstdarg>
#include <cstring>

namespace {

int usage_error(CheckOptions* options, const char* format, ...) PRINTF_FORMAT(2, 3);

// Makes the run a usage error that says what format and the values say.
// Returns -1.
int usage_error(CheckOptions* options, const char* format, ...) {
    options->action = action_usage_error;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(options->message, sizeof options->message, format, arguments);
    va_end(arguments);
    return -1;
}

// The asks for help that the options' table does not name: "-?", and the
// system's own ("/?" on Windows).
bool is_other_help(const char* argument) {
    return std::strcmp(argument, "-?") == 0 ||
           (system_help_option != nullptr && std::strcmp(argument, system_help_option) == 0);
}

// The value of an option that takes one: "--name=value" or "--name value".
// Returns the arguments used (1 or 2), or -1 after a usage error.
int option_value(int argc, char** argv, int at, const char* name, const char** value,
                 CheckOptions* options) {
    size_t length = std::strlen(name);
    const char* argument = argv[at];
    if (std::strncmp(argument, name, length) != 0) {
        return 0;
    }
    if (argument[length] == '=') {
        *value = argument + length + 1;
        return 1;
    }
    if (argument[length] != '\0') {
        return 0;
    }
    if (at + 1 >= argc) {
        return usage_error(options, "option %s needs a value", name);
    }
    *value = argv[at + 1];
    return 2;
}

// Parses the byte count value of option name into *count, at least 1.
bool byte_count_option(const char* name, const char* value, uint64_t* count,
                       CheckOptions* options) {
    if (!parse_byte_count(value, count) || *count == 0) {
        usage_error(options, "%s needs a byte count, such as 4G, not \"%s\"", name, value);
        return false;
    }
    return true;
}

// An option of the command line: where it goes (a flag, a text or a byte
// count of CheckOptions; one of the three is set) or the run it asks for
// (--version, --help), and how the help text shows it.
struct OptionRow {
    const char* name;
    const char* short_name; // its other name, shown first ("-h"); nullptr for none
    const char* value;      // what follows it, as the help names it ("N", "DIR")
    bool CheckOptions::*flag;
    const char* CheckOptions::*text;
    uint64_t CheckOptions::*count;
    CheckAction action; // a run of its own; action_check for the others
    const char* help;   // its lines of the help text; nullptr: not shown (tests only)
};

constexpr OptionRow flag_row(const char* name, bool CheckOptions::*flag, const char* help) {
    return {name, nullptr, nullptr, flag, nullptr, nullptr, action_check, help};
}

constexpr OptionRow text_row(const char* name, const char* value, const char* CheckOptions::*text,
                             const char* help) {
    return {name, nullptr, value, nullptr, text, nullptr, action_check, help};
}

constexpr OptionRow count_row(const char* name, uint64_t CheckOptions::*count, const char* help) {
    return {name, nullptr, "N", nullptr, nullptr, count, action_check, help};
}

constexpr OptionRow action_row(const char* name, const char* short_name, CheckAction action,
                               const char* help) {
    return {name, short_name, nullptr, nullptr, nullptr, nullptr, action, help};
}

// In the order of the help text.
const OptionRow option_rows[] = {
    text_row("--fill", "DIR", &CheckOptions::fill_directory,
             "fill the file system that holds DIR with files\n"
             "sprayl-00001.bin, ... of one stream until it is full,\n"
             "reading samples back as it goes, then check them all;\n"
             "a sample that was not kept stops the writing early;\n"
             "sprayl-fill.txt records the fill for a later check"),
    count_row("--file-size", &CheckOptions::file_size,
              "largest fill file (default 1G; the first ones are smaller)"),
    flag_row("--replace", &CheckOptions::replace,
             "remove an earlier fill's files first (only its own)"),
    flag_row("--resume", &CheckOptions::resume,
             "go on with an interrupted fill: check the files there, cut\n"
             "the last one back to its last intact sector, write on"),
    flag_row("--keep-going", &CheckOptions::keep_going,
             "write to the end even when a sample was not kept"),
    count_row("--size", &CheckOptions::expected_size,
              "the input should be N bytes long; check that many\n"
              "(--speed: write N bytes, default 4G or less)"),
    text_row("--json", "FILE", &CheckOptions::json_path,
             "also write the report for programs, as JSON, to FILE\n"
             "(\"-\": standard output, the text report to standard error)"),
    text_row("--plot", "FILE", &CheckOptions::plot_path,
             "draw the write and read rates over the stream, and the\n"
             "damage, as an SVG chart in FILE"),
    text_row("--speed", "DIR", &CheckOptions::speed_directory,
             "measure the drive that holds DIR in a scratch file of\n"
             "its own there, removed at the end: sustained sequential\n"
             "write (past its write cache) and read, random 4 KiB\n"
             "reads and writes, and the speed classes it meets"),
    text_row("--claims", "\"CLASSES\"", &CheckOptions::claims,
             "with --speed: a verdict on each class a label claims,\n"
             "such as \"U3 V30 A2\"; exit code 1 where one is not met"),
    text_row("--probe", "DEVICE", &CheckOptions::probe_device,
             "find a drive's real capacity in seconds (Linux, root, a\n"
             "whole disk that is not in use); every sector it\n"
             "overwrites is saved first and written back at the end"),
    text_row("--backup", "FILE", &CheckOptions::backup_path,
             "where --probe saves them (default: the current\n"
             "directory, sprayl-probe-DEVICE-TIME.backup)"),
    flag_row("--destructive", &CheckOptions::destructive,
             "--probe saves nothing: the drive's data may be lost"),
    text_row("--restore", "BACKUP DEVICE", &CheckOptions::restore_backup,
             "put a probe's saved sectors back"),
    flag_row("--file-as-drive", &CheckOptions::file_as_drive, nullptr),
    action_row("--version", nullptr, action_version, "the version"),
    action_row("--help", "-h", action_help, "this text (also /? on Windows)"),
};
constexpr size_t option_count = sizeof option_rows / sizeof option_rows[0];

// The help text around the options' table.
const char usage_synopsis[] =
    "usage: sprayl-check [--size N] [FILE...]\n"
    "       sprayl-check DIR\n"
    "       sprayl-check --fill DIR [--file-size N] [--replace | --resume] [--keep-going]\n"
    "       sprayl-check --speed DIR [--size N] [--claims \"CLASSES\"]\n"
    "       sprayl-check --probe DEVICE [--backup FILE | --destructive]\n"
    "       sprayl-check --restore BACKUP DEVICE\n"
    "Checks that the files, read one after another as one stream (or standard\n"
    "input when there is no FILE, or FILE is \"-\"), hold a stream of sprayl\n"
    "intact, byte for byte; DIR: the fill files in it, in their order.\n";
const char usage_closing[] =
    "N: bytes, or with K, M, G, T (powers of 1024).\n"
    "Exit code 0: intact (a genuine drive); 1: damaged (a fake drive), or a\n"
    "claimed speed class not met; 2: usage\n"
    "error, input that cannot be opened, too short to check, a fill refused or\n"
    "whose directory went away, or a drive that cannot be probed; 3: no damage\n"
    "found, but what was read may have come from memory rather than the drive,\n"
    "or the fill did not cover the drive's free space; 130: interrupted.\n";

// The column where the options' help begins; a longer name is followed by
// two spaces.
constexpr int help_column = 19;

// Writes the lines of the help text that row gives.
void write_option_help(std::FILE* out, const OptionRow& row) {
    int column = std::fprintf(out, "  ");
    if (row.short_name != nullptr) {
        column += std::fprintf(out, "%s, ", row.short_name);
    }
    column += std::fprintf(out, "%s", row.name);
    if (row.value != nullptr) {
        column += std::fprintf(out, " %s", row.value);
    }
    for (const char* line = row.help; *line != '\0'; column = 0) {
        for (int space = 0; space < (column + 2 > help_column ? 2 : help_column - column);
             ++space) {
            std::fputc(' ', out);
        }
        size_t length = std::strcspn(line, "\n");
        std::fprintf(out, "%.*s\n", static_cast<int>(length), line);
        line += length + (line[length] == '\n' ? 1 : 0);
    }
}

// Whether argument is the option of row: its name or its other name, or
// for one that takes a value also "--name=value".
bool names_option(const char* argument, const OptionRow& row) {
    size_t length = std::strlen(row.name);
    bool takes_value = row.text != nullptr || row.count != nullptr;
    return (row.short_name != nullptr && std::strcmp(argument, row.short_name) == 0) ||
           (std::strncmp(argument, row.name, length) == 0 &&
            (argument[length] == '\0' || (takes_value && argument[length] == '=')));
}

// Takes the option of row at argv[at] into options. Returns how many
// arguments it used, or -1 after a usage error.
int take_option(int argc, char** argv, int at, const OptionRow& row, CheckOptions* options) {
    if (row.action != action_check) {
        options->action = row.action;
        return 1;
    }
    if (row.flag != nullptr) {
        options->*row.flag = true;
        return 1;
    }
    const char* value = nullptr;
    int used = option_value(argc, argv, at, row.name, &value, options);
    if (used <= 0) {
        return used;
    }
    if (row.text != nullptr) {
        options->*row.text = value;
        return used;
    }
    return byte_count_option(row.name, value, &(options->*row.count), options) ? used : -1;
}

// Parses the option at argv[at]; seen notes the options given so far, each
// of which may be given once. Returns how many arguments it used, or -1
// after a usage error.
int parse_option(int argc, char** argv, int at, bool* seen, CheckOptions* options) {
    const char* argument = argv[at];
    for (size_t i = 0; i < option_count; ++i) {
        if (!names_option(argument, option_rows[i])) {
            continue;
        }
        if (seen[i]) {
            return usage_error(options, "option %s is given twice", option_rows[i].name);
        }
        seen[i] = true;
        return take_option(argc, argv, at, option_rows[i], options);
    }
    return usage_error(options, "unknown option \"%s\"", argument);
}

// --probe DEVICE and --restore BACKUP DEVICE, and what goes with them.
void check_probe_combinations(CheckOptions* options) {
    if (options->probe_device != nullptr && options->restore_backup != nullptr) {
        usage_error(options, "--restore: --probe and --restore are two runs");
    } else if (options->fill_directory != nullptr || options->speed_directory != nullptr ||
               options->expected_size != 0 || options->replace || options->keep_going ||
               options->resume || options->file_size != default_fill_file_size) {
        usage_error(options, "%s goes with neither --fill nor --size",
                    options->probe_device != nullptr ? "--probe" : "--restore");
    } else if (options->probe_device != nullptr && options->input_count > 0) {
        usage_error(options, "--probe takes one drive; it takes no file \"%s\"",
                    options->inputs[0]);
    } else if (options->restore_backup != nullptr && options->input_count != 1) {
        usage_error(options, "--restore needs the backup and the drive: --restore BACKUP DEVICE");
    } else if (options->restore_backup != nullptr &&
               (options->destructive || options->backup_path != nullptr)) {
        usage_error(options, "%s goes with --probe",
                    options->destructive ? "--destructive" : "--backup");
    } else if (options->destructive && options->backup_path != nullptr) {
        usage_error(options, "--destructive saves nothing, so it takes no --backup");
    } else {
        options->action = options->probe_device != nullptr ? action_probe : action_restore;
    }
}

// --speed DIR and what goes with it.
void check_speed_combinations(CheckOptions* options) {
    ClaimList claims;
    if (options->fill_directory != nullptr) {
        usage_error(options, "--speed: --fill and --speed are two runs");
    } else if (options->input_count > 0) {
        usage_error(options, "--speed measures the drive of one directory; it takes no file \"%s\"",
                    options->inputs[0]);
    } else if (options->replace || options->keep_going || options->resume ||
               options->file_size != default_fill_file_size) {
        usage_error(options, "%s goes with --fill",
                    options->replace      ? "--replace"
                    : options->keep_going ? "--keep-going"
                    : options->resume     ? "--resume"
                                          : "--file-size");
    } else if (options->claims != nullptr &&
               !parse_claims(options->claims, &claims, options->message, sizeof options->message)) {
        options->action = action_usage_error;
    } else {
        options->action = action_speed;
    }
}

// The combinations that make no sense, once every argument is read.
void check_combinations(CheckOptions* options) {
    if (options->plot_path != nullptr && std::strcmp(options->plot_path, "-") == 0) {
        usage_error(options, "--plot needs a file name, not \"-\"");
        return;
    }
    if (options->restore_backup != nullptr && options->json_path != nullptr) {
        usage_error(options, "--json goes with a check, a fill, --speed or a probe, not with --restore");
        return;
    }
    if ((options->probe_device != nullptr || options->restore_backup != nullptr) &&
        options->plot_path != nullptr) {
        usage_error(options,
                    "--plot goes with a check, a fill or --speed, not with --probe or --restore");
        return;
    }
    if (options->probe_device != nullptr || options->restore_backup != nullptr) {
        check_probe_combinations(options);
        return;
    }
    if (options->destructive || options->backup_path != nullptr || options->file_as_drive) {
        usage_error(options, "%s goes with --probe",
                    options->destructive     ? "--destructive"
                    : options->file_as_drive ? "--file-as-drive"
                                             : "--backup");
        return;
    }
    if (options->speed_directory != nullptr) {
        check_speed_combinations(options);
        return;
    }
    if (options->claims != nullptr) {
        usage_error(options, "--claims goes with --speed");
        return;
    }
    if (options->fill_directory != nullptr) {
        if (options->input_count > 0) {
            usage_error(options, "--fill checks what it writes; it takes no file \"%s\"",
                        options->inputs[0]);
        } else if (options->expected_size != 0) {
            usage_error(options, "--fill knows the size it wrote; --size is for checking files");
        } else if (options->resume && options->replace) {
            usage_error(options,
                        "--resume goes on with the fill files there; --replace removes them");
        } else {
            options->action = action_fill;
        }
        return;
    }
    const char* fill_option = options->replace                               ? "--replace"
                              : options->file_size != default_fill_file_size ? "--file-size"
                              : options->keep_going                          ? "--keep-going"
                              : options->resume                              ? "--resume"
                                                                             : nullptr;
    if (fill_option != nullptr) {
        usage_error(options, "%s goes with --fill", fill_option);
        return;
    }
    for (int i = 0; i < options->input_count && options->input_count > 1; ++i) {
        if (std::strcmp(options->inputs[i], "-") == 0) {
            usage_error(options, "standard input (\"-\") cannot be checked with files");
            return;
        }
    }
}

} // namespace

bool parse_byte_count(const char* text, uint64_t* value) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    uint64_t count = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        uint64_t digit = static_cast<uint64_t>(*text - '0');
        if (count > (UINT64_MAX - digit) / 10) {
            return false;
        }
        count = count * 10 + digit;
    }
    static const char suffixes[] = "KMGT";
    const char* suffix = *text == '\0' ? nullptr : std::strchr(suffixes, *text & ~0x20);
    if (*text != '\0') {
        if (suffix == nullptr) {
            return false;
        }
        ++text;
        if (std::strcmp(text, "iB") != 0 && *text != '\0') {
            return false;
        }
        unsigned shift = 10 * static_cast<unsigned>(suffix - suffixes + 1);
        if (count > UINT64_MAX >> shift) {
            return false;
        }
        count <<= shift;
    }
    *value = count;
    return true;
}

void parse_options(int argc, char** argv, CheckOptions* options) {
    std::memset(options, 0, sizeof *options);
    options->action = action_check;
    options->file_size = default_fill_file_size;
    options->inputs = argv + 1;
    bool options_ended = false;
    bool seen[option_count] = {};
    for (int at = 1; at < argc;) {
        char* argument = argv[at];
        if (!options_ended && std::strcmp(argument, "--") == 0) {
            options_ended = true;
            ++at;
        } else if (!options_ended && is_other_help(argument)) {
            options->action = action_help;
            return;
        } else if (!options_ended && argument[0] == '-' && argument[1] != '\0') {
            int used = parse_option(argc, argv, at, seen, options);
            if (used < 0 || options->action != action_check) {
                return; // a usage error, or a run of its own (--version, --help)
            }
            at += used;
        } else {
            // Files move to the front; nothing before them is read again.
            options->inputs[options->input_count++] = argument;
            ++at;
        }
    }
    check_combinations(options);
}

void write_usage(std::FILE* out) {
    std::fputs(usage_synopsis, out);
    for (const OptionRow& row : option_rows) {
        if (row.help != nullptr) {
            write_option_help(out, row);
        }
    }
    std::fputs(usage_closing, out);
}
