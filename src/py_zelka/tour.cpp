// zelka tour: a farm read with Farm.load and shown section by section -- the
// parameter set, the dispersion profiles, the weather period, the inventory,
// the production, the sucker selection, the replacement schedule and the
// notices of the reads -- and optionally drawn with the farm report's charts.
//
// Every week shown comes from the farm's data (the profiles' lengths, the
// weeks of the production and selection rows, the schedule's weeks): no
// range of weeks is fixed here.
#include "py_zelka/tour.hpp"

#include "farm/charts.hpp"
#include "host/host.hpp"
#include "records/text_table.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tour {

namespace {

using Row = std::vector<nb::object>;
using Profiles = std::vector<std::pair<const char *, nb::object>>;

// ---------------------------------------------------------------------------
// Text and output

using host::format;
using host::utf8;

void write(const nb::str &text) { host::from_import("sys", "stdout").attr("write")(text); }

void write(const std::string &text) { write(nb::str(text.data(), text.size())); }

void write_error(const nb::str &text) {
    nb::object stderr_ = host::from_import("sys", "stderr");
    stderr_.attr("write")(text);
    stderr_.attr("flush")();
}

void heading(const char *title) {
    std::string text(title);
    write("\n" + text + "\n" + std::string(records::text_width(text), '-') + "\n");
}

// `", ".join(str(item) for item in items)`.
nb::str joined(nb::handle items) {
    nb::list texts;
    for (nb::handle item : items)
        texts.append(host::str(item));
    return nb::borrow<nb::str>(nb::str(", ").attr("join")(texts));
}

// ---------------------------------------------------------------------------
// Tables: text left, numbers right

bool is_number(nb::handle value) {  // isinstance(value, (int, float))
    return PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr());
}

// "-" for None; a float in `float_format`, or with 4 decimals below 10 and
// 1 decimal otherwise; anything else as str() writes it.
std::string cell(nb::handle value, const char *float_format) {
    if (value.is_none())
        return "-";
    if (PyFloat_Check(value.ptr()))
        return utf8(format(value, float_format ? float_format
                                  : std::fabs(PyFloat_AsDouble(value.ptr())) < 10 ? ".4f"
                                                                                 : ".1f"));
    return utf8(value);
}

void table(std::vector<std::string> headers, const std::vector<Row> &rows,
           const char *float_format = nullptr) {
    std::vector<bool> numeric(headers.size(), true);
    for (const Row &row : rows)
        for (size_t i = 0; i < row.size() && i < numeric.size(); ++i)
            numeric[i] = numeric[i] && (row[i].is_none() || is_number(row[i]));
    records::TextTable out(std::move(headers), numeric);
    for (const Row &row : rows) {
        std::vector<std::string> cells;
        for (const nb::object &value : row)
            cells.push_back(cell(value, float_format));
        out.add(std::move(cells));
    }
    write(out.str());
}

// ---------------------------------------------------------------------------
// The sections

const char *const sections[] = {"general", "flowering", "sucker_selection", "harvest",
                                "mortality_replacement"};

void show_parameters(nb::handle parameters) {
    heading("Parameter set");
    write(host::text("the farm's parameter set, provenance ", host::Str{parameters.attr("source")},
                     "\n"));
    nb::object defaults =
        host::from_import("py_zelka.parameters", "ParameterSet").attr("from_kessot_defaults")();
    std::vector<Row> changed;
    for (const char *section : sections) {
        nb::object ours = defaults.attr(section);
        for (nb::handle item : parameters.attr(section).attr("items")()) {
            nb::object key = item[0], value = item[1];
            nb::object default_value = ours.attr("get")(key);
            if (default_value.not_equal(value))
                changed.push_back(
                    {nb::str(section), key, host::str(default_value), host::str(value)});
        }
    }
    if (changed.empty()) {
        write("no differences from the Kessot defaults\n");
    } else {
        write("differences from the Kessot defaults:\n");
        table({"section", "key", "default", "farm"}, changed);
    }
    // What an override does to a set: the value and the provenance.
    nb::object harvest = parameters.attr("harvest");
    nb::dict updates;
    updates["threshold_dd"] = harvest["threshold_dd"] + nb::float_(50.0);
    nb::object trial = parameters.attr("override")("harvest", updates,
                                                   nb::arg("source") = "trial-late-harvest");
    write(host::text("after one override of harvest.threshold_dd: ",
                     host::Str{trial.attr("harvest")["threshold_dd"]}, " degree-days, provenance ",
                     host::Str{trial.attr("source")}, "\n"));
}

