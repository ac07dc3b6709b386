// py_zelka.readers.harvest_tag_reader -- the farm's ribbon production file:
// one row per ribbon tag and calendar date with the counts of that tag's
// bunches.  HarvestTagReader checks the file; RibbonProductionData keys the
// rows by tag and model week.
#include "host/capi.hpp"
#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/dates.hpp"
#include "records/duplicates.hpp"
#include "records/files/production.hpp"
#include "records/reader.hpp"
#include "records/rows.hpp"
#include "records/rules.hpp"
#include "records/tags.hpp"
#include "records/text_column.hpp"
#include "records/weeks.hpp"

#include <climits>
#include <cmath>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace nb = nanobind;

namespace {

struct State : records::ReaderState {
    host::RecordMaker observation_maker{this};  // ProductionObservation
    host::SharedFloats shared_floats{this};
};

using records::count_names;
using records::n_counts;

// ---------------------------------------------------------------------------
// HarvestTagReader

nb::object read_production(State &s, nb::handle path) {
    records::Checks checks = records::Checks::first_failure();
    records::ProductionRead read = records::run_production(s, path, checks, nullptr);
    return records::read_result(s, read.data, read.notices);
}

// ---------------------------------------------------------------------------
// RibbonProductionData

nb::object optional_float(State &s, nb::handle value) { return records::optional_float(s.pd, value); }

void data_init(State &s, nb::handle self, nb::handle data, nb::handle weather) {
    nb::dict observations;
    records::WeekIndexer weeks(weather);
    if (records::length(data) == 0) {  // an empty object, whatever the columns
        records::set_attr(self, "_tags", nb::tuple());
        records::set_attr(self, "_observations", observations);
        records::set_week_range(self, weeks);
        return;
    }

    nb::object tag_column = records::column(s.pd, data, nb::str("tag"));
    nb::object sorted_tags = host::from_import("builtins", "sorted")(tag_column.attr("unique")());
    nb::object tags = nb::steal(host::checked(PySequence_Tuple(sorted_tags.ptr())));
    records::set_attr(self, "_tags", tags);

    // The tags: a column of text in Arrow buffers without a missing cell
    // gives one str per distinct label, made once -- what the column's cells
    // would be, shared as the rows of one label share them below --; any
    // other column, its own cells.
    records::CellBlocks tag_cells(tag_column);
    records::TextColumn tag_text;
    std::vector<uint32_t> tag_codes;
    std::vector<nb::object> tag_labels;  // by code
    if (tag_text.open(s.pd, tag_column, true)) {
        uint32_t count = 0;
        tag_codes = records::text_codes(tag_text, count);
        tag_labels.resize(count);
        for (size_t i = 0; i < tag_codes.size(); ++i) {
            uint32_t code = tag_codes[i];
            if (code == 0) {  // a missing cell
                tag_codes.clear();
                break;
            }
            if (!tag_labels[code].is_valid()) {
                std::string_view text = tag_text[i];
                tag_labels[code] = nb::steal(host::checked(
                    PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t) text.size(), nullptr)));
            }
        }
    }
    records::CellBlocks date_cells(records::column(s.pd, data, nb::str("date")));
    size_t n = tag_cells.size();
    records::require_rows("date", date_cells.size(), "tag", n);

    // Each cell through _optional_float as the module names it now: the
    // module's own converts in C++.
    nb::object convert = s.global("_optional_float");
    bool own_convert = host::is_function<&optional_float>(s, convert);
    std::vector<records::OptionalFloats> counts;
    std::vector<records::CellBlocks> raw_counts;
    for (const char *name : count_names) {
        nb::object column = records::column(s.pd, data, nb::str(name));
        if (own_convert) {
            counts.emplace_back(s.pd, s.shared_floats, column);
            records::require_rows(name, counts.back().size(), "tag", n);
        } else {
            raw_counts.emplace_back(column);
            records::require_rows(name, raw_counts.back().size(), "tag", n);
        }
    }
    nb::object cls = s.global("ProductionObservation");
    bool own_records = s.observation_maker.usable(cls);

    // Equal text labels share the first such object as their key's tag: a
    // large table then keeps one label object per tag, not one per row.
    nb::dict labels;
    auto tag_of = [&](size_t i) -> nb::object {
        PyObject *cell = tag_codes.empty() ? tag_cells[i] : tag_labels[tag_codes[i]].ptr();
        if (!tag_codes.empty() || !PyUnicode_CheckExact(cell))
            return nb::borrow(cell);
        PyObject *shared = PyDict_GetItemWithError(labels.ptr(), cell);
        if (shared)
            return nb::borrow(shared);
        if (PyErr_Occurred() || PyDict_SetItem(labels.ptr(), cell, cell) != 0)
            throw nb::python_error();
        return nb::borrow(cell);
    };
    nb::object fields[n_counts];
    PyObject *values[n_counts];
    auto read_counts = [&](size_t i) {
        for (size_t k = 0; k < n_counts; ++k) {
            fields[k] = own_convert ? counts[k](i) : convert(nb::handle(raw_counts[k][i]));
            values[k] = fields[k].ptr();
        }
    };

    // Rows whose key is a text label and an int, counts read in C++ and
    // records made without __init__: after asking the provider the week of
    // each such row (and, as before every record, checking that the class is
    // as prepared), only the last row of each (tag, week) is made a record --
    // the others would be replaced, and none of them runs code of the user's.
    // The dict gets each key where the first row of it put it, with that row's
    // objects, and the last row's record, as row-by-row insertion leaves it.
    // The first row that is not such a row, and all after it, go row by row.
    bool own_rows = own_convert && own_records;
    for (const records::OptionalFloats &c : counts)
        own_rows = own_rows && c.in_cxx();
    size_t start = 0;
    nb::object asked;  // the week of row `start`, when the provider gave it already
    if (own_rows) {
        struct Key {
            nb::object tag, week;  // of the first row
            size_t last;
        };
        struct KeyHash {
            size_t operator()(const std::pair<PyObject *, long long> &k) const {
                return std::hash<const void *>()(k.first) * 31 + std::hash<long long>()(k.second);
            }
        };
        std::vector<Key> keys;
        std::unordered_map<std::pair<PyObject *, long long>, size_t, KeyHash> key_of;
        for (; start < n; ++start) {
            nb::object week = weeks.week_of(date_cells[start]);
            nb::object tag = tag_of(start);
            int overflow = 0;
            long long value = PyLong_CheckExact(week.ptr())
                                  ? PyLong_AsLongLongAndOverflow(week.ptr(), &overflow)
                                  : 0;
            if (!PyLong_CheckExact(week.ptr()) || overflow || !PyUnicode_CheckExact(tag.ptr()) ||
                !s.observation_maker.unchanged()) {
                asked = std::move(week);
                break;
            }
            auto [at, fresh] = key_of.try_emplace({tag.ptr(), value}, keys.size());
            if (fresh)
                keys.push_back({std::move(tag), std::move(week), start});
            else
                keys[at->second].last = start;
        }
        host::CollectorPause pause;  // no code of the user's runs here
        for (const Key &k : keys) {
            read_counts(k.last);
            nb::object key = nb::make_tuple(k.tag, k.week);
            host::untrack_atomic(key.ptr());
            if (PyDict_SetItem(observations.ptr(), key.ptr(), s.observation_maker.make(values).ptr()) != 0)
                throw nb::python_error();
        }
    }
    for (size_t i = start; i < n; ++i) {
        nb::object week = i == start && asked.is_valid() ? std::move(asked)
                                                          : weeks.week_of(date_cells[i]);
        nb::object tag = tag_of(i);
        read_counts(i);
        // The provider may have changed the class meanwhile.
        nb::object record = own_records && s.observation_maker.unchanged()
                                ? s.observation_maker.make(values)
                                : s.observation_maker.make_by_call(cls, values);
        nb::object key = nb::make_tuple(tag, week);
        host::untrack_atomic(key.ptr());
        // A later row of the same tag and week replaces the earlier one.
        if (PyDict_SetItem(observations.ptr(), key.ptr(), record.ptr()) != 0)
            throw nb::python_error();
    }
    records::set_attr(self, "_observations", observations);
    records::set_week_range(self, weeks);
}

