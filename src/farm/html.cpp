// The farm report as one self-contained HTML page: the skeleton and its style
// are package data (py_zelka/report/page.html, report.css), filled here with
// each farm's verdict, charts (inline SVG) and findings.  Nothing on the page
// is loaded from elsewhere.
#include "farm/charts.hpp"
#include "farm/report.hpp"

#include "host/host.hpp"

#include <map>

namespace farm {

using host::utf8;

namespace {

std::string escape(nb::handle value) {
    return utf8(host::from_import("html", "escape")(host::str(value)));
}

std::string escape(const std::string &text) { return escape(nb::str(text.data(), text.size())); }

nb::object package_file(const char *name) {
    nb::object here = host::from_import("pathlib", "Path")(
        host::import("py_zelka.farm").attr("__file__"));
    return here.attr("parent") / nb::str("report") / nb::str(name);
}

std::string read_text(const char *name) {
    return utf8(package_file(name).attr("read_text")(nb::arg("encoding") = "utf-8"));
}

// The template with each {{name}} replaced by its value, in one pass (so
// that no value is read for placeholders).
std::string fill(const std::string &page, const std::map<std::string, std::string> &values) {
    std::string out;
    size_t at = 0;
    while (true) {
        size_t open = page.find("{{", at);
        size_t close = open == std::string::npos ? open : page.find("}}", open);
        if (close == std::string::npos) {
            out += page.substr(at);
            return out;
        }
        auto value = values.find(page.substr(open + 2, close - open - 2));
        out += page.substr(at, open - at);
        out += value == values.end() ? page.substr(open, close + 2 - open) : value->second;
        at = close + 2;
    }
}

std::string plural(size_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string anchor(nb::handle path) {
    nb::object digest = host::from_import("hashlib", "sha1")(
        host::str(path).attr("encode")("utf-8", "surrogateescape"));
    return "farm-" + utf8(digest.attr("hexdigest")()).substr(0, 10);
}

std::string state_of(const FarmRows &farm) {
    return farm.errors ? "error" : farm.warnings ? "warning" : "ok";
}

std::string verdict_html(const FarmRows &farm) {
    std::string text = verdict(farm);
    size_t dash = text.find(" -- ");
    return "<p class=\"verdict " + state_of(farm) + "\"><strong>" + escape(text.substr(0, dash)) +
           "</strong>" + (dash == std::string::npos ? "" : " &mdash; " + escape(text.substr(dash + 4))) +
           "</p>\n";
}

std::string counts_html(const FarmRows &farm) {
    if (farm.counts.empty())
        return "<p class=\"none\">No findings.</p>\n";
    std::string out = "<table class=\"counts\"><thead><tr><th>rule</th><th>severity</th>"
                      "<th class=\"num\">count</th><th>what it finds</th></tr></thead><tbody>\n";
    for (const Count &count : farm.counts)
        out += "<tr><td><code>" + escape(count.rule) + "</code></td><td><span class=\"badge " +
               count.severity + "\">" + count.severity + "</span></td><td class=\"num\">" +
               std::to_string(count.count) + "</td><td>" + escape(rule_title(count.rule)) +
               "</td></tr>\n";
    return out + "</tbody></table>\n";
}

// The rows of a group as the file writes them.
std::string rows_html(const FarmRows &farm, const Group &group) {
    std::string out = "<table class=\"rows\"><thead><tr><th class=\"num\">line</th><th>column</th>"
                      "<th>value</th><th>message</th></tr></thead><tbody>\n";
    for (size_t i : group.rows) {
        const Row &row = farm.rows[i];
        auto code = [](nb::handle v, const char *cls) {
            return v.is_none() ? std::string()
                               : "<code class=\"" + std::string(cls) + "\">" + escape(v) + "</code>";
        };
        out += "<tr class=\"finding\"><td class=\"num\">" +
               (row.line.is_none() ? std::string() : escape(row.line)) + "</td><td>" +
               code(row.column, "column") + "</td><td>" + code(row.value, "cell") + "</td><td>" +
               escape(row.message) + "</td></tr>\n";
    }
    return out + "</tbody></table>\n";
}

// Rules with more rows than this start folded.
constexpr size_t open_rows = 25;

std::string files_html(const FarmRows &farm) {
    std::string out;
    for (const FileGroups &file : farm.files) {
        size_t errors = 0, warnings = 0;
        for (const Group &group : file.groups)
            (group.severity == "error" ? errors : warnings) += group.rows.size();
        out += "<details class=\"file\" open><summary><span class=\"file-name\">" +
               escape(file.file) + "</span>";
        if (errors)
            out += " <span class=\"tally error\">" + plural(errors, "error", "errors") + "</span>";
        if (warnings)
            out += " <span class=\"tally warning\">" + plural(warnings, "warning", "warnings") +
                   "</span>";
        out += "</summary>\n";
        for (const Group &group : file.groups) {
            size_t n = group.rows.size();
            out += "<details class=\"rule " + group.severity + "\"" +
                   (n <= open_rows ? " open" : "") + "><summary><span class=\"badge " +
                   group.severity + "\">" + group.severity + "</span> <code>" +
                   escape(group.rule) + "</code> " + escape(rule_title(group.rule)) +
                   " <span class=\"n\">" + plural(n, "row", "rows") + "</span></summary>\n";
            std::string hint = group_advice(farm, group);
            if (!hint.empty())
                out += "<p class=\"hint\">To fix: " + escape(hint) + "</p>\n";
            out += rows_html(farm, group) + "</details>\n";
        }
        out += "</details>\n";
    }
    return out;
}

// What reading each file did: its header, the lines left out, the
// declarations applied.
std::string reads_html(const FarmRows &farm) {
    if (nb::len(farm.reads) == 0)
        return "";
    std::string out = "<details class=\"reads\" open><summary>How the files were read</summary>"
                      "<dl>\n";
    for (nb::handle read : farm.reads) {
        out += "<dt class=\"file-name\">" + escape(read["file"]) + "</dt>\n";
        for (nb::handle step : read["steps"])
            out += "<dd class=\"read\" data-step=\"" + escape(step["step"]) + "\">" +
                   escape(step["text"]) + "</dd>\n";
    }
    return out + "</dl></details>\n";
}

std::string notices_html(const FarmRows &farm) {
    size_t n = nb::len(farm.notices);
    if (n == 0)
        return "";
    std::string out = "<details class=\"notices\" open><summary>Notices of the reads (" +
                      std::to_string(n) + ")</summary><ul>\n";
    for (nb::handle notice : farm.notices) {
        out += "<li class=\"notice\"><code>" + escape(notice["subject"]) + "</code>: " +
               escape(notice["message"]);
        if (host::contains(notice, nb::str("source")) && !nb::handle(notice["source"]).is_none())
            out += " <span class=\"source\">(" + escape(notice["source"]) + ")</span>";
        out += "</li>\n";
    }
    return out + "</ul></details>\n";
}

std::string figure_html(const std::string &kind, const nb::str &svg, const char *caption) {
    return "<figure class=\"chart\" data-chart=\"" + kind + "\">" + utf8(svg) +
           "<figcaption>" + escape(std::string(caption)) + "</figcaption></figure>\n";
}

std::string missing_chart(const std::string &kind, const std::string &why) {
    return "<p class=\"note\" data-chart-missing=\"" + kind + "\">" + escape(why) + "</p>\n";
}

// The weather cells the check found implausible or unreadable, as written.
nb::object flagged_cells(const FarmRows &farm) {
    nb::object cells = host::from_import("builtins", "set")();
    for (const Row &row : farm.rows)
        if (!row.value.is_none() &&
            (row.rule == "non_numeric_signal" || row.rule == "missing_marker" ||
             row.rule == "implausible_value" || row.rule == "negative_heat_units"))
            cells.attr("add")(row.value);
    return cells;
}

std::string charts_html(const FarmRows &farm) {
    charts::Matplotlib mpl;
    if (!charts::load(mpl))
        return "<p class=\"note\" data-chart-missing=\"matplotlib\">The charts need matplotlib, "
               "which is not installed: <code>pip install 'py_zelka[plot]'</code> and write the "
               "report again. Every finding is in the tables below.</p>\n";
    nb::handle report = farm.report;
    std::string out = "<div class=\"charts\">\n";
    auto attempt = [&](const std::string &kind, auto draw) {
        try {
            out += draw();
        } catch (nb::python_error &error) {
            if (!host::error_is(error, PyExc_Exception))
                throw;
            out += missing_chart(kind, "The chart could not be drawn: " +
                                           utf8(host::str(error.value())));
        }
    };
    attempt("weather", [&] {
        nb::object weather = report.attr("weather");
        if (weather.is_none())
            return missing_chart("weather", "No weather chart: the weather file is missing or "
                                            "could not be read (see its findings).");
        nb::object figure = charts::figure(mpl, 11, 3.2);
        charts::weather(mpl, figure.attr("add_subplot")(), weather, report.attr("provider"),
                        flagged_cells(farm));
        return figure_html("weather", charts::svg(figure),
                           "The weather as the model reads it, day by day: shaded days have no "
                           "value, triangles mark cells the check refuses, faint lines the "
                           "start of each model week.");
    });
    attempt("production", [&] {
        nb::object production = report.attr("production");
        if (production.is_none())
            return missing_chart("production",
                                 "No production chart: the farm has no production file, or its "
                                 "errors keep it from being read.");
        size_t rows = charts::legend_rows(nb::len(production.attr("tags")()));
        nb::object figure = charts::figure(mpl, 11, 3.2 + 0.2 * (double) rows);
        charts::production(mpl, figure.attr("add_subplot")(), production,
                           report.attr("provider"));
        return figure_html("production", charts::svg(figure),
                           "Bunches cut each model week, stacked by ribbon tag, on the date the "
                           "week begins; a tag named after a colour is drawn in it.");
    });
    attempt("parameters", [&] {
        nb::object parameters = report.attr("parameters");
        if (parameters.is_none())
            return missing_chart("parameters",
                                 "No dispersion chart: the parameter file is refused.");
        nb::object figure = charts::figure(mpl, 11, 3.2);
        nb::object axes = figure.attr("subplots")(1, 2);
        charts::profiles(mpl, axes[0], parameters);
        charts::harvest_hazard(mpl, axes[1], parameters);
        figure.attr("tight_layout")();
        return figure_html("parameters", charts::svg(figure),
                           "The farm's parameter set: the share of a cohort that flowers or is "
                           "selected each week after its threshold, and the weekly harvest "
                           "hazard.");
    });
    return out + "</div>\n";
}

std::string section(const FarmRows &farm) {
    std::string out = "<section class=\"farm " + state_of(farm) + "\" id=\"" + anchor(farm.path) +
                      "\">\n<h2>farm <code>" + escape(farm.path) + "</code></h2>\n" +
                      verdict_html(farm) + counts_html(farm) + reads_html(farm);
    if (farm.report.is_none())
        out += missing_chart("all", "No charts: this farm's check returned its findings only.");
    else
        out += charts_html(farm);
    if (!farm.files.empty())
        out += "<h3>Findings by file</h3>\n" + files_html(farm);
    return out + notices_html(farm) + "</section>\n";
}

std::string overview(const std::vector<FarmRows> &farms) {
    std::string out = "<table class=\"overview\"><thead><tr><th>farm</th><th class=\"num\">errors"
                      "</th><th class=\"num\">warnings</th><th>verdict</th></tr></thead><tbody>\n";
    for (const FarmRows &farm : farms) {
        std::string text = verdict(farm);
        size_t dash = text.find(" -- ");
        out += "<tr class=\"" + state_of(farm) + "\"><td><a href=\"#" + anchor(farm.path) +
               "\">" + escape(farm.path) + "</a></td><td class=\"num\">" +
               std::to_string(farm.errors) + "</td><td class=\"num\">" +
               std::to_string(farm.warnings) + "</td><td>" +
               escape(dash == std::string::npos ? text : text.substr(dash + 4)) + "</td></tr>\n";
    }
    return out + "</tbody></table>\n";
}

}  // namespace

nb::str html_section(nb::handle farm) {
    std::string text = section(farm_rows(farm));
    return nb::str(text.data(), text.size());
}

nb::str html_page(nb::handle farms) {
    std::vector<FarmRows> rows;
    std::string sections;
    for (nb::handle farm : farms) {
        rows.push_back(farm_rows(farm));
        if (PyDict_Check(farm.ptr()) && host::contains(farm, nb::str("html")) && !nb::handle(farm["html"]).is_none())
            sections += utf8(farm["html"]);
        else
            sections += section(rows.back());
    }
    std::string title = rows.size() == 1 ? "Farm check: " + utf8(rows[0].path)
                                          : "Farm check of " + std::to_string(rows.size()) + " farms";
    std::string version = utf8(host::from_import("py_zelka", "__version__"));
    std::string today = utf8(host::from_import("datetime", "date").attr("today")().attr("isoformat")());
    std::string page = fill(read_text("page.html"),
                            {{"title", escape(title)},
                             {"style", read_text("report.css")},
                             {"written", escape("written by py_zelka " + version + " on " + today)},
                             {"overview", overview(rows)},
                             {"farms", sections}});
    return nb::str(page.data(), page.size());
}

nb::str html_fragment(nb::handle farm) {
    std::string text = "<div class=\"zelka-report\"><style>" + read_text("report.css") +
                       "</style>\n" + section(farm_rows(farm)) + "</div>\n";
    return nb::str(text.data(), text.size());
}

}  // namespace farm