// The flowering and sucker selection profiles, with the table of their
// shares, completion and hazards beside the harvest hazard, week by week
// until the last of them is done.
Profiles show_dispersion(nb::handle parameters) {
    heading("Dispersion after each threshold");
    nb::object build = host::from_import("py_zelka.dispersion", "build_dispersion_profile");
    Profiles profiles;
    size_t weeks = 0;
    for (const char *section : {"flowering", "sucker_selection"}) {
        nb::object p = parameters.attr(section);
        nb::object profile = build(p["amplitude"], p["peak_weeks"], p["spread"]);
        size_t length = nb::len(nb::object(profile.attr("shares")));
        weeks = std::max(weeks, length);
        profiles.emplace_back(section, profile);
        if (length == 0)
            write(host::text(section, ": no profile (amplitude ", host::Str{p["amplitude"]},
                             " disables it)\n"));
        else
            write(host::text(section, ": peak week ", host::Str{p["peak_weeks"]}, ", ",
                             std::to_string(length), " weeks until the whole cohort is done\n"));
    }
    nb::object basis = parameters.attr("general")["rate_basis"];
    nb::object hazard_weeks = parameters.attr("harvest")["hazard_weeks"];
    nb::object harvest = host::from_import(
        "py_zelka.dispersion",
        basis.equal(nb::str("cohort")) ? "hazard_from_shares" : "hazard_from_table");
    // The harvest hazard reaches its last value one week after the table.
    weeks = std::max(weeks, nb::len(hazard_weeks) + 1);
    write(host::text("harvest: hazard_weeks ", host::Str{hazard_weeks}, " read under rate_basis ",
                     host::Repr{basis}, "\n"));
    std::vector<Row> rows;
    for (size_t week = 0; week < weeks; ++week) {
        nb::int_ w(week);
        Row row{w};
        for (const auto &[name, profile] : profiles) {
            row.push_back(profile.attr("share")(w));
            row.push_back(profile.attr("fraction_done")(w));
            row.push_back(profile.attr("hazard")(w));
        }
        row.push_back(harvest(w, hazard_weeks));
        rows.push_back(std::move(row));
    }
    table({"week", "flower share", "done", "hazard", "select share", "done", "hazard",
           "harvest hazard"},
          rows);
    return profiles;
}

// The weather's period and week numbering, and its temperature signal
// summed (degree-days above the base temperature, or the heat units).
void show_weather(nb::handle farm) {
    heading("Weather");
    nb::object weather = farm.attr("weather");
    nb::object provider = farm.attr("provider");
    nb::object last_week = provider.attr("week_index_for_date")(provider.attr("end"));
    write(host::text(std::to_string(nb::len(weather)), " days from ",
                     host::Str{provider.attr("start")}, " to ", host::Str{provider.attr("end")},
                     ": model weeks 0 to ", host::Str{last_week}, " of ",
                     host::Str{provider.attr("week_length_days")}, " days\n"));
    nb::object label = weather.attr("columns")[1];
    nb::object signal = host::from_import("pandas", "to_numeric")(weather[label],
                                                                   nb::arg("errors") = "coerce");
    nb::object weeks = last_week + nb::int_(1);
    if (label.equal(nb::str("tmean"))) {
        nb::object base = farm.attr("parameters").attr("general")["base_temperature_c"];
        nb::object degree_days =
            signal.attr("sub")(base).attr("clip")(nb::arg("lower") = 0).attr("sum")();
        write(host::text("mean temperature ", format(signal.attr("mean")(), ".1f"), " °C; ",
                         format(degree_days, ".0f"), " degree-days above ", host::Str{base},
                         " °C, ", format(degree_days / weeks, ".1f"), " a week\n"));
    } else {
        nb::object total = signal.attr("sum")();
        write(host::text(format(total, ".0f"), " heat units, ", format(total / weeks, ".1f"),
                         " a week\n"));
    }
}

