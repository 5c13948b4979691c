// A path as one word of a command that the user is told to run: quoted
// for the shell of the system the program runs on (system.h's
// command_shell), so that it can be pasted as it is.
#pragma once

#include "system.h"

#include <string>

// path as it is where it holds only letters, digits and -_./:+,@% (for
// cmd.exe, the backslash in place of the percent sign); else quoted: in single quotes for a POSIX
// shell (a single quote within as '\''), in double quotes for cmd.exe, where a Windows path holds
// no double quote.
std::string command_word(const std::string& path, CommandShell shell);
