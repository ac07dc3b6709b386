// The charts of a farm: matplotlib called through its object API.
#include "farm/charts.hpp"

#include "host/host.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <vector>

namespace charts {

using host::utf8;

namespace {

nb::object date_of(long long ordinal) {
    return host::from_import("datetime", "date").attr("fromordinal")(ordinal);
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

// The colour of each tag (in the order of `tags`).  A tag that is one of
// matplotlib's colour names ("red", "white", "navy", "tab:blue",
// "xkcd:mustard"; the one-letter shorthands such as "b" and "k" are not
// names here) or a "#rrggbb" colour is drawn in that colour -- unless an
// earlier tag took the same colour ("gray" after "grey").  The other tags
// get qualitative palette colours in turn, skipping the ones alike to a
// colour a tag names, those close to white, and those already given; when
// the palettes run out, the rest are spread over the turbo map.
std::vector<TagColour> tag_colours(nb::handle tags, nb::handle colors, nb::handle colormaps) {
    size_t n = nb::len(tags);
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
        nb::object tag = tags[i];
        if (!PyUnicode_Check(tag.ptr()))
            continue;
        std::string text = utf8(tag);
        bool name = text.size() > 1 && host::contains(names, tag);
        bool hex = !text.empty() && text[0] == '#' &&
                   host::truth(colors.attr("is_color_like")(tag));
        if (!name && !hex)
            continue;
        nb::object rgba = to_rgba(tag);
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

// Calendar dates on the x axis, labelled as briefly as they can be.
void date_axis(const Matplotlib &mpl, nb::handle axes) {
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

// The calendar date a model week begins on.
nb::object week_start(nb::handle provider, long week) {
    long long start = nb::cast<long long>(provider.attr("start").attr("toordinal")());
    long long length = nb::cast<long long>(provider.attr("week_length_days"));
    return date_of(start + week * length);
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
    nb::object pd = host::import("pandas");
    nb::object label = weather.attr("columns")[1];
    bool heat_units = label.equal(nb::str("heat_units"));
    axes.attr("set_title")(heat_units ? "Weather: heat units per day"
                                      : "Weather: mean temperature per day",
                           nb::arg("loc") = "left");
    axes.attr("set_ylabel")(heat_units ? "heat units" : "°C");
    plain_frame(axes);
    nb::list stamps(weather["date"].attr("tolist")());
    nb::list raw(weather[label].attr("tolist")());
    nb::list numbers(pd.attr("to_numeric")(weather[label], nb::arg("errors") = "coerce")
                         .attr("astype")("float64")
                         .attr("tolist")());
    // (date, value) of each dated row, the flagged cells' dates apart.
    std::vector<std::pair<nb::object, double>> points;
    nb::list flagged_dates;
    std::set<long long> days, valued;
    for (size_t i = 0; i < nb::len(stamps); ++i) {
        nb::handle stamp = stamps[i];
        if (host::is_missing(stamp))
            continue;
        long long day = nb::cast<long long>(stamp.attr("toordinal")());
        days.insert(day);
        double value = nb::cast<double>(numbers[i]);
        if (!host::is_missing(raw[i]) && host::contains(flagged, host::str(raw[i]))) {
            flagged_dates.append(stamp.attr("to_pydatetime")());
            value = std::nan("");
        }
        if (!std::isnan(value))
            valued.insert(day);
        points.emplace_back(stamp.attr("to_pydatetime")(), value);
    }
    if (points.empty()) {
        note(axes, nb::str("no dated rows to draw"));
        return;
    }
    std::stable_sort(points.begin(), points.end(), [](const auto &a, const auto &b) {
        return host::truth(nb::steal(PyObject_RichCompare(a.first.ptr(), b.first.ptr(), Py_LT)));
    });
    nb::list x, y;
    for (const auto &[date, value] : points) {
        x.append(date);
        y.append(nb::float_(value));
    }
    nb::object x_transform = axes.attr("get_xaxis_transform")();
    // The model's weeks: a faint line where each begins.
    if (!provider.is_none()) {
        long long start = nb::cast<long long>(provider.attr("start").attr("toordinal")());
        long long end = nb::cast<long long>(provider.attr("end").attr("toordinal")());
        long long length = nb::cast<long long>(provider.attr("week_length_days"));
        nb::list starts;
        for (long long day = start; day <= end + 1 && length > 0; day += length)
            starts.append(date_of(day));
        nb::dict kw;
        kw["transform"] = x_transform;
        kw["colors"] = "#b9c3cf";
        kw["linewidth"] = 0.5;
        kw["label"] = host::text("model weeks (", host::Str{nb::int_(length)}, " days)");
        kw["zorder"] = 0;
        axes.attr("vlines")(starts, 0, 1, **kw);
    }
    // Days without a value, shaded run by run.
    bool labelled = false;
    long long first = *days.begin(), last = *days.rbegin();
    for (long long day = first; day <= last;) {
        if (valued.count(day)) {
            ++day;
            continue;
        }
        long long run = day;
        while (day <= last && !valued.count(day))
            ++day;
        nb::dict kw;
        kw["color"] = "#f4a259";
        kw["alpha"] = 0.45;
        kw["linewidth"] = 0;
        kw["zorder"] = 1;
        if (!labelled)
            kw["label"] = "days without a value";
        labelled = true;
        axes.attr("axvspan")(date_of(run), date_of(day), **kw);
    }
    nb::dict line;
    line["color"] = "#1f4e79";
    line["linewidth"] = 0.9;
    line["label"] = heat_units ? "heat units" : "mean temperature";
    line["zorder"] = 2;
    if (points.size() < 60) {
        line["marker"] = "o";
        line["markersize"] = 3;
    }
    axes.attr("plot")(x, y, **line);
    if (nb::len(flagged_dates) > 0) {
        nb::list tops;
        for (size_t i = 0; i < nb::len(flagged_dates); ++i)
            tops.append(nb::float_(0.96));
        nb::dict kw;
        kw["linestyle"] = "none";
        kw["marker"] = "v";
        kw["markersize"] = 7;
        kw["color"] = "#c0392b";
        kw["transform"] = x_transform;
        kw["clip_on"] = false;
        kw["zorder"] = 3;
        kw["label"] = "implausible or unreadable value";
        axes.attr("plot")(flagged_dates, tops, **kw);
    }
    date_axis(mpl, axes);
    nb::dict legend;
    legend["loc"] = "upper center";
    legend["bbox_to_anchor"] = nb::make_tuple(0.5, -0.12);
    legend["ncol"] = 4;
    legend["frameon"] = false;
    legend["fontsize"] = "small";
    axes.attr("legend")(**legend);
}

size_t legend_rows(size_t tags) { return (tags + 7) / 8; }

size_t production(const Matplotlib &mpl, nb::handle axes, nb::handle production,
                  nb::handle provider) {
    axes.attr("set_title")("Bunches cut per week, by ribbon tag", nb::arg("loc") = "left");
    axes.attr("set_ylabel")("bunches cut");
    plain_frame(axes);
    nb::object tags = production.attr("tags")();
    std::set<long> week_set;
    for (nb::handle key : production.attr("_observations"))
        week_set.insert(nb::cast<long>(key[1]));
    std::vector<long> weeks(week_set.begin(), week_set.end());
    if (weeks.empty() || nb::len(tags) == 0) {
        note(axes, nb::str("no harvest rows"));
        return 0;
    }
    bool dated = !provider.is_none();
    double length = dated ? nb::cast<double>(provider.attr("week_length_days")) : 1.0;
    nb::list x;
    for (long week : weeks)
        x.append(dated ? week_start(provider, week) : nb::object(nb::int_(week)));
    std::vector<TagColour> colours = tag_colours(tags, mpl.colors, mpl.colormaps);
    std::vector<double> bottom(weeks.size(), 0.0);
    size_t drawn = 0;
    for (size_t t = 0; t < nb::len(tags); ++t) {
        nb::object tag = tags[t];
        nb::list heights, bottoms;
        bool any = false;
        for (size_t k = 0; k < weeks.size(); ++k) {
            nb::object observation = production.attr("observation")(tag, nb::int_(weeks[k]));
            double cut = 0.0;
            if (!observation.is_none() && !host::is_missing(observation.attr("cut")))
                cut = nb::cast<double>(observation.attr("cut"));
            any = any || cut > 0.0;
            heights.append(nb::float_(cut));
            bottoms.append(nb::float_(bottom[k]));
            bottom[k] += cut;
        }
        if (!any)
            continue;
        nb::dict kw;
        kw["bottom"] = bottoms;
        kw["width"] = length * 0.85;
        kw["align"] = "edge";
        kw["color"] = colours[t].rgba;
        kw["edgecolor"] = colours[t].pale ? nb::object(nb::str("#8a8a8a")) : colours[t].rgba;
        kw["linewidth"] = colours[t].pale ? 0.8 : 0.0;
        kw["label"] = host::str(tag);
        axes.attr("bar")(x, heights, **kw);
        ++drawn;
    }
    if (dated) {
        date_axis(mpl, axes);
    } else {
        axes.attr("set_xlabel")("model week");
        axes.attr("xaxis").attr("set_major_locator")(
            mpl.ticker.attr("MaxNLocator")(nb::arg("integer") = true));
    }
    if (drawn == 0)
        return 0;
    nb::dict legend;
    legend["loc"] = "upper center";
    legend["bbox_to_anchor"] = nb::make_tuple(0.5, -0.12);
    legend["ncol"] = std::min<size_t>(drawn, 8);
    legend["frameon"] = false;
    legend["fontsize"] = "small";
    legend["title"] = "ribbon tag";
    legend["title_fontsize"] = "small";
    axes.attr("legend")(**legend);
    return legend_rows(drawn);
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

nb::str svg(nb::handle figure) {
    nb::object buffer = host::from_import("io", "StringIO")();
    nb::dict metadata;
    for (const char *key : {"Creator", "Date", "Format", "Type"})
        metadata[key] = nb::none();
    nb::dict kw;
    kw["format"] = "svg";
    kw["bbox_inches"] = "tight";
    kw["metadata"] = metadata;
    figure.attr("savefig")(buffer, **kw);
    std::string text = utf8(buffer.attr("getvalue")());
    size_t at = text.find("<svg");
    if (at != std::string::npos)
        text.erase(0, at);
    for (const char *declaration : {" xmlns=\"http://www.w3.org/2000/svg\"",
                                    " xmlns:xlink=\"http://www.w3.org/1999/xlink\""}) {
        size_t where = text.find(declaration);
        if (where != std::string::npos)
            text.erase(where, std::string(declaration).size());
    }
    return nb::str(text.data(), text.size());
}

}  // namespace charts