// Cohorts, plants and the oldest age per chain and tag.
void show_inventory(nb::handle inventory) {
    heading("Population inventory");
    if (inventory.is_none()) {
        write("no inventory file\n");
        return;
    }
    if (nb::len(inventory) == 0) {
        write("the inventory has no cohorts\n");
        return;
    }
    nb::object data = nb::borrow(inventory);
    if (!host::contains(data.attr("columns"), nb::str("tag")))
        data = data.attr("assign")(nb::arg("tag") = "");
    nb::list keys;
    keys.append("chain");
    keys.append("tag");
    nb::object by = data.attr("groupby")(keys, nb::arg("sort") = true, nb::arg("dropna") = false)
                        .attr("agg")(nb::arg("cohorts") = nb::make_tuple("population", "size"),
                                     nb::arg("plants") = nb::make_tuple("population", "sum"),
                                     nb::arg("oldest") = nb::make_tuple("age_weeks", "max"));
    nb::list groups = host::as_list(by.attr("index"));
    // tolist(): Python ints and floats
    nb::list cohorts(by["cohorts"].attr("tolist")());
    nb::list plants(by["plants"].attr("tolist")());
    nb::list oldest(by["oldest"].attr("tolist")());
    std::vector<Row> rows;
    for (size_t i = 0; i < nb::len(groups); ++i) {
        nb::object chain = groups[i][0], tag = groups[i][1];
        bool untagged = host::is_missing(tag) || !host::truth(tag);
        rows.push_back({chain, untagged ? nb::object(nb::str("(untagged)")) : tag, cohorts[i],
                        plants[i], oldest[i]});
    }
    table({"chain", "tag", "cohorts", "plants", "oldest (weeks)"}, rows);
    nb::object totals = data.attr("groupby")("chain")["population"].attr("sum")();
    nb::list parts;
    for (nb::handle item : totals.attr("items")())
        parts.append(host::text(host::Str{item[0]}, " ", format(item[1], ".0f")));
    write(host::text("plants by chain: ", nb::borrow<nb::str>(nb::str(", ").attr("join")(parts)),
                     "\n"));
}

// The model weeks of the production rows, in order.
std::vector<long> harvest_weeks(nb::handle production) {
    std::set<long> weeks;
    for (nb::handle key : production.attr("_observations"))
        weeks.insert(nb::cast<long>(key[1]));
    return {weeks.begin(), weeks.end()};
}

// A farm of more tags than a table can show side by side: the bunches cut
// in every week with a harvest row by the tags that cut the most, and by the
// others together.
void show_many_tags(nb::handle production) {
    charts::Harvest harvest = charts::harvest(production);
    if (harvest.weeks.empty()) {
        write("no harvest rows\n");
        return;
    }
    write(host::text(format(nb::int_(harvest.tags), ","), " tags; harvest weeks ",
                     std::to_string(harvest.weeks.front()), " to ",
                     std::to_string(harvest.weeks.back()), "\n"));
    write(host::text("bunches cut per model week by the ", std::to_string(harvest.shown.size()),
                     " tags that cut the most and by the ", format(nb::int_(harvest.others), ","),
                     " others:\n"));
    std::vector<std::string> headers{"week"};
    for (const nb::object &tag : harvest.shown)
        headers.push_back(utf8(tag));
    if (harvest.others)
        headers.push_back("other");
    std::vector<Row> rows;
    for (size_t w = 0; w < harvest.weeks.size(); ++w) {
        Row row{nb::int_(harvest.weeks[w])};
        for (size_t band = 0; band < harvest.bands(); ++band) {
            double cut = harvest.at(band, w);
            row.push_back(cut > 0.0 ? nb::object(nb::float_(cut)) : nb::object(nb::none()));
        }
        rows.push_back(std::move(row));
    }
    table(std::move(headers), rows, ".1f");
}

// Bunches cut per tag in every week with a harvest row.
void show_production(nb::handle production) {
    heading("Ribbon production");
    if (production.is_none()) {
        write("no production file\n");
        return;
    }
    nb::object tags = production.attr("tags")();
    if (nb::len(tags) > charts::max_bands) {
        show_many_tags(production);
        return;
    }
    std::vector<long> weeks = harvest_weeks(production);
    if (weeks.empty()) {
        write("no harvest rows\n");
        return;
    }
    write(host::text("tags ", joined(tags), "; harvest weeks ", std::to_string(weeks.front()),
                     " to ", std::to_string(weeks.back()), "\n"));
    std::vector<std::string> headers{"week"};
    for (nb::handle tag : tags)
        headers.push_back(utf8(tag));
    std::vector<Row> rows;
    for (long week : weeks) {
        nb::int_ w(week);
        Row row{w};
        for (nb::handle tag : tags) {
            nb::object observation = production.attr("observation")(tag, w);
            row.push_back(observation.is_none() ? nb::object(nb::none())
                                                : nb::object(observation.attr("cut")));
        }
        rows.push_back(std::move(row));
    }
    write("bunches cut per tag and model week:\n");
    table(std::move(headers), rows, ".1f");
}

