// py_zelka.readers.climate_reader -- the farm's weather file: a calendar-date
// column and, per date, the mean temperature or the heat units, in columns
// a ColumnMap names.
#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/dates.hpp"
#include "records/reader.hpp"
#include "records/rules.hpp"

namespace nb = nanobind;

namespace {

using State = records::ReaderState;

// `getattr(obj, name, False)`: only an AttributeError gives the default.
nb::object attr_or_false(nb::handle obj, const char *name) {
    PyObject *value = PyObject_GetAttrString(obj.ptr(), name);
    if (value)
        return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    return nb::bool_(false);
}

// The steps of WeatherFileReader.read, each check a rule of `checks`:
// reading stops at the first failure; a farm check runs every rule whose
// columns the file has.  The data, or empty when a rule failed in a check.
nb::object run_weather(State &s, nb::handle path, nb::handle columns_arg, records::Checks &checks,
                       records::Options *options, nb::object &loaded) {
    // 1-2. The column map; importing it here keeps py_zelka.weather out of
    // this module's import.
    nb::object column_map_cls = host::from_import("py_zelka.weather", "ColumnMap");
    nb::object columns =
        columns_arg.is_none() ? column_map_cls() : nb::borrow(columns_arg);
    nb::object error_cls = s.global("WeatherError");

    // 3-4. The temperature signal: heat units before the mean temperature.
    nb::object heat_units = columns.attr("heat_units");
    nb::object source = heat_units.is_none() ? nb::object(columns.attr("tmean")) : heat_units;
    if (source.is_none()) {
        checks.fail({"signal_column", nb::none(), {},
                     nb::str("columns must specify either tmean= or heat_units="), error_cls,
                     nb::object()});
        return nb::object();
    }

    // 5-6. Load and check the two columns.
    nb::object table = records::load_for(checks, options, s.global("_read_table"), path,
                                         nb::handle());
    loaded = table;
    nb::object date_label = columns.attr("date");
    nb::list present = records::require_columns_rule(
        checks, s.global("_require_columns"), table, nb::make_tuple(date_label, source),
        host::text("weather file ", host::Repr{path}), error_cls);
    if (checks.collecting() && !host::contains(present, date_label))
        return nb::object();

    // 7. Dates, each value in its own format, day first when the map says so
    // (a caller's own map without the field reads month first).
    nb::object dayfirst = attr_or_false(columns, "dayfirst");
    nb::object loaded_dates = records::column(s.pd, table, date_label);
    nb::dict parse_options;
    parse_options["format"] = "mixed";
    parse_options["dayfirst"] = dayfirst;
    nb::object parsed = records::dates_rule(checks, s.pd, loaded_dates, date_label, path,
                                            error_cls, "", parse_options);
    if (parsed.is_valid()) {
        nb::dict replaced;
        replaced[date_label] = parsed;
        table = table.attr("assign")(**replaced);
    }
    // Either reading scrambles the dates of a file written the other way
    // round without failing: cells that only the other reading reads, beside
    // cells that read both ways, give it away.
    bool day_first = host::truth(dayfirst);
    records::Rows scrambled = records::contradicting_rows(s.pd, loaded_dates, day_first);
    if (!scrambled.empty()) {
        nb::object example = records::cells(loaded_dates)[scrambled.front()];
        checks.fail({"mixed_day_month", date_label, scrambled,
                     host::text("dates in ", host::Repr{date_label}, " of ", host::Repr{path},
                                " mix day-first and month-first readings (e.g. ",
                                host::Repr{example},
                                day_first ? "); pass ColumnMap(dayfirst=False) if the file "
                                            "writes the month first"
                                          : "); pass ColumnMap(dayfirst=True) if the file "
                                            "writes the day first"),
                     error_cls, nb::object()});
    }
    if (!parsed.is_valid() || checks.count() > 0)
        return nb::object();

    // 8-10. The two columns under their fixed names.
    const char *target = columns.attr("heat_units").is_none() ? "tmean" : "heat_units";
    nb::list selected;
    selected.append(date_label);
    selected.append(source);
    nb::dict names;
    names[date_label] = "date";
    names[source] = target;
    return table[selected].attr("rename")(nb::arg("columns") = names);
}

nb::object read_weather(State &s, nb::handle path, nb::handle columns) {
    records::Checks checks = records::Checks::first_failure();
    nb::object loaded;
    nb::object data = run_weather(s, path, columns, checks, nullptr, loaded);
    return records::read_result(s, data);
}

// The farm check of a weather file: every rule, with the farm's column map.
nb::object check_weather(State &s, nb::handle path, nb::handle columns) {
    records::Checks checks = records::Checks::every_failure();
    records::Options options;
    nb::object loaded;
    nb::object data = run_weather(s, path, columns, checks, &options, loaded);
    return records::checked_file(checks, data, s.global("NoticeLog")(), loaded, options);
}

void init(nb::module_ &m, State &s) {
    m.doc() =
        "The weather file: per calendar date the mean temperature or the heat units.\n\n"
        "WeatherFileReader.read(path, columns=None) returns the dates, parsed, and the\n"
        "temperature signal, as loaded, under fixed column names.";
    s.load();

    host::publish(m, "Path", host::from_import("pathlib", "Path"));
    host::publish(m, "TYPE_CHECKING", host::from_import("typing", "TYPE_CHECKING"));
    host::publish(m, "pd", s.pd.module);
    host::publish(m, "WeatherError", host::from_import("py_zelka.exceptions", "WeatherError"));
    for (const char *name : {"NoticeLog", "ReadResult"})
        host::publish(m, name, host::from_import("py_zelka.notices", name));
    nb::object common = host::import("py_zelka.readers._common");
    host::publish(m, "_read_table", common.attr("_read_table"));
    host::publish(m, "_require_columns", common.attr("_require_columns"));

    host::publish(
        m, "WeatherFileReader",
        records::reader_class<&read_weather>(
            s, "WeatherFileReader", "Reader of a farm's weather file.",
            "(path: str | os.PathLike, columns: ColumnMap | None = None) -> ReadResult",
            "Load a weather file: its date column and its temperature signal.\n\n"
            "columns is a ColumnMap (None: ColumnMap()) naming the date column and\n"
            "the heat-units column, or when that is None the mean-temperature column.\n"
            "Each date is parsed in its own format, so one file may mix formats;\n"
            "numbers are read as YYYYMMDD; with ColumnMap(dayfirst=True) dates such as\n"
            "05/01/2024 are read day first (year-first dates stay as written).\n\n"
            "Raises WeatherError when the map names neither signal column (before the\n"
            "file is opened), when a named column is missing, when the dates do not\n"
            "parse, and when day-first dates such as 13/01/2024 sit beside dates that\n"
            "were read month first.\n\n"
            "Returns ReadResult(data, notices) with an empty notice log: data has the\n"
            "columns date (timestamps) and heat_units or tmean (values as loaded), one\n"
            "row per file row, with the file's row index."));
    host::def<&check_weather>(
        m, s, "_check_file", "(path: str | os.PathLike, columns: ColumnMap | None = None) -> dict",
        "Every check of WeatherFileReader.read on a weather file, for the farm check.\n\n"
        "Returns a dict: data (the table read returns, or None when a check failed),\n"
        "notices, failures ((rule, column, rows, message) tuples, rows as positions\n"
        "of the loaded table), table (as loaded), kind, header_line, separator and\n"
        "encoding (where the rows stand in the file).");
}

}  // namespace

ZELKA_MODULE(climate_reader, State, init)
