// The charts of a farm: matplotlib called through its object API.
#include "farm/charts.hpp"

#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/dates.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace charts {

using host::utf8;

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

nb::object floats(const std::vector<double> &values) {
    return records::numpy_array(values, "float64");
}

// ---------------------------------------------------------------------------
// Days: whole days since 1970-01-01, as numpy's datetime64[D] counts them

using records::civil_from_days;
using records::days_from_civil;
using records::epoch_ordinal;

long long day_of(nb::handle date) {
    return nb::cast<long long>(date.attr("toordinal")()) - epoch_ordinal;
}

// matplotlib's date number of day 0 (0.0 unless its date epoch was moved).
double epoch_shift(const Matplotlib &mpl) {
    nb::object day0 = host::from_import("numpy", "datetime64")("1970-01-01", "D");
    return nb::cast<double>(mpl.dates.attr("date2num")(day0));
}

// Months since January 1970 of a day, and back.
long long month_of(long long day) {
    records::Civil c = civil_from_days(day);
    return c.year * 12 + (long long) c.month - 1 - 1970 * 12;
}

long long month_start(long long month) {
    long long m = month + 1970 * 12;
    long long year = m >= 0 ? m / 12 : -((-m + 11) / 12);
    return days_from_civil(year, (unsigned) (m - year * 12) + 1, 1);
}

// ---------------------------------------------------------------------------
// Paths built in C++ and handed to matplotlib as one artist each

// Closed rectangles, one subpath each.
class Rectangles {
  public:
    void add(double x0, double y0, double x1, double y1) {
        for (double v : {x0, y0, x1, y0, x1, y1, x0, y1, x0, y0})
            vertices_.push_back(v);
        for (uint8_t code : {move_to, line_to, line_to, line_to, close})
            codes_.push_back(code);
    }
    bool empty() const { return codes_.empty(); }
    size_t size() const { return codes_.size() / 5; }

    // A PathPatch of the rectangles (not yet added to an axes).
    nb::object patch(const Matplotlib &mpl, nb::dict &kw) const {
        nb::object vertices = floats(vertices_).attr("reshape")(-1, 2);
        nb::object codes = records::numpy_array(codes_.data(), codes_.size(), 1, "uint8");
        nb::object path = mpl.path.attr("Path")(vertices, codes);
        return mpl.patches.attr("PathPatch")(path, **kw);
    }

  private:
    static constexpr uint8_t move_to = 1, line_to = 2, close = 79;
    std::vector<double> vertices_;
    std::vector<uint8_t> codes_;
};