// The weeks the surveys cover and the suckers selected in each surveyed
// week, four weeks to a line.
void show_selection(nb::handle selection) {
    heading("Sucker selection");
    if (selection.is_none()) {
        write("no selection file\n");
        return;
    }
    nb::object first = selection.attr("_first_week"), last = selection.attr("_last_week");
    if (first.is_none()) {
        write("no survey rows\n");
        return;
    }
    Row surveys;  // week, total, week, total, ...
    for (long week = nb::cast<long>(first); week <= nb::cast<long>(last); ++week) {
        nb::int_ w(week);
        nb::object total = selection.attr("total")(w);
        if (!total.is_none()) {
            surveys.push_back(w);
            surveys.push_back(total);
        }
    }
    write(host::text("weeks ", host::Str{first}, " to ", host::Str{last}, " covered, ",
                     std::to_string(surveys.size() / 2),
                     " of them with a survey; suckers selected per week:\n"));
    const size_t per_line = 4;
    std::vector<Row> rows;
    for (size_t i = 0; i < surveys.size(); i += 2 * per_line) {
        Row row(surveys.begin() + i, surveys.begin() + std::min(surveys.size(), i + 2 * per_line));
        row.resize(2 * per_line, nb::none());
        rows.push_back(std::move(row));
    }
    std::vector<std::string> headers;
    for (size_t k = 0; k < per_line; ++k) {
        headers.push_back("week");
        headers.push_back("selected");
    }
    table(std::move(headers), rows);
}

// The replacement suckers of each scheduled week and their sum up to the
// last of them.
void show_schedule(nb::handle schedule) {
    heading("Replacement suckers");
    nb::object suckers = schedule.attr("replacement_suckers_for_week");
    nb::list weeks = nb::borrow<nb::list>(
        host::from_import("builtins", "sorted")(schedule.attr("replacement_schedule")));
    if (nb::len(weeks) == 0) {
        write(host::text("no replacement suckers are scheduled; a week without an entry gets ",
                         host::Str{suckers(nb::int_(0))}, "\n"));
        return;
    }
    std::vector<Row> rows;
    for (nb::handle week : weeks)
        rows.push_back({nb::borrow(week), suckers(week)});
    table({"week", "suckers"}, rows);
    long last = nb::cast<long>(weeks[nb::len(weeks) - 1]);
    nb::list amounts;
    for (long week = 0; week <= last; ++week)
        amounts.append(suckers(nb::int_(week)));
    nb::object total = host::from_import("builtins", "sum")(amounts);
    write(host::text(format(total, ".1f"), " replacement suckers over weeks 0 to ",
                     std::to_string(last), "; a week without an entry gets ",
                     host::Str{suckers(nb::int_(last + 1))}, "\n"));
}

// The notices of the reads, issued as ZelkaDataNotice warnings and shown
// as the warnings read.
void show_notices(nb::handle notices) {
    heading("Data-quality notices");
    nb::object category = host::from_import("py_zelka.notices", "ZelkaDataNotice");
    write(host::text(std::to_string(nb::len(notices)), " notice(s) from the reads, shown as ",
                     host::Str{category.attr("__name__")}, " warnings:\n"));
    nb::object warnings = host::import("warnings");
    nb::object caught;
    host::with(warnings.attr("catch_warnings")(nb::arg("record") = true), [&](nb::handle log) {
        caught = nb::borrow(log);
        warnings.attr("simplefilter")("always", category);
        notices.attr("emit_warnings")();
    });
    for (nb::handle warning : caught)
        write(host::text("  ", host::Str{warning.attr("category").attr("__name__")}, ": ",
                         host::Str{warning.attr("message")}, "\n"));
}

// ---------------------------------------------------------------------------
// The plot

// The format of the plot's file, from its suffix (".png" is "png", ".SVG"
// "svg"), among the formats matplotlib writes; "" when the suffix names none
// of them (or there is none).
std::string plot_format(nb::handle path, const std::vector<std::string> &formats) {
    nb::object suffix = host::from_import("pathlib", "Path")(path).attr("suffix");
    std::string format = utf8(suffix.attr("lower")());
    if (format.size() < 2)
        return "";
    format.erase(0, 1);
    return std::find(formats.begin(), formats.end(), format) != formats.end() ? format : "";
}

// The usage error of a plot file in a format matplotlib cannot write, in
// the command's one-line form.
void bad_plot_name(nb::handle path, const std::vector<std::string> &formats) {
    std::string suffixes;
    for (size_t i = 0; i < formats.size(); ++i)
        suffixes += (i == 0 ? "" : i + 1 == formats.size() ? " or " : ", ") + ("." + formats[i]);
    write_error(host::text("zelka tour: error: argument --plot: ", host::Repr{path},
                           " names no format the plot can be written in; end the file name in ",
                           suffixes, " (see zelka tour --help)\n"));
}

