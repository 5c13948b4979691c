// --plot FILE.svg: the write and read rates over the stream's offsets as a
// chart, with the damaged stretches shaded, in plain SVG that any browser
// shows.
#pragma once

#include "check_result.h"
#include "json_writer.h"
#include "speed_cliff.h"
#include "speed_profile.h"

#include <cstddef>

struct PlotData {
    const RateTable* write; // nullptr when not measured
    const RateTable* read;
    const CheckResult* result; // nullptr when no check ran
    const SpeedCliff* cliff;   // where the write rate falls off (--speed); nullptr: not marked
};

// The most ticks an axis gets; its step is 1, 2 or 5 times a power of ten.
constexpr int most_ticks = 8;

// The step between ticks for an axis from 0 to range.
double tick_step(double range);

// Writes the chart, an SVG document, a piece at a time.
void write_plot_svg(const PlotData* data, TextWriter write, void* context);

// Whether the first length bytes of a file (its first KiB or more) are
// those of a chart that write_plot_svg wrote: the XML declaration, an svg
// element and the chart's title, in that order.
bool is_plot_svg(const char* start, size_t length);