// Spans [from, to) of days, each at least `least` wide (widened about its
// middle), those that then touch merged: what can be seen of them at the
// chart's width.  `spans` in ascending order.
std::vector<std::pair<double, double>> visible(const std::vector<std::pair<double, double>> &spans,
                                               double least) {
    std::vector<std::pair<double, double>> out;
    for (auto [from, to] : spans) {
        if (to - from < least) {
            double middle = (from + to) / 2;
            from = middle - least / 2;
            to = middle + least / 2;
        }
        if (!out.empty() && from <= out.back().second)
            out.back().second = std::max(out.back().second, to);
        else
            out.emplace_back(from, to);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Colours of the tags

// A colour in CIE L*a*b* (D65), where the distance between two colours is
// about how different they look.
struct Lab {
    double l, a, b;
};

Lab lab_of(nb::handle rgba) {
    auto linear = [](double c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    double r = linear(nb::cast<double>(rgba[0])), g = linear(nb::cast<double>(rgba[1])),
           b = linear(nb::cast<double>(rgba[2]));
    double x = (0.4124 * r + 0.3576 * g + 0.1805 * b) / 0.95047;
    double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    double z = (0.0193 * r + 0.1192 * g + 0.9505 * b) / 1.08883;
    auto f = [](double t) {
        return t > 216.0 / 24389.0 ? std::cbrt(t) : (24389.0 / 27.0 * t + 16.0) / 116.0;
    };
    return {116.0 * f(y) - 16.0, 500.0 * (f(x) - f(y)), 200.0 * (f(y) - f(z))};
}

double distance(const Lab &p, const Lab &q) {
    return std::sqrt((p.l - q.l) * (p.l - q.l) + (p.a - q.a) * (p.a - q.a) +
                     (p.b - q.b) * (p.b - q.b));
}

// Closer to the white of the axes than this: drawn with a grey edge.
constexpr double pale = 25.0;
// A palette colour this close to a colour a tag names reads as that colour:
// it is not used for another tag.
constexpr double alike = 35.0;

struct TagColour {
    nb::object rgba;
    bool pale = false;
};

// The colour name in `names` (matplotlib's named colours) that `tag` says,
// or "".  The one-letter shorthands ("b", "k") are no names here.
std::string named_colour(nb::handle names, nb::handle colors, const std::string &tag) {
    auto known = [&](const std::string &name) {
        return name.size() > 1 && host::contains(names, nb::str(name.data(), name.size()));
    };
    std::string lower;
    for (char c : tag)
        lower += (c >= 'A' && c <= 'Z') ? (char) (c - 'A' + 'a') : c;
    size_t a = lower.find_first_not_of(" \t"), b = lower.find_last_not_of(" \t");
    lower = a == std::string::npos ? "" : lower.substr(a, b - a + 1);
    if (lower.empty())
        return "";
    if (known(lower))
        return lower;
    if (lower[0] == '#')
        return host::truth(colors.attr("is_color_like")(nb::str(lower.data(), lower.size())))
                   ? lower
                   : "";
    // Its words together, as CSS and matplotlib write them: "dark green",
    // "dark-green" and "Dark_Green" are "darkgreen".
    std::string together, apart;
    for (char c : lower) {
        bool gap = c == ' ' || c == '-' || c == '_' || c == '\t';
        if (!gap)
            together += c;
        if (gap && (apart.empty() || apart.back() == ' '))
            continue;
        apart += gap ? ' ' : c;
    }
    if (known(together))
        return together;
    // Its words apart, as the xkcd survey's names are: "dusty rose".
    while (!apart.empty() && apart.back() == ' ')
        apart.pop_back();
    if (lower.find(':') == std::string::npos && known("xkcd:" + apart))
        return "xkcd:" + apart;
    return "";
}

// The colour of each tag (in the order of `tags`).  A tag that names a
// colour (see named_colour) is drawn in that colour -- unless an earlier tag
// took the same colour ("gray" after "grey").  The other tags get
// qualitative palette colours in turn, skipping the ones alike to a colour a
// tag names, those close to white, and those already given; when the
// palettes run out, the rest are spread over the turbo map.
std::vector<TagColour> tag_colours(const std::vector<nb::object> &tags, nb::handle colors,
                                   nb::handle colormaps) {
    size_t n = tags.size();
    std::vector<TagColour> out(n);
    std::vector<Lab> named, given;
    nb::object names = colors.attr("get_named_colors_mapping")();
    nb::object to_rgba = colors.attr("to_rgba");
    Lab white{100.0, 0.0, 0.0};
    auto taken = [&](const Lab &c, double within) {
        for (const Lab &t : given)
            if (distance(c, t) < within)
                return true;
        return false;
    };
    for (size_t i = 0; i < n; ++i) {
        if (!PyUnicode_Check(tags[i].ptr()))
            continue;
        std::string name = named_colour(names, colors, utf8(tags[i]));
        if (name.empty())
            continue;
        nb::object rgba = to_rgba(nb::str(name.data(), name.size()));
        Lab c = lab_of(rgba);
        if (taken(c, 1.0))
            continue;
        out[i] = {rgba, distance(c, white) < pale};
        named.push_back(c);
        given.push_back(c);
    }
    std::vector<size_t> others;
    for (size_t i = 0; i < n; ++i)
        if (!out[i].rgba.is_valid())
            others.push_back(i);
    size_t next = 0;
    for (const char *palette : {"tab10", "Dark2", "Set1", "tab20", "Set2", "Accent", "Paired"}) {
        nb::object candidates = colormaps[palette].attr("colors");
        for (nb::handle candidate : candidates) {
            if (next == others.size())
                break;
            nb::object rgba = to_rgba(candidate);
            Lab c = lab_of(rgba);
            bool like_a_name = false;
            for (const Lab &t : named)
                like_a_name = like_a_name || distance(c, t) < alike;
            if (like_a_name || distance(c, white) < pale || taken(c, 1.0))
                continue;
            out[others[next++]].rgba = rgba;
            given.push_back(c);
        }
    }
    if (next < others.size()) {
        nb::object spread = colormaps["turbo"].attr("resampled")(others.size() - next);
        for (size_t k = 0; next < others.size(); ++k)
            out[others[next++]].rgba = spread(nb::int_(k));
    }
    return out;
}

// Calendar dates on the x axis (matplotlib date numbers), labelled as
// briefly as they can be.
void date_axis(const Matplotlib &mpl, nb::handle axes) {
    axes.attr("xaxis_date")();
    nb::object locator = mpl.dates.attr("AutoDateLocator")();
    nb::object xaxis = axes.attr("xaxis");
    xaxis.attr("set_major_locator")(locator);
    xaxis.attr("set_major_formatter")(mpl.dates.attr("ConciseDateFormatter")(locator));
}

void note(nb::handle axes, nb::handle text) {
    nb::dict kw;
    kw["ha"] = "center";
    kw["va"] = "center";
    kw["wrap"] = true;
    kw["color"] = "#555555";
    kw["transform"] = axes.attr("transAxes");
    axes.attr("text")(0.5, 0.5, text, **kw);
}

void plain_frame(nb::handle axes) {
    for (const char *side : {"top", "right"})
        axes.attr("spines")[side].attr("set_visible")(false);
    axes.attr("grid")(true, nb::arg("axis") = "y", nb::arg("color") = "#e4e4e4",
                      nb::arg("linewidth") = 0.6);
    axes.attr("set_axisbelow")(true);
}

void legend_below(nb::handle axes, size_t columns, const char *title = nullptr) {
    nb::dict legend;
    legend["loc"] = "upper center";
    legend["bbox_to_anchor"] = nb::make_tuple(0.5, -0.12);
    legend["ncol"] = columns;
    legend["frameon"] = false;
    legend["fontsize"] = "small";
    if (title) {
        legend["title"] = title;
        legend["title_fontsize"] = "small";
    }
    axes.attr("legend")(**legend);
}

// ---------------------------------------------------------------------------
// The weather's series

// Longest series drawn day by day, and week by week (days).
constexpr long long daily_span = 1100;
constexpr long long weekly_span = 5600;
// The least drawn width of a shaded span or a mark, as a share of the axes'
// width (about 2.5 points on the report's charts).
constexpr double least_share = 0.004;
// Values drawn as dots at most (one SVG element each); beyond, the range of
// each day's values is drawn.
constexpr size_t max_dots = 1200;
// Model weeks shown as lines at most.
constexpr long long max_week_lines = 27;

// The dated rows of the weather table in order of their day: the day, the
// value (NaN: none, or flagged) and whether the cell is flagged.
struct Series {
    std::vector<long long> day;
    std::vector<double> value;
    std::vector<long long> flagged;  // the days of the flagged cells
};

Series read_series(nb::handle weather, nb::handle label, nb::handle flagged) {
    nb::object pd = host::import("pandas");
    nb::object dates = weather.attr("__getitem__")("date");
    if (utf8(dates.attr("dtype").attr("kind")) != "M")
        dates = pd.attr("to_datetime")(dates, nb::arg("errors") = "coerce");
    if (!dates.attr("dt").attr("tz").is_none())
        dates = dates.attr("dt").attr("tz_localize")(nb::none());
    records::BufferValues days, values, marks;
    nb::object day_array =
        dates.attr("to_numpy")(nb::arg("dtype") = "datetime64[D]").attr("view")("int64");
    nb::object column = weather.attr("__getitem__")(label);
    nb::object numbers = pd.attr("to_numeric")(column, nb::arg("errors") = "coerce")
                             .attr("to_numpy")(nb::arg("dtype") = "float64",
                                               nb::arg("na_value") = nan);
    bool marked = nb::len(flagged) > 0;
    if (marked) {
        nb::object cells = column.attr("astype")("str").attr("isin")(host::as_list(flagged));
        marks.open(column.attr("notna")().attr("__and__")(cells).attr("to_numpy")(
                       nb::arg("dtype") = "int64"),
                   "lq");
    }
    if (!days.open(day_array, "lq") || !values.open(numbers, "d"))
        host::raise(PyExc_TypeError, nb::str("the weather's dates or values are no column of numbers"));
    std::vector<size_t> order;
    for (size_t i = 0; i < days.size(); ++i)
        if (days.at<long long>(i) != std::numeric_limits<long long>::min())
            order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return days.at<long long>(a) < days.at<long long>(b);
    });
    Series s;
    for (size_t i : order) {
        long long day = days.at<long long>(i);
        double value = values.at<double>(i);
        if (marked && marks.at<long long>(i)) {
            s.flagged.push_back(day);
            value = nan;
        }
        s.day.push_back(day);
        s.value.push_back(value);
    }
    return s;
}

// The values of one day.
struct Day {
    long long day;
    size_t n;
    double low, high;
};

// What the weather chart draws on: the series, the axes' days and their
// least drawn width.
struct Canvas {
    const Matplotlib &mpl;
    nb::handle axes;
    nb::object x_transform;  // x in date numbers, y in the axes' height
    double shift;            // the date number of day 0
    long long first, last;   // the first and the last day of the series
    double least;            // the least drawn width, in days
    const char *colour;

    long long span() const { return last - first + 1; }
    nb::object x(double day) const { return nb::float_(shift + day); }
    std::vector<double> &to_x(std::vector<double> &days) const {
        for (double &d : days)
            d += shift;
        return days;
    }
};

// One line of faint vertical lines at `at` (days), in the axes' height.
void guide_lines(const Canvas &c, std::vector<double> at, const char *label) {
    std::vector<double> x, y;
    for (double d : c.to_x(at)) {
        x.insert(x.end(), {d, d, nan});
        y.insert(y.end(), {0.0, 1.0, nan});
    }
    nb::dict kw;
    kw["transform"] = c.x_transform;
    kw["color"] = "#b9c3cf";
    kw["linewidth"] = 0.5;
    kw["label"] = label;
    kw["zorder"] = 0;
    c.axes.attr("plot")(floats(x), floats(y), **kw);
}

// The model's weeks as faint lines while they can be told apart; the
// calendar's months or years beyond.
void guides(const Canvas &c, nb::handle provider) {
    long long length =
        provider.is_none() ? 0 : nb::cast<long long>(provider.attr("week_length_days"));
    std::vector<double> at;
    if (length > 0 && c.span() / length <= max_week_lines) {
        long long start = day_of(provider.attr("start"));
        nb::object end_date = provider.attr("end");
        long long end = end_date.is_none() ? c.last : day_of(end_date);
        for (long long day = start; day <= end + 1; day += length)
            at.push_back((double) day);
        std::string label =
            utf8(host::text("model weeks (", host::Str{nb::int_(length)}, " days)"));
        guide_lines(c, at, label.c_str());
    } else if (c.span() > 62) {
        long long from = month_of(c.first), to = month_of(c.last);
        if (to - from < 48) {
            for (long long month = from + 1; month <= to; ++month)
                at.push_back((double) month_start(month));
            guide_lines(c, at, "_months");
            return;
        }
        long long year = civil_from_days(c.first).year, end = civil_from_days(c.last).year;
        long long step = std::max<long long>(1, (end - year + 69) / 70);
        for (year = (year / step + 1) * step; year <= end; year += step)
            at.push_back((double) days_from_civil(year, 1, 1));
        guide_lines(c, at, "_years");
    }
}

// Spans of days as rectangles from `bottom` to `top` of the axes' height,
// each at least the least drawn width.
void shade(const Canvas &c, const std::vector<std::pair<double, double>> &spans, double bottom,
           double top, nb::dict &kw) {
    Rectangles shapes;
    for (auto [from, to] : visible(spans, c.least))
        shapes.add(c.shift + from, bottom, c.shift + to, top);
    kw["transform"] = c.x_transform;
    kw["edgecolor"] = "none";
    kw["linewidth"] = 0;
    c.axes.attr("add_artist")(shapes.patch(c.mpl, kw));
}

// The days of the series without a value.
void shade_gaps(const Canvas &c, const std::vector<Day> &days) {
    std::vector<std::pair<double, double>> gaps;
    long long at = c.first;
    for (const Day &d : days) {
        if (d.day > at)
            gaps.emplace_back((double) at, (double) d.day);
        at = d.day + 1;
    }
    if (at <= c.last)
        gaps.emplace_back((double) at, (double) (c.last + 1));
    if (gaps.empty())
        return;
    nb::dict kw;
    kw["facecolor"] = "#f4a259";
    kw["alpha"] = 0.45;
    kw["zorder"] = 1;
    kw["label"] = "days without a value";
    shade(c, gaps, 0.0, 1.0, kw);
}

// One value a day: a line, broken wherever a day has none; a day with no
// neighbour to draw a line to is a dot.
void daily_line(const Canvas &c, const std::vector<Day> &days, const char *label) {
    std::vector<double> x, y, alone_x, alone_y;
    auto next_to = [&](size_t a, size_t b) { return days[b].day == days[a].day + 1; };
    for (size_t k = 0; k < days.size(); ++k) {
        if (k > 0 && !next_to(k - 1, k)) {
            x.push_back((double) days[k - 1].day + 1);
            y.push_back(nan);
        }
        x.push_back((double) days[k].day);
        y.push_back(days[k].low);
        if ((k == 0 || !next_to(k - 1, k)) && (k + 1 == days.size() || !next_to(k, k + 1))) {
            alone_x.push_back((double) days[k].day);
            alone_y.push_back(days[k].low);
        }
    }
    bool dots = days.size() < 60;
    nb::dict line;
    line["color"] = c.colour;
    line["linewidth"] = 0.9;
    line["label"] = label;
    line["zorder"] = 2;
    if (dots) {
        line["marker"] = "o";
        line["markersize"] = 3;
    }
    c.axes.attr("plot")(floats(c.to_x(x)), floats(y), **line);
    if (dots || alone_x.empty())
        return;
    nb::dict kw;
    kw["color"] = c.colour;
    kw["linestyle"] = "none";
    kw["marker"] = "o";
    kw["markersize"] = 2.5;
    kw["label"] = "_days alone";
    kw["zorder"] = 2;
    c.axes.attr("plot")(floats(c.to_x(alone_x)), floats(alone_y), **kw);
}

// Several values on some days: every value a dot on its day.
void daily_dots(const Canvas &c, const Series &s, const nb::str &label) {
    std::vector<double> x, y;
    for (size_t i = 0; i < s.day.size(); ++i)
        if (std::isfinite(s.value[i])) {
            x.push_back((double) s.day[i]);
            y.push_back(s.value[i]);
        }
    nb::dict kw;
    kw["linestyle"] = "none";
    kw["marker"] = "o";
    kw["markersize"] = 2.5;
    kw["alpha"] = 0.7;
    kw["color"] = c.colour;
    kw["zorder"] = 2;
    kw["label"] = label;
    c.axes.attr("plot")(floats(c.to_x(x)), floats(y), **kw);
}

// Too many values for dots: each day's lowest to highest value as a bar,
// a day of one value as a short one (`least_bar` high).
void daily_ranges(const Canvas &c, const std::vector<Day> &days, double least_bar,
                  const nb::str &label) {
    std::vector<double> x, y;
    for (const Day &d : days) {
        double middle = (d.low + d.high) / 2, half = std::max((d.high - d.low) / 2, least_bar / 2);
        x.insert(x.end(), {(double) d.day, (double) d.day, nan});
        y.insert(y.end(), {middle - half, middle + half, nan});
    }
    nb::dict kw;
    kw["color"] = c.colour;
    kw["linewidth"] = 1.2;
    kw["solid_capstyle"] = "butt";
    kw["zorder"] = 2;
    kw["label"] = label;
    c.axes.attr("plot")(floats(c.to_x(x)), floats(y), **kw);
}

// A long series: the mean of each week (the model's, when `provider` is
// given) or month as a line, its lowest to highest value as a band, and the
// days of several values marked along the top.
void binned(const Canvas &c, const Series &s, const std::vector<Day> &days, size_t crowded,
            nb::handle provider, bool heat_units) {
    bool weekly = c.span() <= weekly_span;
    long long origin = c.first, step = 7;
    long long length =
        provider.is_none() ? 0 : nb::cast<long long>(provider.attr("week_length_days"));
    if (weekly && length > 0 && length <= 31) {
        origin = day_of(provider.attr("start"));
        step = length;
    }
    auto bin_of = [&](long long day) {
        if (!weekly)
            return month_of(day);
        long long k = day - origin;
        return k >= 0 ? k / step : -((-k + step - 1) / step);
    };
    auto bin_start = [&](long long bin) { return weekly ? origin + bin * step : month_start(bin); };
    long long first_bin = bin_of(c.first);
    size_t bins = (size_t) (bin_of(c.last) - first_bin + 1);
    std::vector<double> sum(bins, 0.0), low(bins, nan), high(bins, nan);
    std::vector<size_t> count(bins, 0);
    for (size_t i = 0; i < s.day.size(); ++i) {
        double v = s.value[i];
        if (!std::isfinite(v))
            continue;
        size_t b = (size_t) (bin_of(s.day[i]) - first_bin);
        low[b] = count[b] ? std::min(low[b], v) : v;
        high[b] = count[b] ? std::max(high[b], v) : v;
        sum[b] += v;
        ++count[b];
    }
    std::vector<double> x, mean;
    for (size_t b = 0; b < bins; ++b) {
        // The middle of the bin's days within the series.
        double from = std::max((double) bin_start(first_bin + (long long) b), (double) c.first);
        double to = std::min((double) bin_start(first_bin + (long long) b + 1), (double) c.last + 1);
        x.push_back((from + to) / 2);
        mean.push_back(count[b] ? sum[b] / (double) count[b] : nan);
    }
    c.to_x(x);
    nb::dict band;
    band["color"] = c.colour;
    band["alpha"] = 0.22;
    band["linewidth"] = 0;
    band["zorder"] = 2;
    band["label"] = host::text("lowest to highest value of a ", weekly ? "week" : "month");
    c.axes.attr("fill_between")(floats(x), floats(low), floats(high), **band);
    nb::dict line;
    line["color"] = c.colour;
    line["linewidth"] = 0.9;
    line["zorder"] = 3;
    line["label"] = host::text(weekly ? "weekly" : "monthly", " mean ",
                               heat_units ? "heat units" : "temperature");
    c.axes.attr("plot")(floats(x), floats(mean), **line);
    if (crowded == 0)
        return;
    std::vector<std::pair<double, double>> several;
    for (const Day &d : days)
        if (d.n > 1)
            several.emplace_back((double) d.day, (double) d.day + 1);
    nb::dict kw;
    kw["facecolor"] = "#8e44ad";
    kw["zorder"] = 3;
    kw["label"] = host::text("days with several values (", std::to_string(crowded), ")");
    shade(c, several, 0.93, 1.0, kw);
}

// The flagged cells at the top of the axes, one mark where they are too
// close to tell apart.
void mark_flagged(const Canvas &c, const std::vector<long long> &flagged) {  // in day order
    std::vector<double> x, tops;
    for (long long day : flagged) {
        if (!x.empty() && (double) day - x.back() < c.least)
            continue;
        x.push_back((double) day);
        tops.push_back(0.96);
    }
    nb::dict kw;
    kw["linestyle"] = "none";
    kw["marker"] = "v";
    kw["markersize"] = 7;
    kw["color"] = "#c0392b";
    kw["transform"] = c.x_transform;
    kw["clip_on"] = false;
    kw["zorder"] = 4;
    kw["label"] = "implausible or unreadable value";
    c.axes.attr("plot")(floats(c.to_x(x)), floats(tops), **kw);
}

}  // namespace