// The farm drawn with the report's charts -- the weather day by day, the
// bunches cut per week and tag, the dispersion profiles and the harvest
// hazard -- written to `path` in `format`.  Returns the exit status.
int draw(nb::handle path, const std::string &format, nb::handle farm) {
    charts::Matplotlib mpl;
    if (!charts::load(mpl)) {
        write_error(host::text("--plot needs matplotlib, which is not installed (pip install "
                               "'py_zelka[plot]'); ",
                               host::Str{path}, " not written\n"));
        return 1;
    }
    nb::object production = farm.attr("production");
    size_t rows = production.is_none() ? 0 : charts::legend_rows(nb::len(production.attr("tags")()));
    double production_height = 3.2 + 0.2 * (double) rows;
    nb::object figure = charts::figure(mpl, 11, 6.8 + production_height);
    figure.attr("set_layout_engine")("constrained");
    nb::object grid = figure.attr("add_gridspec")(
        3, 2, nb::arg("height_ratios") = nb::make_tuple(3.2, production_height, 3.2));
    nb::object top = figure.attr("add_subplot")(grid[nb::make_tuple(0, nb::slice(0, 2, 1))]);
    nb::object middle = figure.attr("add_subplot")(grid[nb::make_tuple(1, nb::slice(0, 2, 1))]);
    nb::object left = figure.attr("add_subplot")(grid[nb::make_tuple(2, 0)]);
    nb::object right = figure.attr("add_subplot")(grid[nb::make_tuple(2, 1)]);
    charts::weather(mpl, top, farm.attr("weather"), farm.attr("provider"),
                    host::from_import("builtins", "set")());
    if (production.is_none()) {
        middle.attr("set_title")("Bunches cut per week, by ribbon tag", nb::arg("loc") = "left");
        middle.attr("text")(0.5, 0.5, "no production file", nb::arg("ha") = "center",
                            nb::arg("va") = "center",
                            nb::arg("transform") = middle.attr("transAxes"));
    } else {
        charts::production(mpl, middle, production, farm.attr("provider"));
    }
    charts::profiles(mpl, left, farm.attr("parameters"));
    charts::harvest_hazard(mpl, right, farm.attr("parameters"));
    nb::object file = host::from_import("pathlib", "Path")(path);
    bool existed = host::truth(file.attr("exists")());
    try {
        charts::save(mpl, figure, path, format, 110);
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_Exception))
            throw;
        // What a failed writer left behind is no plot.
        if (!existed && host::truth(file.attr("is_file")()))
            file.attr("unlink")(nb::arg("missing_ok") = true);
        write_error(host::text("cannot write the plot ", host::Str{path}, ": ",
                               host::Str{error.value()}, "\n"));
        return 1;
    }
    write(host::text("\nplot written to ", host::Str{path}, "\n"));
    return 0;
}

}  // namespace

int run(nb::handle folder, nb::handle plot) {
    // A plot file named in a format that cannot be written is the command
    // line's error, found before any farm is read.  (Without matplotlib,
    // the tour runs and then says what the plot needs.)
    std::string format;
    if (!plot.is_none()) {
        charts::Matplotlib mpl;
        if (charts::load(mpl)) {
            std::vector<std::string> formats = charts::formats(mpl);
            format = plot_format(plot, formats);
            if (format.empty()) {
                bad_plot_name(plot, formats);
                return 2;
            }
        }
    }
    nb::object farm;
    try {
        farm = host::from_import("py_zelka.farm", "Farm").attr("load")(folder);
    } catch (nb::python_error &error) {
        if (!host::error_is(error, host::from_import("py_zelka.farm", "FarmCheckError")))
            throw;
        write_error(host::text(host::Str{error.value()}, "\n"));
        return 1;
    }
    write(host::text("py_zelka tour of the farm in ", host::Str{farm.attr("folder")}, "\n"));
    show_parameters(farm.attr("parameters"));
    show_dispersion(farm.attr("parameters"));
    show_weather(farm);
    show_inventory(farm.attr("inventory"));
    show_production(farm.attr("production"));
    show_selection(farm.attr("selection"));
    show_schedule(farm.attr("schedule"));
    show_notices(farm.attr("notices"));
    int status = plot.is_none() ? 0 : draw(plot, format, farm);
    host::from_import("sys", "stdout").attr("flush")();
    return status;
}

}  // namespace tour
