// The POSIX stand-in for CommandLineToArgvW: the byte arguments as wide
// strings.
#pragma once

#include "platform.h"

#include <cstddef>

// Decodes UTF-8 into wide characters, one per code point; every invalid or
// truncated sequence becomes U+FFFD. Writes at most capacity characters
// (capacity must cover the bytes' count plus the terminating zero) and
// returns how many were written before the terminating zero.
size_t utf8_to_wide(const char* text, WCHAR* wide, size_t capacity);

// Builds the wide argument vector in one block, freed with free(); null
// when it cannot be built.
WCHAR** build_wide_arguments(int argc, char** argv);
