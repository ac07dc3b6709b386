// py_zelka.readers.harvest_tag_reader -- the farm's ribbon production file:
// one row per ribbon tag and calendar date with the counts of that tag's
// bunches.  HarvestTagReader checks the file; RibbonProductionData keys the
// rows by tag and model week.
#include "host/frames.hpp"
#include "host/host.hpp"

#include <array>
#include <cmath>
#include <memory>

namespace nb = nanobind;

namespace {

// Host objects cached once at module initialisation (never released).
PyObject *module = nullptr;              // this module: its globals are read at call time
PyObject *required_columns = nullptr;    // _REQUIRED_COLUMNS
PyObject *extension_columns = nullptr;   // _EXTENSION_COLUMNS
PyObject *numeric_columns = nullptr;     // _NUMERIC_COLUMNS
frames::RecordMaker *observation_maker = nullptr;  // ProductionObservation

constexpr size_t n_numeric = 6;
const char *const numeric_names[n_numeric] = {"bagged",       "cut",      "age_at_cut",
                                               "field_losses", "rejected", "processed"};
enum Numeric { BAGGED, CUT, AGE_AT_CUT, FIELD_LOSSES, REJECTED, PROCESSED };

const char *const date_hint =
    "; expected a real date (e.g. ISO 8601 'YYYY-MM-DD'), not a farm-specific week label";

const char *const extension_message =
    " column not present in ";
const char *const extension_tail =
    "; this is a non-paper extension with no Kessot equation to estimate it from, so it "
    "will simply not be modeled (treated as absent, not zero).";

// A module-level name, looked up when it is used (as a module function would).
nb::object global(const char *name) { return nb::handle(module).attr(name); }

nb::object read_production(nb::handle path) {
    nb::object error_cls = global("RibbonDataError");

    // 1-2. Load and check the required columns.
    nb::object table = global("_read_table")(path, nb::arg("text_columns") = nb::make_tuple("tag"));
    frames::require_columns(global("_require_columns"), table, nb::handle(required_columns),
                            host::text("production file ", host::Repr{path}), error_cls);

    // 3. Canonical tags.
    nb::object tags = frames::map_tags(table["tag"], global("_normalize_tag"));
    table = table.attr("assign")(nb::arg("tag").none() = tags);

    // 4-5. One notice per absent extension column.
    nb::object notices = global("NoticeLog")();
    nb::object notice_cls = global("Notice");
    nb::object feature_disabled = global("NoticeKind").attr("FEATURE_DISABLED");
    for (nb::handle column : nb::handle(extension_columns)) {
        if (frames::has_column(table, column))
            continue;
        nb::str message =
            host::text(host::Repr{column}, extension_message, host::Repr{path}, extension_tail);
        notices.attr("append")(notice_cls(nb::arg("kind") = feature_disabled,
                                          nb::arg("subject") = column,
                                          nb::arg("message") = message,
                                          nb::arg("source") = "HarvestTagReader"));
    }

    // 6. Dates.
    nb::object dates =
        frames::parse_dates_or_raise(table["date"], nb::str("date"), path, error_cls, date_hint);

    // 7. Duplicate (tag, date) rows, on the date cells as loaded.
    nb::list subset;
    subset.append("tag");
    subset.append("date");
    nb::object dup = table.attr("duplicated")(nb::arg("subset") = subset, nb::arg("keep") = false);
    frames::Rows duplicated = frames::true_rows(dup);
    if (!duplicated.empty())
        host::raise(error_cls, host::text("duplicate (tag, date) rows at index ",
                                          frames::row_list(table, duplicated), " in ",
                                          host::Repr{path},
                                          "; expected at most one row per ribbon tag per date"));

    // 8. Counts, checked for negative values column by column.
    std::array<nb::object, n_numeric> numeric;
    std::array<std::unique_ptr<frames::Float64Column>, n_numeric> values;
    for (size_t k = 0; k < n_numeric; ++k) {
        nb::str column(numeric_names[k]);
        if (!frames::has_column(table, column)) {
            numeric[k] = frames::nan_column(table.attr("index"));
            continue;
        }
        numeric[k] = frames::to_numeric(table[column]);
        values[k] = std::make_unique<frames::Float64Column>(numeric[k]);
        frames::check_counts(error_cls, table, column, *values[k], path);
    }

    // 9. A missing cut counts as 0.
    const frames::Float64Column &cut_values = *values[CUT];
    auto cut = [&](size_t i) {
        double c = cut_values[i];
        return std::isnan(c) ? 0.0 : c;
    };
    size_t n = cut_values.size();

    // 10. Incomplete harvest records.
    const frames::Float64Column &age = *values[AGE_AT_CUT];
    frames::Rows incomplete =
        frames::rows_where(n, [&](size_t i) { return cut(i) > 0.0 && std::isnan(age[i]); });
    if (!incomplete.empty())
        host::raise(error_cls, host::text("'age_at_cut' is missing on row(s) ",
                                          frames::row_list(table, incomplete), " where 'cut' > 0 in ",
                                          host::Repr{path}, " -- an incomplete harvest record"));

    // 11. Cut balance, when the file has both halves of it.
    if (values[PROCESSED] && values[REJECTED]) {
        const frames::Float64Column &processed = *values[PROCESSED];
        const frames::Float64Column &rejected = *values[REJECTED];
        frames::Rows unbalanced = frames::rows_where(n, [&](size_t i) {
            double p = processed[i], r = rejected[i];
            if (std::isnan(p) || std::isnan(r))
                return false;
            return std::fabs(cut(i) - (p + r)) > 1e-06;
        });
        if (!unbalanced.empty())
            host::raise(error_cls, host::text("'cut' != 'processed' + 'rejected' on row(s) ",
                                              frames::row_list(table, unbalanced), " in ",
                                              host::Repr{path}));
    }

    // 12-13. The result.
    nb::object data = frames::frame({{"tag", table["tag"]},
                                     {"date", frames::calendar_dates(dates)},
                                     {"bagged", numeric[BAGGED]},
                                     {"cut", numeric[CUT]},
                                     {"age_at_cut", numeric[AGE_AT_CUT]},
                                     {"field_losses", numeric[FIELD_LOSSES]},
                                     {"rejected", numeric[REJECTED]},
                                     {"processed", numeric[PROCESSED]}});
    return global("ReadResult")(nb::arg("data").none() = data, nb::arg("notices") = notices);
}

// ---------------------------------------------------------------------------
// RibbonProductionData

void data_init(nb::handle self, nb::handle data, nb::handle weather) {
    nb::object sorted_fn = host::from_import("builtins", "sorted");
    nb::object tag_column = data["tag"];
    nb::object sorted_tags = sorted_fn(tag_column.attr("unique")());
    nb::object tags = nb::steal(PySequence_Tuple(sorted_tags.ptr()));
    if (!tags.is_valid())
        throw nb::python_error();
    frames::set_attr(self, "_tags", tags);

    frames::CellBlocks tag_cells(tag_column);
    frames::CellBlocks date_cells(data["date"]);
    std::vector<frames::OptionalFloats> counts;
    counts.reserve(n_numeric);
    for (const char *name : numeric_names)
        counts.emplace_back(data[name]);

    frames::WeekIndexer weeks(weather);
    frames::CollectorPause pause;
    nb::dict observations;
    // Equal text labels share the first such object as their key's tag: a
    // large table then keeps one label object per tag, not one per row.
    nb::dict labels;
    std::array<nb::object, n_numeric> fields;
    size_t n = tag_cells.size();
    frames::require_rows("date", date_cells.size(), "tag", n);
    for (size_t k = 0; k < n_numeric; ++k)
        frames::require_rows(numeric_names[k], counts[k].size(), "tag", n);
    for (size_t i = 0; i < n; ++i) {
        nb::object tag = nb::borrow(tag_cells[i]);
        nb::object week = weeks.week_of(date_cells[i]);
        if (PyUnicode_CheckExact(tag.ptr())) {
            PyObject *shared = PyDict_GetItemWithError(labels.ptr(), tag.ptr());
            if (shared)
                tag = nb::borrow(shared);
            else if (PyErr_Occurred() || PyDict_SetItem(labels.ptr(), tag.ptr(), tag.ptr()) != 0)
                throw nb::python_error();
        }
        for (size_t k = 0; k < n_numeric; ++k)
            fields[k] = counts[k](i);
        nb::object key = nb::make_tuple(tag, week);
        // A key of a text label and an int can hold no reference cycle: the
        // collector would untrack it at its first pass; untracked now, it
        // costs the collections that the many new observations set off nothing.
        if (PyUnicode_CheckExact(tag.ptr()) && PyLong_CheckExact(week.ptr()))
            PyObject_GC_UnTrack(key.ptr());
        if (PyDict_SetItem(observations.ptr(), key.ptr(), observation_maker->make(fields.data()).ptr()) != 0)
            throw nb::python_error();
    }
    frames::set_attr(self, "_observations", observations);
    frames::set_attr(self, "_first_week", weeks.first_week());
    frames::set_attr(self, "_last_week", weeks.last_week());
}

nb::object data_from_file(nb::handle cls, nb::handle path, nb::handle weather) {
    nb::object result = global("HarvestTagReader").attr("read")(path);
    return frames::data_from_read(global("ReadResult"), cls, result, weather);
}

nb::object data_tags(nb::handle self) { return self.attr("_tags"); }

nb::object data_observation(nb::handle self, nb::handle tag, nb::handle week_index) {
    return self.attr("_observations").attr("get")(nb::make_tuple(tag, week_index));
}

}  // namespace

