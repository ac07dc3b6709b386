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
#include "host/classes.hpp"
#include "host/host.hpp"
#include "records/files/inventory.hpp"
#include "records/files/weather.hpp"
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

// The lines of a report's text: a summary, then the findings grouped by file.
std::string report_text(nb::handle report) {
    nb::object findings = report.attr("findings");
    size_t n = nb::len(findings);
    size_t errors = 0;
    nb::list severities = nb::list(findings["severity"].attr("tolist")());
    for (nb::handle severity : severities)
        if (utf8(severity) == "error")
            ++errors;
    std::string out = "farm " + utf8(report.attr("folder")) + ": " + std::to_string(errors) +
                      " error(s), " + std::to_string(n - errors) + " warning(s)\n";
    nb::list files = nb::list(findings["file"].attr("tolist")());
    nb::list lines = nb::list(findings["line"].attr("tolist")());
    nb::list columns = nb::list(findings["column"].attr("tolist")());
    nb::list values = nb::list(findings["value"].attr("tolist")());
    nb::list rules = nb::list(findings["rule"].attr("tolist")());
    nb::list messages = nb::list(findings["message"].attr("tolist")());
    std::vector<std::string> order;
    std::map<std::string, records::TextTable> tables;
    for (size_t i = 0; i < n; ++i) {
        std::string file = utf8(files[i]);
        if (!tables.count(file)) {
            order.push_back(file);
            tables.emplace(file, records::TextTable({"line", "column", "value", "rule", "severity",
                                                     "message"},
                                                    {true, false, false, false, false, false}));
        }
        auto text = [](nb::handle v) { return host::is_missing(v) ? std::string() : utf8(v); };
        std::string value = text(values[i]);
        if (records::text_width(value) > 24)
            value = value.substr(0, 21) + "...";
        tables.at(file).add({text(lines[i]), text(columns[i]), value, utf8(rules[i]),
                             utf8(severities[i]), utf8(messages[i])});
    }
    for (const std::string &file : order)
        out += "\n" + file + "\n" + tables.at(file).str("  ");
    nb::object notices = report.attr("notices");
    if (nb::len(notices) > 0) {
        out += "\nnotices\n";
        for (nb::handle notice : notices)
            out += "  " + utf8(notice.attr("subject")) + ": " + utf8(notice.attr("message")) + "\n";
    }
    return out;
}

nb::object report_str(State &, nb::handle self) {
    std::string text = report_text(self);
    return nb::str(text.data(), text.size());
}

nb::object report_ok(State &, nb::handle self) {
    nb::object severity = self.attr("findings")["severity"];
    return nb::bool_(!host::truth(severity.attr("eq")("error").attr("any")()));
}

// The report as plain data: {"path", "ok", "findings": [{file, line, ...}],
// "notices": [{subject, message}]}.
nb::object report_dict(State &s, nb::handle self) {
    nb::dict out;
    out["path"] = self.attr("folder");
    out["ok"] = report_ok(s, self);
    nb::object findings = self.attr("findings");
    nb::list records;
    nb::list columns = host::as_list(findings.attr("columns"));
    size_t n = nb::len(findings);
    std::vector<nb::list> cells;
    for (nb::handle column : columns)
        cells.push_back(nb::list(findings[column].attr("tolist")()));
    for (size_t i = 0; i < n; ++i) {
        nb::dict record;
        for (size_t k = 0; k < cells.size(); ++k) {
            nb::object cell = cells[k][i];
            record[columns[k]] = host::is_missing(cell) ? nb::object(nb::none()) : cell;
        }
        records.append(record);
    }
    out["findings"] = records;
    nb::list notices;
    for (nb::handle notice : self.attr("notices")) {
        nb::dict entry;
        entry["subject"] = notice.attr("subject");
        entry["message"] = notice.attr("message");
        notices.append(entry);
    }
    out["notices"] = notices;
    return out;
}

nb::object report_json(State &s, nb::handle self) {
    return host::from_import("json", "dumps")(report_dict(s, self),
                                              nb::arg("ensure_ascii") = false);
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

    s.weather.load(&records::publish_weather_names);
    s.inventory.load(&records::publish_inventory_names);

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
                           "          ('error' or 'warning') and message\n"
                           "notices   the notices of the reads (absent optional files and\n"
                           "          columns)\n\n"
                           "str(report) is the findings as a table grouped by file.")
            .field("folder", "str")
            .field("findings", "pandas.DataFrame")
            .field("notices", "NoticeLog")
            .property<&report_ok>("ok", "bool", "True when no finding is an error.")
            .method<&report_json>("to_json", "(self, /) -> str",
                                  "The report as JSON: {\"path\", \"ok\", \"findings\": [{file, line,\n"
                                  "column, value, rule, severity, message}], \"notices\": [...]}.")
            .method<&report_dict>("_as_dict", "(self, /) -> dict",
                                  "The report as plain data, as to_json writes it.")
            .method<&report_str>("__str__", "(self, /) -> str",
                                 "The findings as a table grouped by file.")
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
    for (size_t k = 0; k < size_t(farm::Rule::count); ++k) {
        const farm::RuleRow &row = farm::catalogue[k];
        nb::list files;
        for (size_t r = 0; r < farm::role_count; ++r)
            if (row.kinds & (1u << r))
                files.append(nb::str(farm::role_name(farm::Role(r))));
        if (row.kinds & farm::of_folder)
            files.append(nb::str("farm.yaml"));
        rules.append(nb::make_tuple(
            nb::str(row.name), nb::str(row.severity == farm::Severity::error ? "error" : "warning"),
            nb::tuple(files), nb::str(row.title), nb::str(row.hint)));
    }
    host::publish(m, "RULES", nb::tuple(rules));

    host::def<&check_farm>(m, s, "check_farm", "(folder: str | os.PathLike) -> FarmReport",
                           "Run every check of every file of a farm folder.\n\n"
                           "Returns a FarmReport; nothing is raised for the farm's data.");
}

}  // namespace

ZELKA_MODULE(farm, State, init)
