// The charts of a farm, drawn with matplotlib's object API (a Figure on the
// Agg canvas: pyplot's state and backend are left as they are).  The farm
// report embeds them as SVG; zelka tour --plot writes them to a file.
//
// Each function draws onto the axes it is given and leaves the figure's
// layout to the caller.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace charts {

namespace nb = nanobind;

// matplotlib's pieces the charts use.
struct Matplotlib {
    nb::object figure_cls, canvas_cls, colors, colormaps, dates, ticker, transforms;
};

// Imports matplotlib; false (and the ImportError's text in `why`) when it is
// not installed.
bool load(Matplotlib &mpl, std::string *why = nullptr);

// A Figure of `width` x `height` inches on its own Agg canvas.
nb::object figure(const Matplotlib &mpl, double width, double height);

// The weather's daily series (`weather`: the table of a date column and the
// signal) on calendar dates: days without a value shaded, the rows whose cell
// is one of `flagged` (texts of cells found implausible or unreadable) marked
// at the top of the axes, the model's week boundaries (from `provider`, a
// WeatherProvider, or None) as faint lines.
void weather(const Matplotlib &mpl, nb::handle axes, nb::handle weather, nb::handle provider,
             nb::handle flagged);

// Bunches cut per ribbon tag and model week as stacked bars on the calendar
// date each week begins; a tag named after a colour is drawn in it.  Returns
// the number of rows the legend below the axes takes (0 without bars).
size_t production(const Matplotlib &mpl, nb::handle axes, nb::handle production,
                  nb::handle provider);
// The rows production()'s legend takes for `tags` tags.
size_t legend_rows(size_t tags);

// The flowering and sucker selection dispersion profiles of a ParameterSet.
void profiles(const Matplotlib &mpl, nb::handle axes, nb::handle parameters);

// The harvest hazard of a ParameterSet, week by week since the threshold.
void harvest_hazard(const Matplotlib &mpl, nb::handle axes, nb::handle parameters);

// A figure as SVG to put inline in an HTML page: no XML prolog, no metadata,
// no namespace declarations (the HTML parser gives inline SVG its own); text
// drawn as paths, so no font is loaded.
nb::str svg(nb::handle figure);

}  // namespace charts
