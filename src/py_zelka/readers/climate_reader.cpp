// py_zelka.readers.climate_reader -- the farm's weather file: a calendar-date
// column and, per date, the mean temperature or the heat units, in columns
// a ColumnMap names.
#include "host/host.hpp"
#include "records/reader.hpp"
#include "records/files/weather.hpp"

namespace nb = nanobind;

namespace {

using State = records::ReaderState;

nb::object read_weather(State &s, nb::handle path, nb::handle columns) {
    records::Checks checks = records::Checks::first_failure();
    nb::object loaded;
    nb::object data = records::run_weather(s, path, columns, checks, nullptr, loaded);
    return records::read_result(s, data);
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
    records::publish_weather_names([&](const char *name, nb::handle value) {
        host::publish(m, name, value);
    });

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