bool load(Matplotlib &mpl, std::string *why) {
    try {
        mpl.figure_cls = host::from_import("matplotlib.figure", "Figure");
        mpl.canvas_cls = host::from_import("matplotlib.backends.backend_agg", "FigureCanvasAgg");
        mpl.colors = host::import("matplotlib.colors");
        mpl.colormaps = host::from_import("matplotlib", "colormaps");
        mpl.dates = host::import("matplotlib.dates");
        mpl.ticker = host::import("matplotlib.ticker");
        mpl.transforms = host::import("matplotlib.transforms");
        mpl.path = host::import("matplotlib.path");
        mpl.patches = host::import("matplotlib.patches");
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_ImportError))
            throw;
        if (why)
            *why = utf8(host::str(error.value()));
        return false;
    }
    return true;
}

nb::object figure(const Matplotlib &mpl, double width, double height) {
    nb::object figure = mpl.figure_cls(nb::arg("figsize") = nb::make_tuple(width, height));
    mpl.canvas_cls(figure);
    return figure;
}

void weather(const Matplotlib &mpl, nb::handle axes, nb::handle weather, nb::handle provider,
             nb::handle flagged) {
    nb::object label = weather.attr("columns")[1];
    bool heat_units = label.equal(nb::str("heat_units"));
    // The legend says whether the line is of days, weeks or months.
    axes.attr("set_title")(heat_units ? "Weather: heat units" : "Weather: mean temperature",
                           nb::arg("loc") = "left");
    axes.attr("set_ylabel")(heat_units ? "heat units" : "°C");
    plain_frame(axes);
    Series s = read_series(weather, label, flagged);
    if (s.day.empty()) {
        note(axes, nb::str("no dated rows to draw"));
        return;
    }
    long long first = s.day.front(), last = s.day.back();
    double span = (double) (last - first + 1);
    Canvas c{mpl,   axes,
             axes.attr("get_xaxis_transform")(),
             epoch_shift(mpl),
             first, last, std::max(1.0, span * least_share), "#1f4e79"};
    double margin = std::max(0.5, span * 0.01);
    date_axis(mpl, axes);
    axes.attr("set_xlim")(c.x((double) first - margin), c.x((double) last + 1 + margin));

    // The days with values.
    std::vector<Day> days;
    size_t values = 0, crowded = 0;
    double low = INFINITY, high = -INFINITY;
    for (size_t i = 0; i < s.day.size(); ++i) {
        double v = s.value[i];
        if (!std::isfinite(v))
            continue;
        ++values;
        low = std::min(low, v);
        high = std::max(high, v);
        if (days.empty() || days.back().day != s.day[i]) {
            days.push_back({s.day[i], 1, v, v});
            continue;
        }
        Day &d = days.back();
        crowded += ++d.n == 2;
        d.low = std::min(d.low, v);
        d.high = std::max(d.high, v);
    }
    guides(c, provider);
    shade_gaps(c, days);
    auto several = [&](const char *what) {
        return host::text(what, " (", std::to_string(crowded), " of ", std::to_string(days.size()),
                          " days have several)");
    };
    if (days.empty())
        note(axes, nb::str("no day has a value"));
    else if (c.span() > daily_span)
        binned(c, s, days, crowded, provider, heat_units);
    else if (crowded == 0)
        daily_line(c, days, heat_units ? "heat units" : "mean temperature");
    else if (values <= max_dots)
        daily_dots(c, s, several("every value"));
    else
        daily_ranges(c, days, (high - low) * 0.008, several("lowest to highest value of a day"));
    if (!s.flagged.empty())
        mark_flagged(c, s.flagged);
    legend_below(axes, 4);
}

