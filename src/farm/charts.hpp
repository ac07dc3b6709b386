// The charts of a farm, drawn with matplotlib's object API (a Figure on the
// Agg canvas: pyplot's state and backend are left as they are).  The farm
// report embeds them as SVG; zelka tour --plot writes them to a file.
//
// Each function draws onto the axes it is given and leaves the figure's
// layout to the caller.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace charts {

namespace nb = nanobind;

// matplotlib's pieces the charts use.
struct Matplotlib {
    nb::object figure_cls, canvas_cls, colors, colormaps, dates, ticker, transforms, path,
        patches;
};

// Imports matplotlib; false (and the ImportError's text in `why`) when it is
// not installed.
bool load(Matplotlib &mpl, std::string *why = nullptr);

// A Figure of `width` x `height` inches on its own Agg canvas.
nb::object figure(const Matplotlib &mpl, double width, double height);

// The weather's series (`weather`: the table of a date column and the
// signal) on calendar dates, drawn as it can be seen at any length:
//  - up to about three years, day by day: a line that breaks at every day
//    without a value; a day with several values (stations stacked in one
//    file, hourly rows) has each of them drawn as a dot on its day, or, when
//    the dots would be too many, the range of its values as a bar;
//  - longer, week by week (model weeks when `provider` is given) and beyond
//    about fifteen years month by month: the mean of each as a line and the
//    lowest to the highest value as a band, days with several values marked
//    along the top.
// Days without a value are shaded with a least drawn width, so that a single
// missing day of a long series stays in sight.  The rows whose cell is one
// of `flagged` (texts of cells found implausible or unreadable) are left out
// of the series and marked at the top of the axes.  The model's week
// boundaries (from `provider`, a WeatherProvider, or None) are faint lines
// when the weeks are few enough to be told apart; calendar months or years
// otherwise.  What is drawn grows with the width of the chart, never with the
// number of rows.
void weather(const Matplotlib &mpl, nb::handle axes, nb::handle weather, nb::handle provider,
             nb::handle flagged);

// Bunches cut per ribbon tag and model week as stacked bars on the calendar
// date each week begins; a tag named after a colour (a matplotlib or CSS
// name, in any case, its words apart or together: "dark green", "LightBlue",
// "xkcd:mustard", or "#rrggbb") is drawn in it.  Up to `max_bands` tags each
// have a band; beyond, the tags that cut the most bunches have theirs and
// the rest share one "other" band.  The week totals are summed in one pass
// over the data's observations.  `labels`, when given (a dict, or None),
// maps a canonical tag to the tag as the file first writes it, for the
// legend; a tag it does not hold is shown as it is.  Returns the number of
// rows the legend below the axes takes (0 without bars).
size_t production(const Matplotlib &mpl, nb::handle axes, nb::handle production,
                  nb::handle provider, nb::handle labels = nb::handle());
// Bands of the production chart at most: the largest tags and "other".
constexpr size_t max_bands = 13;

// The bunches cut per model week of the production chart's bands, summed in
// one pass over a RibbonProductionData's observations: up to max_bands tags
// that cut a bunch each have a band; beyond, the max_bands - 1 that cut the
// most (in the data's order of tags) and one band of the others.
struct Harvest {
    size_t tags = 0;                // the tags of the data
    std::vector<nb::object> shown;  // the tags with a band of their own
    size_t others = 0;              // the tags of the "other" band (0: no such band)
    std::vector<long> weeks;        // the weeks with an observation, in order
    std::vector<double> cut;        // band by band, week by week

    size_t bands() const { return shown.size() + (others ? 1 : 0); }
    double at(size_t band, size_t week) const { return cut[band * weeks.size() + week]; }
};
Harvest harvest(nb::handle production);
// "other (14,988 tags)"
nb::str other_label(const Harvest &harvest);
// The rows production()'s legend takes for `tags` tags.
size_t legend_rows(size_t tags);

// The flowering and sucker selection dispersion profiles of a ParameterSet.
void profiles(const Matplotlib &mpl, nb::handle axes, nb::handle parameters);

// The harvest hazard of a ParameterSet, week by week since the threshold.
void harvest_hazard(const Matplotlib &mpl, nb::handle axes, nb::handle parameters);

// A figure as an SVG document, for an image of an HTML page (a data: URI)
// or inline SVG alike: no XML prolog, no metadata, its namespaces declared;
// text drawn as paths, so no font is loaded.  The same figure gives the same text,
// byte for byte.  Every id of the chart (and every reference to one: href,
// xlink:href, url(#...)) begins with a prefix made from the chart's content
// ("z" and 6 hex digits), so that charts that differ never share an id.
nb::str svg(nb::handle figure);

// The figure written to `path` in `format` (a suffix matplotlib writes,
// lower case) at `dpi`, with nothing in the file that changes from run to
// run (no date, fixed SVG ids).
void save(const Matplotlib &mpl, nb::handle figure, nb::handle path, const std::string &format,
          double dpi);

// The formats a figure can be written in ("eps", "pdf", "png", "svg", ...),
// as file suffixes without their dot, sorted.
std::vector<std::string> formats(const Matplotlib &mpl);

}  // namespace charts
