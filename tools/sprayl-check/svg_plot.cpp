#include "svg_plot.h"

#include "report_text.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

// The picture, and the plotting area inside it, in pixels.
constexpr double picture_width = 900;
constexpr double picture_height = 430;
constexpr double left = 80;
constexpr double right = 880;
constexpr double top = 50;
constexpr double bottom = 380;
constexpr double legend_y = 28;
constexpr double legend_spacing = 100;

constexpr double gibibyte = 1024.0 * 1024.0 * 1024.0;
constexpr double mebibyte = 1024.0 * 1024.0;

// How every chart begins, and its title, by which an earlier chart is
// known.
const char svg_start[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                         "<svg xmlns=\"http://www.w3.org/2000/svg\"";
const char title[] = ">sprayl-check: speed over the stream</text>";

const char write_colour[] = "#1f60c4";
const char read_colour[] = "#e07000";
const char damage_colour[] = "#d62728";

// From data to pixels: offsets in bytes across, rates in bytes per second
// up.
struct Scale {
    double end;      // the last offset shown
    double top_rate; // the highest rate shown
    double unit;     // bytes of the offset axis's unit (a GiB, or a MiB)
    const char* unit_name;
};

double x_of(const Scale* scale, double offset) {
    return left + (right - left) * offset / scale->end;
}

double y_of(const Scale* scale, double rate) {
    return bottom - (bottom - top) * rate / scale->top_rate;
}

// The stream's length and the highest rate, of the rates and the damage.
Scale find_scale(const PlotData* data) {
    Scale scale = {0, 0, gibibyte, "GiB"};
    const RateTable* tables[] = {data->write, data->read};
    for (const RateTable* table : tables) {
        for (uint32_t i = 0; table != nullptr && i < table->count; ++i) {
            scale.top_rate = std::fmax(scale.top_rate, stretch_rate(table, i));
            scale.end = std::fmax(scale.end, static_cast<double>(stretch_end(table, i)));
        }
    }
    if (data->result != nullptr) {
        scale.end = std::fmax(scale.end, static_cast<double>(data->result->bytes_read));
    }
    if (scale.end < 2 * gibibyte) {
        scale.unit = mebibyte;
        scale.unit_name = "MiB";
    }
    // The offsets end where the stream does; the rates at a whole tick.
    scale.end = scale.end > 0 ? scale.end : scale.unit;
    double rate_step = tick_step(scale.top_rate / 1e6 * 1.05) * 1e6;
    scale.top_rate = rate_step > 0 ? std::ceil(scale.top_rate * 1.05 / rate_step) * rate_step : 1e6;
    return scale;
}

void put_damage(ReportLines* svg, const Scale* scale, const CheckResult* result) {
    if (result == nullptr) {
        return;
    }
    // Stretches closer than a pixel make one shaded area.
    double area_start = -1;
    double area_end = -1;
    uint64_t kept = kept_stretch_count(result);
    for (uint64_t i = 0; i <= kept; ++i) {
        double start = i < kept ? x_of(scale, static_cast<double>(result->stretches[i].start)) : 0;
        double end = i < kept ? x_of(scale, static_cast<double>(result->stretches[i].end)) : 0;
        if (i < kept && area_start >= 0 && start <= area_end + 1) {
            area_end = std::fmax(area_end, end);
            continue;
        }
        if (area_start >= 0) {
            std::snprintf(svg->line, sizeof svg->line,
                          "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\""
                          " fill-opacity=\"0.3\"/>\n",
                          area_start, top, std::fmax(area_end - area_start, 1.0), bottom - top,
                          damage_colour);
            put_line(svg);
        }
        area_start = start;
        area_end = end;
    }
}

void put_axes(ReportLines* svg, const Scale* scale) {
    double step = tick_step(scale->end / scale->unit);
    for (double tick = 0; step > 0 && tick * scale->unit <= scale->end * 1.0001; tick += step) {
        double x = x_of(scale, tick * scale->unit);
        std::snprintf(svg->line, sizeof svg->line,
                      "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#dddddd\"/>\n"
                      "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%g</text>\n",
                      x, top, x, bottom, x, bottom + 18, tick);
        put_line(svg);
    }
    double rate_step = tick_step(scale->top_rate / 1e6);
    for (double tick = 0; rate_step > 0 && tick * 1e6 <= scale->top_rate * 1.0001;
         tick += rate_step) {
        double y = y_of(scale, tick * 1e6);
        std::snprintf(svg->line, sizeof svg->line,
                      "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#dddddd\"/>\n"
                      "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%g</text>\n",
                      left, y, right, y, left - 8, y + 4, tick);
        put_line(svg);
    }
    std::snprintf(svg->line, sizeof svg->line,
                  "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\""
                  " stroke=\"#333333\"/>\n"
                  "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">stream offset (%s)</text>\n"
                  "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" transform=\"rotate(-90 "
                  "%.1f %.1f)\">MB/s</text>\n",
                  left, top, right - left, bottom - top, (left + right) / 2, bottom + 42,
                  scale->unit_name, left - 55, (top + bottom) / 2, left - 55, (top + bottom) / 2);
    put_line(svg);
}

// The rate of each stretch as a level step over its offsets.
void put_rate_line(ReportLines* svg, const Scale* scale, const RateTable* table,
                   const char* colour) {
    if (table == nullptr || table->count == 0) {
        return;
    }
    std::snprintf(svg->line, sizeof svg->line,
                  "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"2\" points=\"", colour);
    put_line(svg);
    for (uint32_t i = 0; i < table->count; ++i) {
        if (table->bytes[i] == 0 || table->seconds[i] <= 0) {
            continue;
        }
        double y = y_of(scale, stretch_rate(table, i));
        std::snprintf(svg->line, sizeof svg->line, "%.1f,%.1f %.1f,%.1f ",
                      x_of(scale, static_cast<double>(stretch_start(table, i))), y,
                      x_of(scale, static_cast<double>(stretch_end(table, i))), y);
        put_line(svg);
    }
    svg->write(svg->context, "\"/>\n");
}

// A dashed line where the write rate falls off, with the rates before and
// after it.
void put_cliff(ReportLines* svg, const Scale* scale, const SpeedCliff* cliff) {
    if (cliff == nullptr || !cliff->found) {
        return;
    }
    char before[32];
    char after[32];
    format_rate(cliff->rate_before, before, sizeof before);
    format_rate(cliff->rate_after, after, sizeof after);
    double x = x_of(scale, static_cast<double>(cliff->offset));
    std::snprintf(svg->line, sizeof svg->line,
                  "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\""
                  " stroke-dasharray=\"6 4\"/>\n"
                  "<text x=\"%.1f\" y=\"%.1f\" fill=\"%s\">write cache full: %s, then %s</text>\n",
                  x, top, x, bottom, damage_colour, x + 6, top + 16, damage_colour, before, after);
    put_line(svg);
}

void put_legend(ReportLines* svg, const PlotData* data) {
    struct Entry {
        const char* name;
        const char* colour;
        bool shown;
        bool area;
    };
    const Entry entries[] = {
        {"write", write_colour, data->write != nullptr && data->write->count > 0, false},
        {"read", read_colour, data->read != nullptr && data->read->count > 0, false},
        {"damaged", damage_colour, data->result != nullptr && data->result->stretch_count > 0,
         true},
    };
    // In the title's row, from the right.
    double x = right - 3 * legend_spacing;
    for (const Entry& entry : entries) {
        if (!entry.shown) {
            continue;
        }
        if (entry.area) {
            std::snprintf(svg->line, sizeof svg->line,
                          "<rect x=\"%.1f\" y=\"%.1f\" width=\"24\" height=\"12\" fill=\"%s\""
                          " fill-opacity=\"0.3\"/>\n",
                          x, legend_y - 10, entry.colour);
        } else {
            std::snprintf(svg->line, sizeof svg->line,
                          "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\""
                          " stroke-width=\"2\"/>\n",
                          x, legend_y - 4, x + 24, legend_y - 4, entry.colour);
        }
        put_line(svg);
        std::snprintf(svg->line, sizeof svg->line, "<text x=\"%.1f\" y=\"%.1f\">%s</text>\n",
                      x + 30, legend_y, entry.name);
        put_line(svg);
        x += legend_spacing;
    }
    if (entries[0].shown || entries[1].shown) {
        return;
    }
    std::snprintf(svg->line, sizeof svg->line,
                  "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" fill=\"#666666\">no rates:"
                  " they are measured for a fill and for files, not for a stream</text>\n",
                  (left + right) / 2, (top + bottom) / 2);
    put_line(svg);
}

} // namespace