size_t legend_rows(size_t tags) { return (std::min(tags, max_bands) + 7) / 8; }

Harvest harvest(nb::handle production) {
    // The bunches cut per tag and week, in one pass over the observations.
    Harvest h;
    std::vector<nb::object> tags;
    nb::dict index;
    for (nb::handle tag : production.attr("tags")()) {
        if (host::contains(index, tag))
            continue;
        index[tag] = nb::int_(tags.size());
        tags.push_back(nb::borrow(tag));
    }
    struct Cut {  // 16 bytes: a million observations take 16 MB
        uint32_t tag;
        int32_t week;
        double cut;
    };
    std::vector<Cut> cuts;
    nb::object observations = production.attr("_observations");
    if (!PyDict_Check(observations.ptr()))
        observations = host::from_import("builtins", "dict")(observations);
    cuts.reserve((size_t) PyDict_Size(observations.ptr()));
    nb::str cut_name("cut");
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(observations.ptr(), &pos, &key, &value)) {
        if (!PyTuple_Check(key) || PyTuple_Size(key) != 2)
            host::raise(PyExc_TypeError, host::text("an observation's key is no (tag, week): ",
                                                    host::Repr{key}));
        PyObject *tag = PyTuple_GetItem(key, 0);
        long week = PyLong_AsLong(PyTuple_GetItem(key, 1));
        if (week == -1 && PyErr_Occurred())
            throw nb::python_error();
        if (week < INT32_MIN || week > INT32_MAX)
            host::raise(PyExc_OverflowError, host::text("model week ", std::to_string(week),
                                                        " is out of the chart's range"));
        PyObject *at = PyDict_GetItemWithError(index.ptr(), tag);
        if (!at && PyErr_Occurred())
            throw nb::python_error();
        size_t t = at ? PyLong_AsSize_t(at) : tags.size();
        if (!at) {
            index[tag] = nb::int_(t);
            tags.push_back(nb::borrow(tag));
        }
        nb::object cell = nb::steal(PyObject_GetAttr(value, cut_name.ptr()));
        if (!cell.is_valid())
            throw nb::python_error();
        double cut = 0.0;
        if (!cell.is_none()) {
            cut = PyFloat_AsDouble(cell.ptr());
            if (cut == -1.0 && PyErr_Occurred())
                throw nb::python_error();
        }
        cuts.push_back({(uint32_t) t, (int32_t) week, std::isnan(cut) ? 0.0 : cut});
    }
    // The weeks in order, and each week's column.
    std::unordered_map<int32_t, size_t> column;
    for (const Cut &c : cuts)
        column.emplace(c.week, 0);
    for (const auto &[week, _] : column)
        h.weeks.push_back(week);
    std::sort(h.weeks.begin(), h.weeks.end());
    for (size_t w = 0; w < h.weeks.size(); ++w)
        column[(int32_t) h.weeks[w]] = w;
    h.tags = tags.size();
    std::vector<double> totals(tags.size(), 0.0);
    for (const Cut &c : cuts)
        totals[c.tag] += c.cut;

    // The bands: every tag that cut a bunch, or beyond max_bands the largest
    // and "other".
    std::vector<size_t> cutting;
    for (size_t t = 0; t < tags.size(); ++t)
        if (totals[t] > 0.0)
            cutting.push_back(t);
    std::vector<size_t> shown = cutting;
    if (cutting.size() > max_bands) {
        std::stable_sort(shown.begin(), shown.end(),
                         [&](size_t a, size_t b) { return totals[a] > totals[b]; });
        shown.resize(max_bands - 1);
        std::sort(shown.begin(), shown.end());
    }
    for (size_t t : shown)
        h.shown.push_back(tags[t]);
    h.others = cutting.size() - shown.size();
    std::vector<size_t> band_of(tags.size(), shown.size());
    for (size_t k = 0; k < shown.size(); ++k)
        band_of[shown[k]] = k;
    h.cut.assign(h.bands() * h.weeks.size(), 0.0);
    for (const Cut &c : cuts)
        if (c.cut > 0.0)
            h.cut[band_of[c.tag] * h.weeks.size() + column[c.week]] += c.cut;
    return h;
}

