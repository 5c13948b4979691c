// The name gtest gives a row of a test table: the row's own name, with
// every character that is not a letter or a digit made '_' (gtest takes no
// others in a test's name).
#pragma once

#include <cctype>
#include <string>

inline std::string table_row_name(const char* name) {
    std::string out;
    for (const char* c = name; *c != 0; ++c) {
        out += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    }
    return out;
}
