#include "command_word.h"

#include <cctype>
#include <cstring>

namespace {

// The characters besides letters and digits that each shell takes as they
// are; one row each.
struct ShellWords {
    CommandShell shell;
    const char* plain;
};

const ShellWords shell_words[] = {
    {shell_posix, "-_./:+,@%"},
    {shell_cmd, "-_./:+,@\\"},
};

bool is_plain(const std::string& path, const char* plain) {
    for (char c : path) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && std::strchr(plain, c) == nullptr) {
            return false;
        }
    }
    return !path.empty();
}

} // namespace

std::string command_word(const std::string& path, CommandShell shell) {
    for (const ShellWords& row : shell_words) {
        if (row.shell == shell && is_plain(path, row.plain)) {
            return path;
        }
    }
    if (shell == shell_cmd) {
        return "\"" + path + "\"";
    }
    std::string quoted = "'";
    for (char c : path) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}