nb::str other_label(const Harvest &h) {
    nb::str count = host::format(nb::int_(h.others), ",");
    return host::text("other (", host::Str{count}, " tags)");
}

size_t production(const Matplotlib &mpl, nb::handle axes, nb::handle production,
                  nb::handle provider, nb::handle labels) {
    axes.attr("set_title")("Bunches cut per week, by ribbon tag", nb::arg("loc") = "left");
    axes.attr("set_ylabel")("bunches cut");
    plain_frame(axes);
    Harvest h = harvest(production);
    if (h.weeks.empty() || h.tags == 0) {
        note(axes, nb::str("no harvest rows"));
        return 0;
    }
    const std::vector<long> &weeks = h.weeks;
    const std::vector<nb::object> &names = h.shown;
    size_t bands = h.bands();
    bool dated = !provider.is_none();
    double shift = dated ? epoch_shift(mpl) : 0.0;
    double length = dated ? nb::cast<double>(provider.attr("week_length_days")) : 1.0;
    double start = dated ? (double) day_of(provider.attr("start")) : 0.0;
    std::vector<TagColour> colours = tag_colours(names, mpl.colors, mpl.colormaps);
    bool labelled = labels.is_valid() && !labels.is_none();
    std::vector<double> bottom(weeks.size(), 0.0);
    double left = INFINITY, right = -INFINITY;
    for (size_t k = 0; k < bands; ++k) {
        Rectangles bars;
        for (size_t w = 0; w < weeks.size(); ++w) {
            double cut = h.at(k, w);
            if (cut <= 0.0)
                continue;
            double x = dated ? shift + start + (double) weeks[w] * length : (double) weeks[w];
            bars.add(x, bottom[w], x + length * 0.85, bottom[w] + cut);
            left = std::min(left, x);
            right = std::max(right, x + length * 0.85);
            bottom[w] += cut;
        }
        nb::dict kw;
        if (k < names.size()) {
            nb::object label = host::str(names[k]);
            if (labelled) {
                nb::object written = labels.attr("get")(names[k]);
                if (!written.is_none())
                    label = host::str(written);
            }
            kw["facecolor"] = colours[k].rgba;
            kw["edgecolor"] = colours[k].pale ? nb::object(nb::str("#8a8a8a")) : colours[k].rgba;
            kw["linewidth"] = colours[k].pale ? 0.8 : 0.0;
            kw["label"] = label;
        } else {
            kw["facecolor"] = "#d9d9d9";
            kw["edgecolor"] = "#8a8a8a";
            kw["hatch"] = "////";
            kw["linewidth"] = 0.5;
            kw["label"] = other_label(h);
        }
        nb::object patch = bars.patch(mpl, kw);
        patch.attr("sticky_edges").attr("y").attr("append")(0.0);
        // (add_patch would walk every rectangle again for the data limits)
        axes.attr("add_artist")(patch);
    }
    if (bands > 0) {
        double top = *std::max_element(bottom.begin(), bottom.end());
        axes.attr("update_datalim")(nb::make_tuple(nb::make_tuple(left, 0.0),
                                                   nb::make_tuple(right, top)));
    }
    axes.attr("autoscale_view")();
    if (dated) {
        date_axis(mpl, axes);
    } else {
        axes.attr("set_xlabel")("model week");
        axes.attr("xaxis").attr("set_major_locator")(
            mpl.ticker.attr("MaxNLocator")(nb::arg("integer") = true));
    }
    if (bands == 0)
        return 0;
    legend_below(axes, std::min<size_t>(bands, 8), "ribbon tag");
    return legend_rows(bands);
}

