#include "check_options.h"

#include "system.h"

#include <cstdio>
#include <cstring>

namespace {

int usage_error(CheckOptions* options, const char* format, const char* argument) {
    options->action = action_usage_error;
    std::snprintf(options->message, sizeof options->message, format, argument);
    return -1;
}

bool is_help(const char* argument) {
    return std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "--help") == 0 ||
           std::strcmp(argument, "-?") == 0 ||
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
        char format[96];
        std::snprintf(format, sizeof format, "%s needs a byte count, such as 4G, not \"%%s\"",
                      name);
        usage_error(options, format, value);
        return false;
    }
    return true;
}

// An option of the command line and where it goes: a flag, a text or a
// byte count (one of the three members is set).
struct OptionRow {
    const char* name;
    bool CheckOptions::*flag;
    const char* CheckOptions::*text;
    uint64_t CheckOptions::*count;
};

const OptionRow option_rows[] = {
    {"--replace", &CheckOptions::replace, nullptr, nullptr},
    {"--destructive", &CheckOptions::destructive, nullptr, nullptr},
    {"--file-as-drive", &CheckOptions::file_as_drive, nullptr, nullptr},
    {"--keep-going", &CheckOptions::keep_going, nullptr, nullptr},
    {"--resume", &CheckOptions::resume, nullptr, nullptr},
    {"--probe", nullptr, &CheckOptions::probe_device, nullptr},
    {"--restore", nullptr, &CheckOptions::restore_backup, nullptr},
    {"--backup", nullptr, &CheckOptions::backup_path, nullptr},
    {"--fill", nullptr, &CheckOptions::fill_directory, nullptr},
    {"--json", nullptr, &CheckOptions::json_path, nullptr},
    {"--plot", nullptr, &CheckOptions::plot_path, nullptr},
    {"--size", nullptr, nullptr, &CheckOptions::expected_size},
    {"--file-size", nullptr, nullptr, &CheckOptions::file_size},
};
constexpr size_t option_count = sizeof option_rows / sizeof option_rows[0];

// Whether argument is the option of row: its name, or for one that takes
// a value also "--name=value".
bool names_option(const char* argument, const OptionRow& row) {
    size_t length = std::strlen(row.name);
    return std::strncmp(argument, row.name, length) == 0 &&
           (argument[length] == '\0' || (row.flag == nullptr && argument[length] == '='));
}

// Takes the option of row at argv[at] into options. Returns how many
// arguments it used, or -1 after a usage error.
int take_option(int argc, char** argv, int at, const OptionRow& row, CheckOptions* options) {
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
    if (std::strcmp(argument, "--version") == 0) {
        options->action = action_version;
        return 1;
    }
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
        usage_error(options, "%s: --probe and --restore are two runs", "--restore");
    } else if (options->fill_directory != nullptr || options->expected_size != 0 ||
               options->replace || options->keep_going || options->resume ||
               options->file_size != default_fill_file_size) {
        usage_error(options, "%s goes with neither --fill nor --size",
                    options->probe_device != nullptr ? "--probe" : "--restore");
    } else if (options->probe_device != nullptr && options->input_count > 0) {
        usage_error(options, "--probe takes one drive; it takes no file \"%s\"",
                    options->inputs[0]);
    } else if (options->restore_backup != nullptr && options->input_count != 1) {
        usage_error(options, "%s needs the backup and the drive: --restore BACKUP DEVICE",
                    "--restore");
    } else if (options->restore_backup != nullptr &&
               (options->destructive || options->backup_path != nullptr)) {
        usage_error(options, "%s goes with --probe",
                    options->destructive ? "--destructive" : "--backup");
    } else if (options->destructive && options->backup_path != nullptr) {
        usage_error(options, "%s saves nothing, so it takes no --backup", "--destructive");
    } else {
        options->action = options->probe_device != nullptr ? action_probe : action_restore;
    }
}

// The combinations that make no sense, once every argument is read.
void check_combinations(CheckOptions* options) {
    if (options->plot_path != nullptr && std::strcmp(options->plot_path, "-") == 0) {
        usage_error(options, "--plot needs a file name, not \"%s\"", "-");
        return;
    }
    if ((options->probe_device != nullptr || options->restore_backup != nullptr) &&
        (options->json_path != nullptr || options->plot_path != nullptr)) {
        usage_error(options, "%s goes with a check or a fill, not with --probe or --restore",
                    options->json_path != nullptr ? "--json" : "--plot");
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
    if (options->fill_directory != nullptr) {
        if (options->input_count > 0) {
            usage_error(options, "--fill checks what it writes; it takes no file \"%s\"",
                        options->inputs[0]);
        } else if (options->expected_size != 0) {
            usage_error(options, "--fill knows the size it wrote; %s is for checking files",
                        "--size");
        } else if (options->resume && options->replace) {
            usage_error(options, "--resume goes on with the fill files there; %s removes them",
                        "--replace");
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
            usage_error(options, "standard input (\"%s\") cannot be checked with files", "-");
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
        } else if (!options_ended && is_help(argument)) {
            options->action = action_help;
            return;
        } else if (!options_ended && argument[0] == '-' && argument[1] != '\0') {
            int used = parse_option(argc, argv, at, seen, options);
            if (used < 0) {
                return;
            }
            if (options->action == action_version) {
                return;
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
