// py_zelka.farm -- a farm's folder of files in one call, and every problem of
// its files in one pass.
//
// A farm folder holds parameters.yaml, management.yaml, weather.*,
// inventory.*, production.*, selection.* (any suffix _read_table reads), and
// optionally farm.yaml naming other files, the farm's own column labels,
// day-first dates and the week length.  check_farm runs every check of every
// file (src/farm/) and reports each finding with its file, line, column,
// value, rule, severity and message; Farm.load reads the farm when no check
// fails.  These are the bindings.
#include "farm/check.hpp"
#include "farm/report.hpp"
#include "host/classes.hpp"
#include "host/host.hpp"
#include "records/text_table.hpp"

#include <map>
#include <string>
#include <vector>

namespace nb = nanobind;

namespace {

using farm::FarmCheck;
using farm::State;
using host::utf8;

nb::object check_farm(State &s, nb::handle folder) {
    FarmCheck check(s, folder);
    check.run();
    return check.report();
}

nb::object report_str(State &, nb::handle self) {
    std::string text = farm::report_text(self, false);
    return nb::str(text.data(), text.size());
}

nb::object report_to_text(State &, nb::handle self, nb::handle all) {
    std::string text = farm::report_text(self, host::truth(all));
    return nb::str(text.data(), text.size());
}

nb::object report_ok(State &, nb::handle self) {
    nb::object severity = self.attr("findings")["severity"];
    return nb::bool_(!host::truth(severity.attr("eq")("error").attr("any")()));
}

nb::object report_dict(State &, nb::handle self, nb::handle charts) {
    nb::dict out = farm::report_dict(self);
    if (host::truth(charts))
        out["charts"] = farm::farm_charts(self);
    return out;
}

nb::object report_json(State &, nb::handle self) {
    return host::from_import("json", "dumps")(farm::report_dict(self),
                                              nb::arg("ensure_ascii") = false);
}

nb::object report_html(State &s, nb::handle self) {
    nb::list farms;
    farms.append(self);
    return farm::html_page(s, farms);
}

nb::object report_repr_html(State &s, nb::handle self) { return farm::html_fragment(s, self); }

nb::object html_report(State &s, nb::handle reports) {
    nb::list farms = host::as_list(reports);
    for (nb::handle farm : farms)
        if (!PyDict_Check(farm.ptr()) && !host::truth(host::from_import("builtins", "hasattr")(
                                             farm, "findings")))
            host::raise(PyExc_TypeError,
                        host::text("html_report() takes FarmReports (or what their _as_dict() "
                                   "gives), not ",
                                   host::Repr{farm}));
    if (nb::len(farms) == 0)
        host::raise(PyExc_ValueError,
                    host::text("html_report() needs at least one FarmReport; check a farm with "
                               "check_farm(folder) first"));
    return farm::html_page(s, farms);
}

nb::object farm_load(State &s, nb::handle cls, nb::handle folder) {
    FarmCheck check(s, folder);
    check.run();
    nb::object report = check.report();
    if (check.failed()) {
        nb::object findings = report.attr("findings");
        nb::object errors = findings[findings["severity"].attr("eq")("error")];
        std::string text = "farm " + utf8(report.attr("folder")) + " has " +
                           std::to_string(nb::len(errors)) + " error(s):";
        nb::list files = nb::list(errors["file"].attr("tolist")());
        nb::list lines = nb::list(errors["line"].attr("tolist")());
        nb::list columns = nb::list(errors["column"].attr("tolist")());
        nb::list messages = nb::list(errors["message"].attr("tolist")());
        for (size_t i = 0; i < nb::len(files); ++i) {
            text += "\n  " + utf8(files[i]);
            if (!host::is_missing(lines[i]))
                text += ", line " + utf8(lines[i]);
            if (!host::is_missing(columns[i]))
                text += ", column " + utf8(host::repr(columns[i]));
            text += ": " + utf8(messages[i]);
        }
        nb::object error = s.error_cls.get()(nb::str(text.data(), text.size()));
        error.attr("report") = report;
        PyErr_SetObject((PyObject *) Py_TYPE(error.ptr()), error.ptr());
        throw nb::python_error();
    }
    nb::object farm = check.farm(report);
    if (!cls.is(s.farm_cls.get()))
        farm = cls(**host::from_import("dataclasses", "asdict")(farm));
    return farm;
}

// A field of what the report draws: None unless given, and left out of
// repr() and comparisons.
nb::object drawn_field() {
    return host::from_import("dataclasses", "field")(nb::arg("default") = nb::none(),
                                                     nb::arg("repr") = false,
                                                     nb::arg("compare") = false);
}

void init(nb::module_ &m, State &s) {
    m.doc() =
        "A farm's folder of files in one call, and every problem of its files in one pass.\n\n"
        "check_farm(folder) runs every check of every file of a farm folder and returns a\n"
        "FarmReport: one finding per failing row and check, with its file, line, column,\n"
        "value, rule, severity (error or warning) and message.  Farm.load(folder) reads\n"
        "the farm, or raises FarmCheckError listing every error.\n\n"
        "The folder holds parameters.yaml, management.yaml, weather.*, inventory.*,\n"
        "production.* and selection.* (any suffix the readers read).  An optional\n"
        "farm.yaml names other files and says how to read them:\n\n"
        "    weather: {file: station.csv, date: Datum, tmean: Tmittel, dayfirst: true}\n"
        "    production: {file: Ernte.xlsx, columns: {tag: Band, date: Datum}, dayfirst: true}\n"
        "    inventory: {columns: {population: Anzahl}}\n"
        "    selection: {columns: {date: Datum}}\n"
        "    parameters: {file: params.yaml}\n"
        "    management: {file: plan.yaml}\n"
        "    week_length_days: 7\n\n"
        "Without parameters.yaml the parameter set shipped with the package is used;\n"
        "missing management, inventory, production and selection files are notices.\n"
        "EXAMPLE_FARM is the folder of the example farm that ships with the package.";

    for (const farm::RoleRow &role : farm::roles)
        if (role.record())
            s.reader(role.role).load(role.publish);

    nb::object here = host::from_import("pathlib", "Path")(m.attr("__file__")).attr("parent");
    host::publish(m, "EXAMPLE_FARM", here / nb::str("example_farm"));

    nb::object base = host::from_import("py_zelka.exceptions", "ZelkaError");
    s.error_cls = host::publish(
        m, "FarmCheckError",
        host::empty_class(s, "FarmCheckError",
                          "A farm's files hold errors.  The message lists every one; the\n"
                          "attribute report holds the FarmReport of the check.",
                          nb::make_tuple(base)));

    s.report_cls = host::publish(
        m, "FarmReport",
        host::ClassBuilder(s, "FarmReport",
                           "What check_farm found in a farm's files.\n\n"
                           "folder    the farm's folder\n"
                           "findings  a pandas.DataFrame, one row per finding: file (relative to\n"
                           "          the folder), line (the 1-based line an editor shows, the\n"
                           "          sheet row for Excel; missing when the finding is not about\n"
                           "          a row), column, value (the cell as written), rule, severity\n"
                           "          ('error' or 'warning'), message, and hint (farm.yaml's\n"
                           "          section of the file as it must read to settle the\n"
                           "          finding, or None)\n"
                           "notices   the notices of the reads (absent optional files and\n"
                           "          columns)\n"
                           "reads     what reading each file did: [{file, steps: [{step, text,\n"
                           "          ...}]}] -- its header and the lines left out, and each\n"
                           "          declaration of farm.yaml applied (cells made empty, rows\n"
                           "          kept, values scaled or converted, rows into days or weeks)\n"
                           "weather, provider, production, parameters\n"
                           "          what the check could read of them (None where it could\n"
                           "          not), for the report's charts\n"
                           "tag_spellings\n"
                           "          each ribbon tag of the production file as it first\n"
                           "          writes it ({'red': 'Red'}), for the chart's legend\n\n"
                           "str(report) is the report as text, to_json() as JSON and\n"
                           "to_html() as a page with charts (html_report() for many farms).")
            .field("folder", "str")
            .field("findings", "pandas.DataFrame")
            .field("notices", "NoticeLog")
            .field("reads", "list[dict]", host::from_import("dataclasses", "field")(
                                              nb::arg("default_factory") =
                                                  host::from_import("builtins", "list"),
                                              nb::arg("compare") = false))
            .field("weather", "pandas.DataFrame | None", drawn_field())
            .field("provider", "WeatherProvider | None", drawn_field())
            .field("production", "RibbonProductionData | None", drawn_field())
            .field("parameters", "ParameterSet | None", drawn_field())
            .field("tag_spellings", "dict[str, str] | None", drawn_field())
            .property<&report_ok>("ok", "bool", "True when no finding is an error.")
            .method<&report_to_text>(
                "to_text", "(self, /, *, all: bool = False) -> str",
                "The report as text: the verdict; per file the findings grouped by rule,\n"
                "errors first (the first 3 rows of a rule, then one line counting the\n"
                "rest and their lines; every row with all=True); the notices; a table\n"
                "of the counts per rule.  str(report) is to_text().")
            .method<&report_json>(
                "to_json", "(self, /) -> str",
                "The report as JSON: {\"path\", \"ok\", \"errors\", \"warnings\", \"counts\":\n"
                "[{rule, severity, count}], \"findings\": [{file, line, column, value,\n"
                "rule, severity, message, hint}], \"notices\": [{subject, message, source,\n"
                "kind}], \"reads\": [{file, steps}]} -- every finding\n"
                "(py_zelka/report/check.schema.json).")
            .method<&report_dict>(
                "_as_dict", "(self, /, *, html: bool = False) -> dict",
                "The report as plain data, as to_json writes it; html=True adds\n"
                "\"charts\", the charts of the report page drawn ([{kind, caption, svg}],\n"
                "what html_report() puts on the page for a check run elsewhere).")
            .method<&report_html>(
                "to_html", "(self, /) -> str",
                "The report as one self-contained HTML page: the verdict, the charts of\n"
                "the weather, the production and the parameter set (SVG, when matplotlib\n"
                "is installed: the plot extra), and every finding, grouped by file and\n"
                "rule.  The page loads nothing from elsewhere.")
            .method<&report_repr_html>("_repr_html_", "(self, /) -> str",
                                       "The report's HTML for a notebook.")
            .method<&report_str>("__str__", "(self, /) -> str",
                                 "The report as text (to_text()).")
            .record(nb::handle(), true, true, false));

    s.farm_cls = host::publish(
        m, "Farm",
        host::ClassBuilder(s, "Farm",
                           "A farm's files, read and checked.\n\n"
                           "folder       the farm's folder\n"
                           "parameters   the ParameterSet\n"
                           "schedule     the CropCare replacement schedule\n"
                           "weather      the weather table (date and tmean or heat_units)\n"
                           "provider     the WeatherProvider of the weather's period\n"
                           "inventory    the population inventory table, or None\n"
                           "production   the RibbonProductionData, or None\n"
                           "selection    the SuckerSelectionData, or None\n"
                           "notices      one NoticeLog of all the reads\n"
                           "report       the FarmReport of the check (its warnings)")
            .field("folder", "str")
            .field("parameters", "ParameterSet")
            .field("schedule", "CropCare")
            .field("weather", "pandas.DataFrame")
            .field("provider", "WeatherProvider")
            .field("inventory", "pandas.DataFrame | None")
            .field("production", "RibbonProductionData | None")
            .field("selection", "SuckerSelectionData | None")
            .field("notices", "NoticeLog")
            .field("report", "FarmReport")
            .class_method<&farm_load>(
                "load", "(cls, /, folder: str | os.PathLike) -> Farm",
                "Read a farm's folder: every file checked, then read.\n\n"
                "Raises FarmCheckError listing every error of every file (its report\n"
                "attribute holds the FarmReport); warnings do not stop the load and stay\n"
                "in the farm's report.")
            .record(nb::handle(), true, true, false));

    // The rules of the check, for people and for tools.
    nb::list rules;
    for (const records::RuleRow &row : records::catalogue) {
        nb::list files;
        for (const farm::RoleRow &role : farm::roles)
            if (row.files & role.bit)
                files.append(nb::str(role.name));
        if (row.folder)
            files.append(nb::str("farm.yaml"));
        std::string title = records::title_of(row.rule);
        rules.append(nb::make_tuple(
            nb::str(row.name), nb::str(row.severity == records::Severity::error ? "error" : "warning"),
            nb::tuple(files), nb::str(title.data(), title.size()), nb::str(row.hint)));
    }
    host::publish(m, "RULES", nb::tuple(rules));

    host::def<&html_report>(
        m, s, "html_report", "(reports: Iterable[FarmReport | dict]) -> str",
        "One self-contained HTML page of many farms' reports: an overview, then\n"
        "each farm as FarmReport.to_html() shows it.  An item may also be what\n"
        "FarmReport._as_dict(html=True) gives (a check run in another process);\n"
        "plain data without \"charts\" is shown without charts.  Every value is\n"
        "escaped, and charts are images on the page, whatever the data holds.");

    host::def<&check_farm>(m, s, "check_farm", "(folder: str | os.PathLike) -> FarmReport",
                           "Run every check of every file of a farm folder.\n\n"
                           "Returns a FarmReport; nothing is raised for the farm's data.");
}

}  // namespace

ZELKA_MODULE(farm, State, init)