void profiles(const Matplotlib &mpl, nb::handle axes, nb::handle parameters) {
    axes.attr("set_title")("Dispersion after each threshold", nb::arg("loc") = "left");
    axes.attr("set_xlabel")("weeks since the threshold");
    axes.attr("set_ylabel")("share of the cohort");
    plain_frame(axes);
    nb::object build = host::from_import("py_zelka.dispersion", "build_dispersion_profile");
    nb::list problems;
    const char *colours[] = {"#2e7d32", "#8e44ad"};
    size_t drawn = 0, k = 0;
    for (const char *section : {"flowering", "sucker_selection"}) {
        const char *colour = colours[k++];
        nb::object shares;
        try {
            nb::object p = parameters.attr(section);
            shares = build(p["amplitude"], p["peak_weeks"], p["spread"]).attr("shares");
        } catch (nb::python_error &error) {
            if (!host::error_is(error, PyExc_Exception))
                throw;
            problems.append(host::text(section, ": ", host::Str{error.value()}));
            continue;
        }
        if (nb::len(shares) == 0) {
            problems.append(host::text(section, ": no profile (amplitude 0)"));
            continue;
        }
        nb::list weeks;
        for (size_t w = 0; w < nb::len(shares); ++w)
            weeks.append(nb::int_(w));
        nb::dict kw;
        kw["marker"] = "o";
        kw["markersize"] = 3;
        kw["color"] = colour;
        kw["label"] = section;
        axes.attr("plot")(weeks, shares, **kw);
        ++drawn;
    }
    if (nb::len(problems) > 0)
        note(axes, nb::str("\n").attr("join")(problems));
    if (drawn > 0)
        axes.attr("legend")(nb::arg("frameon") = false, nb::arg("fontsize") = "small");
    axes.attr("xaxis").attr("set_major_locator")(
        mpl.ticker.attr("MaxNLocator")(nb::arg("integer") = true));
}

