#include "progress.h"

#include "check_report.h"
#include "text_sizes.h"
#include "report_text.h"

#include <cstdio>
#include <cstring>

#include "system.h"

namespace {

constexpr double progress_interval = 0.25; // seconds
// The rate shown is that of the last window of this many seconds.
constexpr double rate_window = 2.0;
constexpr int fallback_width = 80;
constexpr int widest_line = 512;

// The width of the terminal behind standard error, in columns.
int line_width() {
    int width = terminal_width();
    if (width <= 0) {
        width = fallback_width;
    }
    return width < widest_line ? width : widest_line;
}

void format_duration(double seconds, char* text, size_t capacity) {
    uint64_t whole = static_cast<uint64_t>(seconds + 0.5);
    if (whole >= 3600) {
        std::snprintf(text, capacity, "%uh %02um", static_cast<unsigned>(whole / 3600),
                      static_cast<unsigned>(whole / 60 % 60));
    } else {
        std::snprintf(text, capacity, "%um %02us", static_cast<unsigned>(whole / 60),
                      static_cast<unsigned>(whole % 60));
    }
}

// Starts a new window for the rate once the last one is full; until the
// first is, the rate is the average so far.
void update_rate(Progress* progress, uint64_t done, double now) {
    double seconds = now - progress->window_started;
    if (seconds >= rate_window || progress->window_started == progress->started) {
        progress->rate =
            seconds > 0 ? static_cast<double>(done - progress->window_done) / seconds : 0;
    }
    if (seconds >= rate_window) {
        progress->window_started = now;
        progress->window_done = done;
    }
}

void show_progress(Progress* progress, uint64_t done, uint64_t damaged, double now) {
    char line[widest_line + 1];
    int width = line_width();
    update_rate(progress, done, now);
    uint64_t this_run = done > progress->done_before ? done - progress->done_before : 0;
    double average = bytes_per_second(this_run, now - progress->started);
    format_progress(line, sizeof line, width, progress->verb, done, progress->total, average,
                    progress->rate, damaged);
    // Padded to the full width so that a shorter line covers a longer one.
    std::fprintf(stderr, "\r%-*s", width - 1, line);
    std::fflush(stderr);
    progress->last_shown = now;
}

} // namespace

void format_progress(char* line, size_t capacity, int width, const char* verb, uint64_t done,
                     uint64_t total, double average, double rate, uint64_t damaged) {
    char parts[5][64];
    char size[size_text_capacity];
    format_size(done, size, sizeof size);
    std::snprintf(parts[0], sizeof parts[0], "%s %s", verb, size);
    parts[1][0] = '\0';
    parts[4][0] = '\0';
    if (total > 0 && done <= total) {
        format_size(total, size, sizeof size);
        std::snprintf(
            parts[1], sizeof parts[1], " of %s %u%%", size,
            static_cast<unsigned>(static_cast<double>(done) * 100.0 / static_cast<double>(total)));
    }
    char speed[size_text_capacity];
    format_rate(rate, speed, sizeof speed);
    std::snprintf(parts[2], sizeof parts[2], ", %s", speed);
    parts[3][0] = '\0';
    if (damaged != no_damage_count) {
        format_size(damaged, size, sizeof size);
        std::snprintf(parts[3], sizeof parts[3], ", damaged %s", size);
    }
    if (total > 0 && done < total && average > 0) {
        char left[32];
        format_duration(static_cast<double>(total - done) / average, left, sizeof left);
        std::snprintf(parts[4], sizeof parts[4], ", %s left", left);
    }
    size_t room = width > 1 ? static_cast<size_t>(width - 1) : 0;
    room = room < capacity - 1 ? room : capacity - 1;
    line[0] = '\0';
    size_t used = 0;
    for (const char* part : parts) {
        size_t length = std::strlen(part);
        if (used + length > room) {
            break;
        }
        std::memcpy(line + used, part, length + 1);
        used += length;
    }
}

void progress_start(Progress* progress, const char* verb, uint64_t total) {
    progress->enabled = stderr_is_terminal();
    progress->verb = verb;
    progress->total = total;
    progress->started = clock_seconds();
    progress->last_shown = progress->started;
    progress->window_started = progress->started;
    progress->window_done = 0;
    progress->done_before = 0;
    progress->rate = 0;
    progress->rates = nullptr;
}

void progress_start_at(Progress* progress, uint64_t done) {
    progress->done_before = done;
    progress->window_done = done;
    if (progress->rates != nullptr) {
        progress->rates->noted = done;
    }
}

void progress_tick(Progress* progress, uint64_t done, uint64_t damaged) {
    if (!progress->enabled && progress->rates == nullptr) {
        return;
    }
    double now = clock_seconds();
    if (progress->rates != nullptr) {
        rates_note(progress->rates, done, now);
    }
    if (progress->enabled && now - progress->last_shown >= progress_interval) {
        show_progress(progress, done, damaged, now);
    }
}

void progress_note_call(Progress* progress, uint64_t offset, double seconds) {
    if (progress->rates != nullptr) {
        rates_note_call(progress->rates, offset, seconds);
    }
}

void progress_end(Progress* progress, uint64_t done, uint64_t damaged) {
    double now = clock_seconds();
    if (progress->rates != nullptr) {
        rates_note(progress->rates, done, now);
    }
    if (progress->enabled) {
        // The final line gives the average of the whole run.
        progress->window_started = progress->started;
        progress->window_done = progress->done_before;
        show_progress(progress, done, damaged, now);
        std::fputc('\n', stderr);
    }
}
