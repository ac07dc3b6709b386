#include "records/files/weather.hpp"

#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/dates.hpp"

namespace records {

namespace {

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

}  // namespace

nb::object run_weather(ReaderState &s, nb::handle path, nb::handle columns_arg, Checks &checks,
                       Options *options, nb::object &loaded) {
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
        checks.fail({Rule::signal_column, nb::none(), {},
                     nb::str("columns must specify either tmean= or heat_units="), error_cls,
                     nb::object()});
        return nb::object();
    }

    // 5-6. Load and check the two columns.
    nb::object table = load_for(checks, options, s.global("_read_table"), path,
                                         nb::handle());
    loaded = table;
    nb::object date_label = columns.attr("date");
    nb::list present = require_columns_rule(
        checks, s.global("_require_columns"), table, nb::make_tuple(date_label, source),
        host::text("weather file ", host::Repr{path}), error_cls);
    if (checks.collecting() && !host::contains(present, date_label))
        return nb::object();

    // 7. Dates, each value in its own format, day first when the map says so
    // (a caller's own map without the field reads month first).
    nb::object dayfirst = attr_or_false(columns, "dayfirst");
    nb::object loaded_dates = column(s.pd, table, date_label);
    nb::dict parse_options;
    parse_options["format"] = "mixed";
    parse_options["dayfirst"] = dayfirst;
    nb::object parsed = dates_rule(checks, s.pd, loaded_dates, date_label, path,
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
    Rows scrambled = contradicting_rows(s.pd, loaded_dates, day_first);
    if (!scrambled.empty()) {
        nb::object example = cells(loaded_dates)[scrambled.front()];
        checks.fail({Rule::mixed_day_month, date_label, scrambled,
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

void publish_weather_names(const Publish &put) {
    publish_common_names(put, "WeatherError", false);
}

CheckedFile check_weather_file(ReaderState &s, nb::handle path, nb::handle columns,
                               const Declarations &declared) {
    Checks checks = Checks::every_failure();
    Options options;
    options.declared = declared;
    nb::object loaded;
    nb::object data = run_weather(s, path, columns, checks, &options, loaded);
    return checked_file(s, checks, data, loaded, options);
}

}  // namespace records