void harvest_hazard(const Matplotlib &mpl, nb::handle axes, nb::handle parameters) {
    axes.attr("set_title")("Harvest hazard", nb::arg("loc") = "left");
    axes.attr("set_xlabel")("weeks since the harvest threshold");
    axes.attr("set_ylabel")("share of the rest cut that week");
    plain_frame(axes);
    try {
        nb::object basis = parameters.attr("general")["rate_basis"];
        nb::object hazard_weeks = parameters.attr("harvest")["hazard_weeks"];
        nb::object hazard = host::from_import(
            "py_zelka.dispersion",
            basis.equal(nb::str("cohort")) ? "hazard_from_shares" : "hazard_from_table");
        nb::list weeks, values;
        for (size_t w = 0; w <= nb::len(hazard_weeks) + 1; ++w) {
            weeks.append(nb::int_(w));
            values.append(hazard(nb::int_(w), hazard_weeks));
        }
        nb::dict kw;
        kw["color"] = "#b7950b";
        kw["width"] = 0.8;
        kw["label"] = host::text("rate_basis ", host::Repr{basis});
        axes.attr("bar")(weeks, values, **kw);
        axes.attr("legend")(nb::arg("frameon") = false, nb::arg("fontsize") = "small");
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_Exception))
            throw;
        note(axes, host::text("no hazard: ", host::Str{error.value()}));
    }
    axes.attr("xaxis").attr("set_major_locator")(
        mpl.ticker.attr("MaxNLocator")(nb::arg("integer") = true));
}