double tick_step(double range) {
    if (!(range > 0)) {
        return 0;
    }
    double least = range / most_ticks;
    double power = std::pow(10.0, std::floor(std::log10(least)));
    for (double factor : {1.0, 2.0, 5.0, 10.0}) {
        if (factor * power >= least) {
            return factor * power;
        }
    }
    return 10 * power;
}

void write_plot_svg(const PlotData* data, TextWriter write, void* context) {
    ReportLines svg = {write, context, {}};
    Scale scale = find_scale(data);
    std::snprintf(svg.line, sizeof svg.line,
                  "%s width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\""
                  " font-family=\"sans-serif\" font-size=\"13\">\n"
                  "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
                  "<text x=\"%.1f\" y=\"28\" font-size=\"16\"%s\n",
                  svg_start, picture_width, picture_height, picture_width, picture_height, left,
                  title);
    put_line(&svg);
    put_damage(&svg, &scale, data->result);
    put_axes(&svg, &scale);
    put_rate_line(&svg, &scale, data->write, write_colour);
    put_rate_line(&svg, &scale, data->read, read_colour);
    put_cliff(&svg, &scale, data->cliff);
    put_legend(&svg, data);
    write(context, "</svg>\n");
}

bool is_plot_svg(const char* start, size_t length) {
    size_t prefix = sizeof svg_start - 1;
    if (length < prefix || std::memcmp(start, svg_start, prefix) != 0) {
        return false;
    }
    size_t title_length = sizeof title - 1;
    for (size_t at = prefix; at + title_length <= length; ++at) {
        if (std::memcmp(start + at, title, title_length) == 0) {
            return true;
        }
    }
    return false;
}