nb::object data_from_file(State &s, nb::handle cls, nb::handle path, nb::handle weather) {
    return records::data_from_file(s, "HarvestTagReader", cls, path, weather);
}

nb::object data_tags(State &, nb::handle self) { return self.attr("_tags"); }

nb::object data_observation(State &, nb::handle self, nb::handle tag, nb::handle week_index) {
    return self.attr("_observations").attr("get")(nb::make_tuple(tag, week_index));
}

nb::object week_is_covered(State &, nb::handle self, nb::handle week_index) {
    return records::week_is_covered(self, week_index);
}

void init(nb::module_ &m, State &s) {
    m.doc() =
        "The ribbon production file: per ribbon tag and calendar date, the bunches\n"
        "bagged and cut, the age at cut, and where the farm keeps them the field\n"
        "losses, rejected and processed counts.\n\n"
        "HarvestTagReader.read(path) checks the file and returns its table;\n"
        "RibbonProductionData.from_file(path, weather) keys the rows by tag and model\n"
        "week.";
    s.load();

    host::publish(m, "dataclass", host::from_import("dataclasses", "dataclass"));
    host::publish(m, "Path", host::from_import("pathlib", "Path"));
    host::publish(m, "TYPE_CHECKING", host::from_import("typing", "TYPE_CHECKING"));
    host::publish(m, "pd", s.pd.module);
    records::publish_production_names([&](const char *name, nb::handle value) {
        host::publish(m, name, value);
    });

    host::publish(
        m, "HarvestTagReader",
        records::reader_class<&read_production>(
            s, "HarvestTagReader", "Reader of a farm's ribbon production file.",
            "(path: str | os.PathLike) -> ReadResult",
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
            "1e-06 (computed in the columns' own number type).\n\n"
            "Returns ReadResult(data, notices): data has the columns tag, date\n"
            "(datetime.date), bagged, cut, age_at_cut, field_losses, rejected and\n"
            "processed, one row per file row, with the file's row index."));

    host::ClassBuilder observation(s, "ProductionObservation",
                                   "What was recorded for one ribbon tag in one model week.\n\n"
                                   "Each count is a float, or None when the file has no value for it\n"
                                   "(a missing value is never 0.0): bagged, cut, age_at_cut, and the\n"
                                   "optional field_losses, rejected and processed.");
    for (const char *name : count_names)
        observation.field(name, "float | None");
    nb::object observation_cls = host::publish(m, "ProductionObservation", observation.record());
    s.observation_maker.prepare(observation_cls, {"bagged", "cut", "age_at_cut", "field_losses",
                                                  "rejected", "processed"});

    host::def<&optional_float>(
        m, s, "_optional_float", "(value) -> float | None",
        "A table cell as a count: None when the cell is missing, else float(value).");

    host::publish(
        m, "RibbonProductionData",
        host::ClassBuilder(s, "RibbonProductionData",
                           "The observations of a ribbon production file, keyed by ribbon tag\n"
                           "and model week.\n\n"
                           "RibbonProductionData(data, weather) takes the table that\n"
                           "HarvestTagReader.read returns and a WeatherProvider that gives the\n"
                           "model week of each row's date.  Within one tag and week the later\n"
                           "row wins; every row counts for the weeks the file covers.")
            .method<&data_init>(
                "__init__", "(self, /, data: pandas.DataFrame, weather: WeatherProvider) -> None",
                "Key the rows of data by (tag, weather.week_index_for_date(date)).")
            .class_method<&data_from_file>(
                "from_file",
                "(cls, /, path: str | os.PathLike, weather: WeatherProvider) -> ReadResult",
                "Read a ribbon production file and key its rows by tag and week.\n\n"
                "Returns ReadResult(data=<this class's object>, notices=<the notices\n"
                "of the read>).  Errors of the read pass through.")
            .method<&data_tags>("tags", "(self, /) -> tuple[str, ...]",
                                "The ribbon tags of the file, sorted ascending (a tuple).")
            .method<&week_is_covered>(
                "week_is_covered", "(self, /, week_index: int) -> bool",
                "True when week_index lies between the first and the last week of the\n"
                "file, both included (weeks without a row inside that range count).")
            .method<&data_observation>(
                "observation", "(self, /, tag: str, week_index: int) -> ProductionObservation | None",
                "The ProductionObservation of a tag (canonical label) in a model week,\n"
                "or None.")
            .make());
}

}  // namespace

ZELKA_MODULE(harvest_tag_reader, State, init)