namespace {

// Settings under which a figure is written the same way every time: SVG ids
// made from the content and a fixed salt, not from a random one; text as
// paths.
nb::dict steady_settings() {
    nb::dict rc;
    rc["svg.hashsalt"] = "py_zelka";
    rc["svg.fonttype"] = "path";
    return rc;
}

void save_steadily(nb::handle figure, nb::handle target, nb::dict kw) {
    host::with(host::from_import("matplotlib", "rc_context")(steady_settings()),
               [&](nb::handle) { figure.attr("savefig")(target, **kw); });
}

// `text` with `prefix` put before every id it declares (id="...") and every
// one it refers to (href="#...", xlink:href="#...", url(#...)).
std::string prefixed(const std::string &text, const std::string &prefix) {
    static const std::string marks[] = {" id=\"", "href=\"#", "url(#"};
    std::string out;
    out.reserve(text.size() + text.size() / 20);
    // The next place of each mark, found again only once it is passed (the
    // marks cannot overlap one another).
    size_t found[3];
    for (size_t k = 0; k < 3; ++k)
        found[k] = text.find(marks[k]);
    size_t at = 0;
    while (true) {
        size_t k = std::min_element(found, found + 3) - found;
        if (found[k] == std::string::npos)
            break;
        size_t end = found[k] + marks[k].size();
        out.append(text, at, end - at);
        out += prefix;
        at = end;
        found[k] = text.find(marks[k], at);
    }
    out.append(text, at, std::string::npos);
    return out;
}

}  // namespace

nb::str svg(nb::handle figure) {
    nb::object buffer = host::from_import("io", "StringIO")();
    nb::dict metadata;
    for (const char *key : {"Creator", "Date", "Format", "Type"})
        metadata[key] = nb::none();
    nb::dict kw;
    kw["format"] = "svg";
    kw["bbox_inches"] = "tight";
    kw["metadata"] = metadata;
    save_steadily(figure, buffer, kw);
    std::string text = utf8(buffer.attr("getvalue")());
    size_t at = text.find("<svg");
    if (at != std::string::npos)
        text.erase(0, at);
    // A document of its own (the page holds it as an image): its namespaces
    // stay declared.
    // FNV-1a of the chart's text: its ids differ from another chart's (24
    // bits: a page holds tens of charts, not thousands).
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char digits[16];
    std::snprintf(digits, sizeof digits, "%06llx", (unsigned long long) (hash & 0xffffffull));
    text = prefixed(text, std::string("z") + digits + "-");
    return nb::str(text.data(), text.size());
}

void save(const Matplotlib &, nb::handle figure, nb::handle path, const std::string &format,
          double dpi) {
    nb::dict kw;
    kw["format"] = nb::str(format.data(), format.size());
    kw["dpi"] = dpi;
    nb::dict metadata;
    if (format == "svg" || format == "svgz")
        metadata["Date"] = nb::none();
    else if (format == "pdf")
        metadata["CreationDate"] = nb::none();
    if (nb::len(metadata) > 0)
        kw["metadata"] = metadata;
    save_steadily(figure, path, kw);
}

std::vector<std::string> formats(const Matplotlib &) {
    nb::object types = host::from_import("matplotlib.backend_bases", "FigureCanvasBase")
                           .attr("get_supported_filetypes")();
    std::vector<std::string> out;
    for (nb::handle suffix : types)
        out.push_back(utf8(suffix));
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace charts