NB_MODULE(harvest_tag_reader, m) {
    m.doc() =
        "The ribbon production file: per ribbon tag and calendar date, the bunches\n"
        "bagged and cut, the age at cut, and where the farm keeps them the field\n"
        "losses, rejected and processed counts.\n\n"
        "HarvestTagReader.read(path) checks the file and returns its table;\n"
        "RibbonProductionData.from_file(path, weather) keys the rows by tag and model\n"
        "week.";
    frames::init();
    module = host::leak(m);

    host::publish(m, "dataclass", host::from_import("dataclasses", "dataclass"));
    host::publish(m, "Path", host::from_import("pathlib", "Path"));
    host::publish(m, "TYPE_CHECKING", host::from_import("typing", "TYPE_CHECKING"));
    host::publish(m, "pd", frames::pandas());
    host::publish(m, "RibbonDataError", host::from_import("py_zelka.exceptions", "RibbonDataError"));
    for (const char *name : {"Notice", "NoticeKind", "NoticeLog", "ReadResult"})
        host::publish(m, name, host::from_import("py_zelka.notices", name));
    nb::object common = host::import("py_zelka.readers._common");
    host::publish(m, "_normalize_tag", common.attr("_normalize_tag"));
    host::publish(m, "_read_table", common.attr("_read_table"));
    host::publish(m, "_require_columns", common.attr("_require_columns"));

    required_columns = host::leak(host::publish(
        m, "_REQUIRED_COLUMNS", nb::make_tuple("tag", "date", "bagged", "cut", "age_at_cut")));
    extension_columns = host::leak(host::publish(
        m, "_EXTENSION_COLUMNS", nb::make_tuple("field_losses", "rejected", "processed")));
    numeric_columns = host::leak(host::publish(
        m, "_NUMERIC_COLUMNS",
        nb::make_tuple("bagged", "cut", "age_at_cut", "field_losses", "rejected", "processed")));

    host::publish(
        m, "HarvestTagReader",
        frames::reader_class(
            m, "HarvestTagReader", "Reader of a farm's ribbon production file.", &read_production,
            nb::arg("path").none(),
            nb::sig("def read(path: str | os.PathLike) -> ReadResult"),
            "Load and check a ribbon production file.\n\n"
            "The file needs the columns tag, date, bagged, cut and age_at_cut; the\n"
            "counts field_losses, rejected and processed are optional, and each one\n"
            "absent is reported as a FEATURE_DISABLED notice (it is left out of the\n"
            "model, not taken as zero).  Tags are normalised (stripped, lower case);\n"
            "dates are parsed (numbers are read as YYYYMMDD); cells of the count\n"
            "columns that are not numbers are missing.\n\n"
            "Raises RibbonDataError for a missing column, dates that do not parse,\n"
            "two rows of one tag and date, a negative count, a cut without an age\n"
            "at cut, or a cut that differs from processed + rejected by more than\n"
            "1e-06.\n\n"
            "Returns ReadResult(data, notices): data has the columns tag, date\n"
            "(datetime.date), bagged, cut, age_at_cut, field_losses, rejected and\n"
            "processed, one row per file row, with the file's row index."));

    nb::object observation = host::publish(
        m, "ProductionObservation",
        host::ClassBuilder(m, "ProductionObservation",
                           "What was recorded for one ribbon tag in one model week.\n\n"
                           "Each count is a float, or None when the file has no value for it\n"
                           "(a missing value is never 0.0): bagged, cut, age_at_cut, and the\n"
                           "optional field_losses, rejected and processed.")
            .field("bagged", "float | None")
            .field("cut", "float | None")
            .field("age_at_cut", "float | None")
            .field("field_losses", "float | None")
            .field("rejected", "float | None")
            .field("processed", "float | None")
            .record());
    observation_maker = new frames::RecordMaker(
        observation,
        std::vector<const char *>(numeric_names, numeric_names + n_numeric));

    m.def("_optional_float", &frames::optional_float, nb::arg("value").none(),
          nb::sig("def _optional_float(value) -> float | None"),
          "A table cell as a count: None when the cell is missing, else float(value).");

    host::publish(
        m, "RibbonProductionData",
        host::ClassBuilder(m, "RibbonProductionData",
                           "The observations of a ribbon production file, keyed by ribbon tag\n"
                           "and model week.\n\n"
                           "RibbonProductionData(data, weather) takes the table that\n"
                           "HarvestTagReader.read returns and a WeatherProvider that gives the\n"
                           "model week of each row's date.  Within one tag and week the later\n"
                           "row wins; every row counts for the weeks the file covers.")
            .method("__init__", &data_init, nb::arg("data").none(), nb::arg("weather").none(),
                    nb::sig("def __init__(self, data: pandas.DataFrame, weather: WeatherProvider) -> None"),
                    "Key the rows of data by (tag, weather.week_index_for_date(date)).")
            .class_method("from_file", &data_from_file, nb::arg("path").none(), nb::arg("weather").none(),
                          nb::sig("def from_file(cls, path: str | os.PathLike, weather: WeatherProvider) -> ReadResult"),
                          "Read a ribbon production file and key its rows by tag and week.\n\n"
                          "Returns ReadResult(data=<this class's object>, notices=<the notices\n"
                          "of the read>).  Errors of the read pass through.")
            .method("tags", &data_tags, nb::sig("def tags(self) -> tuple[str, ...]"),
                    "The ribbon tags of the file, sorted ascending (a tuple).")
            .method("week_is_covered", &frames::week_is_covered, nb::arg("week_index").none(),
                    nb::sig("def week_is_covered(self, week_index: int) -> bool"),
                    "True when week_index lies between the first and the last week of the\n"
                    "file, both included (weeks without a row inside that range count).")
            .method("observation", &data_observation, nb::arg("tag").none(), nb::arg("week_index").none(),
                    nb::sig("def observation(self, tag: str, week_index: int) -> ProductionObservation | None"),
                    "The ProductionObservation of a tag (canonical label) in a model week,\n"
                    "or None.")
            .make());
}
