// py_zelka.readers.climate_reader -- the farm's weather file: a calendar-date
// column and, per date, the mean temperature or the heat units, in columns
// a ColumnMap names.
#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/dates.hpp"
#include "records/reader.hpp"

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

nb::object read_weather(State &s, nb::handle path, nb::handle columns_arg) {
    // 1-2. The column map; importing it here keeps py_zelka.weather out of
    // this module's import.
    nb::object column_map_cls = host::from_import("py_zelka.weather", "ColumnMap");
    nb::object columns =
        columns_arg.is_none() ? column_map_cls() : nb::borrow(columns_arg);
    nb::object error_cls = s.global("WeatherError");

    // 3-4. The temperature signal: heat units before the mean temperature.
    nb::object heat_units = columns.attr("heat_units");
    nb::object source = heat_units.is_none() ? nb::object(columns.attr("tmean")) : heat_units;
    if (source.is_none())
        host::raise(error_cls, nb::str("columns must specify either tmean= or heat_units="));

    // 5-6. Load and check the two columns.
    nb::object table = s.global("_read_table")(path);
    nb::object date_label = columns.attr("date");
    records::require_columns(s.global("_require_columns"), table, nb::make_tuple(date_label, source),
                            host::text("weather file ", host::Repr{path}), error_cls);

    // 7. Dates, each value in its own format, day first when the map says so
    // (a caller's own map without the field reads month first).
    nb::object dayfirst = attr_or_false(columns, "dayfirst");
    nb::object loaded_dates = records::column(s.pd, table, date_label);
    try {
        nb::dict options;
        options["format"] = "mixed";
        options["dayfirst"] = dayfirst;
        nb::object parsed = records::parse_dates(s.pd, loaded_dates, options);
        nb::dict replaced;
        replaced[date_label] = parsed;
        table = table.attr("assign")(**replaced);
    } catch (nb::python_error &e) {
        if (!host::error_is(e, PyExc_ValueError) && !host::error_is(e, PyExc_TypeError))
            throw;
        records::raise_date_parse_error(error_cls, date_label, path, e);
    }
    // A month-first reading scrambles a day-first file without failing.
    if (!host::truth(dayfirst)) {
        nb::object example = records::day_first_example(loaded_dates);
        if (!example.is_none())
            host::raise(error_cls,
                        host::text("dates in ", host::Repr{date_label}, " of ", host::Repr{path},
                                   " mix day-first and month-first readings (e.g. ",
                                   host::Repr{example},
                                   "); pass ColumnMap(dayfirst=True) if the file writes the "
                                   "day first"));
    }

    // 8-10. The two columns under their fixed names.
    const char *target = columns.attr("heat_units").is_none() ? "tmean" : "heat_units";
    nb::list selected;
    selected.append(date_label);
    selected.append(source);
    nb::dict names;
    names[date_label] = "date";
    names[source] = target;
    nb::object data = table[selected].attr("rename")(nb::arg("columns") = names);
    return s.global("ReadResult")(nb::arg("data").none() = data,
                                nb::arg("notices") = s.global("NoticeLog")());
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
}

}  // namespace

ZELKA_MODULE(climate_reader, State, init)
