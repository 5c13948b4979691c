#include "drive_lines.h"

#include <ctime>

namespace {

void append_line(void* text, const char* line) {
    static_cast<std::string*>(text)->append(line);
}

void print_line(void* out, const char* line) {
    std::fputs(line, static_cast<std::FILE*>(out));
}

} // namespace

YearMonth this_month() {
    std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    if (local == nullptr) {
        return {0, 0};
    }
    return {local->tm_year + 1900, local->tm_mon + 1};
}

std::string identity_lines(const DriveIdentity* identity, YearMonth today) {
    std::string text;
    write_identity_lines(identity, today, append_line, &text);
    return text;
}

void print_identity_lines(std::FILE* out, const DriveIdentity* identity, YearMonth today) {
    write_identity_lines(identity, today, print_line, out);
}
