// The farm report as one self-contained HTML page.  The page and its parts
// are Jinja2 templates shipped with the package (py_zelka/report/page.html,
// farm.html, fragment.html, with report.css), loaded once per process and
// rendered with autoescaping: this file hands them plain data -- a farm's
// verdict, counts, reads, findings, notices -- and builds no HTML, so that
// every value that reaches the page is escaped once, by the engine.  Charts
// are SVG drawn by matplotlib, put on the page as images (data: URIs): an
// image runs no script and keeps its ids to itself, whoever drew it.
#include "farm/charts.hpp"
#include "farm/check.hpp"
#include "farm/report.hpp"

#include "host/host.hpp"

#include <set>

namespace farm {

using host::utf8;

namespace {

// The rows of a rule the page shows; the rest are counted with their lines
// (the JSON keeps every finding).
constexpr size_t page_rows = 200;
// Rules with more rows than this start folded.
constexpr size_t open_rows = 25;

nb::object package_file(const char *name) {
    nb::object here = host::from_import("pathlib", "Path")(
        host::import("py_zelka.farm").attr("__file__"));
    return here.attr("parent") / nb::str("report") / nb::str(name);
}

// The templates, and the style they put on the page, loaded once.
nb::object environment(State &s) {
    if (s.templates.ptr())
        return nb::borrow(s.templates.ptr());
    nb::object jinja = host::import("jinja2");
    nb::object loader = jinja.attr("FileSystemLoader")(host::str(package_file("page.html").attr("parent")));
    nb::object env = jinja.attr("Environment")(
        nb::arg("loader") = loader, nb::arg("autoescape") = true,
        nb::arg("undefined") = jinja.attr("StrictUndefined"), nb::arg("keep_trailing_newline") = true);
    env.attr("globals")["style"] = host::from_import("markupsafe", "Markup")(
        package_file("report.css").attr("read_text")(nb::arg("encoding") = "utf-8"));
    s.templates = env;
    return env;
}

std::string state_of(const FarmRows &farm) {
    return farm.errors ? "error" : farm.warnings ? "warning" : "ok";
}

// A farm's place on the page: from its path, the same on every page; farms
// of one path apart by their number.
std::string anchor(nb::handle path, std::set<std::string> &taken) {
    nb::object digest = host::from_import("hashlib", "sha1")(
        host::str(path).attr("encode")("utf-8", "surrogateescape"));
    std::string base = "farm-" + utf8(digest.attr("hexdigest")()).substr(0, 10), id = base;
    for (size_t k = 2; !taken.insert(id).second; ++k)
        id = base + "-" + std::to_string(k);
    return id;
}

nb::str text(const std::string &value) { return nb::str(value.data(), value.size()); }

// An SVG chart as an image the page holds: a data: URI.
nb::str image(nb::handle svg) {
    nb::object data = host::from_import("base64", "b64encode")(svg.attr("encode")("utf-8"));
    return host::text("data:image/svg+xml;base64,", host::Str{data.attr("decode")("ascii")});
}

nb::dict chart(const char *kind, nb::handle svg, const char *caption) {
    nb::dict out;
    out["kind"] = kind;
    out["caption"] = caption;
    out["svg"] = svg;
    return out;
}

nb::dict missing_chart(const std::string &kind, const std::string &why) {
    nb::dict out;
    out["kind"] = text(kind);
    out["caption"] = text(why);
    out["svg"] = nb::none();
    return out;
}

// The weather cells the check found implausible or unreadable, as written.
nb::object flagged_cells(nb::handle report) {
    nb::list rules;
    for (Rule rule : {Rule::non_numeric_signal, Rule::missing_marker, Rule::implausible_value,
                      Rule::negative_heat_units})
        rules.append(nb::str(records::row_of(rule).name));
    nb::object findings = report.attr("findings");
    nb::object values = findings["value"];
    nb::object flagged = findings["rule"].attr("isin")(rules).attr("__and__")(values.attr("notna")());
    return host::from_import("builtins", "set")(values[flagged].attr("tolist")());
}

}  // namespace

nb::list farm_charts(nb::handle report) {
    nb::list out;
    charts::Matplotlib mpl;
    if (!charts::load(mpl)) {
        out.append(missing_chart("matplotlib",
                                 "The charts need matplotlib, which is not installed: pip install "
                                 "'py_zelka[plot]' and write the report again. Every finding is in "
                                 "the tables below."));
        return out;
    }
    auto attempt = [&](const std::string &kind, auto draw) {
        try {
            out.append(draw());
        } catch (nb::python_error &error) {
            if (!host::error_is(error, PyExc_Exception))
                throw;
            out.append(missing_chart(kind, "The chart could not be drawn: " +
                                               utf8(host::str(error.value()))));
        }
    };
    attempt("weather", [&] {
        nb::object weather = report.attr("weather");
        if (weather.is_none())
            return missing_chart("weather", "No weather chart: the weather file is missing or "
                                            "could not be read (see its findings).");
        nb::object figure = charts::figure(mpl, 11, 3.2);
        charts::weather(mpl, figure.attr("add_subplot")(), weather, report.attr("provider"),
                        flagged_cells(report));
        return chart("weather", charts::svg(figure),
                     "The weather as the model reads it: day by day over a few years, beyond "
                     "that weekly or monthly means with their lowest-to-highest band; shaded days "
                     "have no value, triangles mark cells the check refuses, dots or day ranges "
                     "days with several values; faint lines start the model weeks of a short "
                     "series, the months or years of a longer one.");
    });
    attempt("production", [&] {
        nb::object production = report.attr("production");
        if (production.is_none() && report.attr("provider").is_none())
            return missing_chart("production",
                                 "No production chart: its model weeks are counted from the "
                                 "weather's first day, and the farm has no weather read.");
        if (production.is_none())
            return missing_chart("production",
                                 "No production chart: the farm has no production file, or its "
                                 "errors keep it from being read.");
        size_t rows = charts::legend_rows(nb::len(production.attr("tags")()));
        nb::object figure = charts::figure(mpl, 11, 3.2 + 0.2 * (double) rows);
        charts::production(mpl, figure.attr("add_subplot")(), production, report.attr("provider"),
                           report.attr("tag_spellings"));
        return chart("production", charts::svg(figure),
                     "Bunches cut each model week, stacked by ribbon tag, on the date the week "
                     "begins; a tag named after a colour is drawn in it; beyond 13 tags, the 12 "
                     "that cut the most and the rest as one hatched band.");
    });
    attempt("parameters", [&] {
        nb::object parameters = report.attr("parameters");
        if (parameters.is_none())
            return missing_chart("parameters", "No dispersion chart: the parameter file is refused.");
        nb::object figure = charts::figure(mpl, 11, 3.2);
        nb::object axes = figure.attr("subplots")(1, 2);
        charts::profiles(mpl, axes[0], parameters);
        charts::harvest_hazard(mpl, axes[1], parameters);
        figure.attr("tight_layout")();
        return chart("parameters", charts::svg(figure),
                     "The farm's parameter set: the share of a cohort that flowers or is selected "
                     "each week after its threshold, and the weekly harvest hazard.");
    });
    return out;
}

namespace {

// The data of one farm's part of the page.
nb::dict farm_data(nb::handle farm, std::set<std::string> &taken) {
    FarmRows rows = farm_rows(farm);
    nb::dict out;
    Verdict verdict = verdict_of(rows);
    out["path"] = host::str(rows.path);
    out["anchor"] = text(anchor(rows.path, taken));
    out["state"] = text(state_of(rows));
    out["errors"] = nb::int_(rows.errors);
    out["warnings"] = nb::int_(rows.warnings);
    nb::dict said;
    said["counts"] = text(verdict.counts);
    said["advice"] = text(verdict.advice);
    out["verdict"] = said;
    nb::list counts;
    for (const Count &count : rows.counts) {
        nb::dict entry;
        entry["rule"] = text(count.rule);
        entry["severity"] = text(count.severity);
        entry["count"] = nb::int_(count.count);
        entry["title"] = text(rule_title(count.rule));
        counts.append(entry);
    }
    out["counts"] = counts;
    out["reads"] = rows.reads;
    // The charts: drawn now for a report, as another process drew them for
    // its data (only their SVG is taken: the page holds them as images).
    nb::object drawn = nb::none();
    if (!rows.report.is_none())
        drawn = farm_charts(farm);
    else if (PyDict_Check(farm.ptr()) && host::contains(farm, nb::str("charts")))
        drawn = nb::borrow(farm["charts"]);
    if (!drawn.is_none()) {
        nb::list charts;
        for (nb::handle entry : drawn) {
            nb::dict shown;
            shown["kind"] = host::str(entry["kind"]);
            shown["caption"] = host::str(entry["caption"]);
            nb::object svg = entry["svg"];
            shown["src"] = PyUnicode_Check(svg.ptr()) ? nb::object(image(svg)) : nb::object(nb::none());
            charts.append(shown);
        }
        drawn = charts;
    }
    out["charts"] = drawn;
    nb::list first, files;
    for (const FileGroups &file : rows.files) {
        nb::dict entry;
        size_t errors = 0, warnings = 0;
        nb::list groups;
        for (const Group &group : file.groups) {
            size_t n = group.rows.size();
            (group.severity == "error" ? errors : warnings) += n;
            nb::dict g;
            std::string advice = group_advice(rows, group);
            g["rule"] = text(group.rule);
            g["severity"] = text(group.severity);
            g["title"] = text(rule_title(group.rule));
            g["count"] = nb::int_(n);
            g["open"] = nb::bool_(n <= open_rows);
            g["advice"] = text(advice);
            nb::list shown;
            for (size_t k = 0; k < n && k < page_rows; ++k) {
                const Row &row = rows.rows[group.rows[k]];
                nb::dict r;
                r["line"] = row.line;
                r["column"] = row.column.is_none() ? nb::object(nb::none()) : nb::object(host::str(row.column));
                r["value"] = row.value.is_none() ? nb::object(nb::none()) : nb::object(host::str(row.value));
                r["message"] = host::str(row.message);
                shown.append(r);
            }
            g["rows"] = shown;
            g["more"] = nb::int_(n > page_rows ? n - page_rows : 0);
            g["more_lines"] = text(n > page_rows ? line_span(rows, group.rows, page_rows) : "");
            groups.append(g);
            if (group.severity == "error") {
                nb::dict fix;
                fix["file"] = host::str(file.file);
                fix["rule"] = text(group.rule);
                fix["count"] = nb::int_(n);
                fix["advice"] = text(advice);
                first.append(fix);
            }
        }
        entry["name"] = host::str(file.file);
        entry["errors"] = nb::int_(errors);
        entry["warnings"] = nb::int_(warnings);
        entry["groups"] = groups;
        files.append(entry);
    }
    out["first"] = first;
    out["files"] = files;
    nb::list notices;
    for (nb::handle notice : rows.notices) {
        nb::dict n;
        n["subject"] = host::str(notice["subject"]);
        n["message"] = host::str(notice["message"]);
        nb::object source = host::contains(notice, nb::str("source")) ? nb::object(notice["source"])
                                                                      : nb::object(nb::none());
        n["source"] = source.is_none() ? nb::object(nb::none()) : nb::object(host::str(source));
        notices.append(n);
    }
    out["notices"] = notices;
    return out;
}

}  // namespace

nb::str html_page(State &s, nb::handle farms) {
    std::set<std::string> taken;
    nb::list data;
    for (nb::handle farm : farms)
        data.append(farm_data(farm, taken));
    size_t n = nb::len(data);
    nb::str title = n == 1 ? host::text("Farm check: ", host::Str{nb::handle(data[0])["path"]})
                           : host::text("Farm check of ", std::to_string(n), " farms");
    nb::str written = host::text(
        "written by py_zelka ", host::Str{host::from_import("py_zelka", "__version__")}, " on ",
        host::Str{host::from_import("datetime", "date").attr("today")().attr("isoformat")()});
    nb::object page = environment(s).attr("get_template")("page.html");
    return nb::borrow<nb::str>(page.attr("render")(nb::arg("title") = title,
                                                   nb::arg("written") = written,
                                                   nb::arg("farms") = data));
}

nb::str html_fragment(State &s, nb::handle farm) {
    std::set<std::string> taken;
    nb::list data;
    data.append(farm_data(farm, taken));
    nb::object fragment = environment(s).attr("get_template")("fragment.html");
    return nb::borrow<nb::str>(fragment.attr("render")(nb::arg("farms") = data));
}

}  // namespace farm
