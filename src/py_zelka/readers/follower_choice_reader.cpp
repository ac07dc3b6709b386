// py_zelka.readers.follower_choice_reader -- the farm's sucker selection
// file: one farm-wide record per calendar date with the parous and the
// nulliparous suckers selected.  FollowerChoiceReader checks the file;
// SuckerSelectionData gives the selection total of each model week.
#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/dates.hpp"
#include "records/duplicates.hpp"
#include "records/files/selection.hpp"
#include "records/reader.hpp"
#include "records/rules.hpp"
#include "records/rows.hpp"
#include "records/weeks.hpp"

namespace nb = nanobind;

namespace {

struct State : records::ReaderState {
    host::SharedFloats shared_floats{this};
};

nb::object read_selection(State &s, nb::handle path) {
    records::Checks checks = records::Checks::first_failure();
    nb::object loaded;
    nb::object data = records::run_selection(s, path, checks, nullptr, loaded);
    return records::read_result(s, data);
}

// ---------------------------------------------------------------------------
// SuckerSelectionData

void data_init(State &s, nb::handle self, nb::handle data, nb::handle weather) {
    nb::dict week_totals;
    records::WeekIndexer weeks(weather);
    // A table without rows is an empty object, whatever its columns.
    if (records::length(data) > 0) {
        records::CellBlocks dates(records::column(s.pd, data, nb::str("date")));
        records::OptionalFloats totals(s.pd, s.shared_floats,
                                       records::column(s.pd, data, nb::str("total")));
        size_t n = dates.size();
        records::require_rows("total", totals.size(), "date", n);
        for (size_t i = 0; i < n; ++i) {
            nb::object week = weeks.week_of(dates[i]);
            nb::object total = totals(i);
            if (total.is_none())
                continue;
            // A later row of the same week replaces the earlier total.
            if (PyDict_SetItem(week_totals.ptr(), week.ptr(), total.ptr()) != 0)
                throw nb::python_error();
        }
    }
    records::set_attr(self, "_week_totals", week_totals);
    records::set_week_range(self, weeks);
}

nb::object data_from_file(State &s, nb::handle cls, nb::handle path, nb::handle weather) {
    return records::data_from_file(s, "FollowerChoiceReader", cls, path, weather);
}

nb::object data_total(State &, nb::handle self, nb::handle week_index) {
    return self.attr("_week_totals").attr("get")(week_index);
}

nb::object week_is_covered(State &, nb::handle self, nb::handle week_index) {
    return records::week_is_covered(self, week_index);
}

void init(nb::module_ &m, State &s) {
    m.doc() =
        "The sucker selection file: one farm-wide record per calendar date with the\n"
        "counts of parous and nulliparous suckers selected.\n\n"
        "FollowerChoiceReader.read(path) checks the file and returns its table;\n"
        "SuckerSelectionData.from_file(path, weather) gives the selection total of\n"
        "each model week.";
    s.load();

    host::publish(m, "Path", host::from_import("pathlib", "Path"));
    host::publish(m, "TYPE_CHECKING", host::from_import("typing", "TYPE_CHECKING"));
    host::publish(m, "pd", s.pd.module);
    records::publish_selection_names([&](const char *name, nb::handle value) {
        host::publish(m, name, value);
    });

    host::publish(
        m, "FollowerChoiceReader",
        records::reader_class<&read_selection>(
            s, "FollowerChoiceReader", "Reader of a farm's sucker selection file.",
            "(path: str | os.PathLike) -> ReadResult",
            "Load and check a sucker selection file.\n\n"
            "The file needs the columns date, parous_count and nulliparous_count\n"
            "(others are ignored).  Dates are parsed in one format inferred from the\n"
            "values (numbers are read as YYYYMMDD); cells of the count columns that\n"
            "are not numbers are missing.\n\n"
            "Raises SuckerSelectionError for a missing column, dates that do not\n"
            "parse, a date written on more than one row, or a negative count.\n\n"
            "Returns ReadResult(data, notices) with an empty notice log: data has the\n"
            "columns date (datetime.date), parous, nulliparous and total (parous +\n"
            "nulliparous, a missing side counting as 0; missing when both are), one\n"
            "row per file row, with the file's row index."));

    host::publish(
        m, "SuckerSelectionData",
        host::ClassBuilder(s, "SuckerSelectionData",
                           "The selection totals of a sucker selection file, by model week.\n\n"
                           "SuckerSelectionData(data, weather) takes the table that\n"
                           "FollowerChoiceReader.read returns and a WeatherProvider that gives\n"
                           "the model week of each row's date.  Within one week the later row's\n"
                           "total wins (totals are not summed); every row, with a total or not,\n"
                           "counts for the weeks the file covers.")
            .method<&data_init>(
                "__init__", "(self, /, data: pandas.DataFrame, weather: WeatherProvider) -> None",
                    "Key the row totals of data by weather.week_index_for_date(date).")
            .class_method<&data_from_file>(
                "from_file", "(cls, /, path: str | os.PathLike, weather: WeatherProvider) -> ReadResult",
                          "Read a sucker selection file and key its totals by week.\n\n"
                          "Returns ReadResult(data=<this class's object>, notices=<the notices\n"
                          "of the read>).  Errors of the read pass through.")
            .method<&week_is_covered>("week_is_covered", "(self, /, week_index: int) -> bool",
                    "True when week_index lies between the first and the last week of the\n"
                    "file, both included (weeks without a row or without a total inside that\n"
                    "range count).")
            .method<&data_total>("total", "(self, /, week_index: int) -> float | None",
                    "The selection total (parous + nulliparous) of a model week as a float,\n"
                    "or None when no row with a total fell in that week.")
            .make());
}

}  // namespace

ZELKA_MODULE(follower_choice_reader, State, init)
