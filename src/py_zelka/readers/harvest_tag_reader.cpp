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
#include <cstdint>
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

// Rows next to each other whose provider gave one week: the week's int
// object (consecutive rows of one week share it), its value and the first
// row.
struct WeekRun {
    nb::object week;
    long long value;
    size_t begin;
};

// The distinct (label code, week value) keys of rows, in the order of their
// first rows, each with the run of its first row and its last row: an
// open-addressing table of key numbers, doubled when half full.
class KeyTable {
  public:
    struct Key {
        uint32_t code;
        uint32_t run;
        size_t last;
    };

    void add(uint32_t code, long long week, uint32_t run, size_t row) {
        if ((keys_.size() + 1) * 2 > slots_.size())
            grow();
        size_t mask = slots_.size() - 1;
        for (size_t at = hash(code, week) & mask;; at = (at + 1) & mask) {
            Slot &slot = slots_[at];
            if (slot.key == 0) {
                slot = {week, code, (uint32_t) keys_.size() + 1};
                keys_.push_back({code, run, row});
                return;
            }
            if (slot.code == code && slot.week == week) {
                keys_[slot.key - 1].last = row;
                return;
            }
        }
    }
    const std::vector<Key> &in_order() const { return keys_; }

  private:
    struct Slot {
        long long week;
        uint32_t code;
        uint32_t key;  // 1 + its place in keys_; 0 for an empty slot
    };

    static size_t hash(uint32_t code, long long week) {
        uint64_t h = (uint64_t) week * 0x9E3779B97F4A7C15ull ^ (uint64_t) code * 0xC2B2AE3D27D4EB4Full;
        return (size_t) (h ^ (h >> 31));
    }
    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.empty() ? 1024 : old.size() * 2, Slot{0, 0, 0});
        size_t mask = slots_.size() - 1;
        for (const Slot &slot : old) {
            if (slot.key == 0)
                continue;
            size_t at = hash(slot.code, slot.week) & mask;
            while (slots_[at].key != 0)
                at = (at + 1) & mask;
            slots_[at] = slot;
        }
    }

    std::vector<Slot> slots_;
    std::vector<Key> keys_;
};

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
    // The distinct labels, sorted: of a coded column, its labels (each code's
    // text, equal to what `unique()` gives), else the column's `unique()`.
    nb::object distinct;
    if (!tag_codes.empty()) {
        nb::list labels;
        for (size_t code = 1; code < tag_labels.size(); ++code)
            labels.append(tag_labels[code]);
        distinct = labels;
    } else {
        distinct = tag_column.attr("unique")();
    }
    nb::object sorted_tags = host::from_import("builtins", "sorted")(distinct);
    records::set_attr(self, "_tags", nb::steal(host::checked(PySequence_Tuple(sorted_tags.ptr()))));

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
    own_rows = own_rows && n < UINT32_MAX;  // rows and runs numbered in 32 bits
    size_t start = 0;
    nb::object asked;  // the week of row `start`, when the provider gave it already
    if (own_rows) {
        // Each label a code: the text column's own, or one per label object
        // as tag_of shares them.
        bool coded = !tag_codes.empty();
        std::vector<uint32_t> row_codes;      // when not coded
        std::vector<nb::object> code_labels;  // when not coded
        std::unordered_map<PyObject *, uint32_t> code_of;
        // Consecutive rows of one week share its int object: a run.
        std::vector<WeekRun> runs;
        bool ascending = true;  // each run's week above the one before
        for (; start < n; ++start) {
            nb::object week = weeks.week_of(date_cells[start]);
            long long value = 0;
            bool keyed = weeks.last_exact(value) && s.observation_maker.unchanged();
            if (keyed && !coded) {
                nb::object tag = tag_of(start);
                keyed = PyUnicode_CheckExact(tag.ptr());
                if (keyed) {
                    auto [at, fresh] = code_of.try_emplace(tag.ptr(), (uint32_t) code_labels.size());
                    if (fresh)
                        code_labels.push_back(std::move(tag));
                    row_codes.push_back(at->second);
                }
            }
            if (!keyed) {
                asked = std::move(week);
                break;
            }
            if (runs.empty() || !runs.back().week.is(week)) {
                ascending = ascending && (runs.empty() || value > runs.back().value);
                runs.push_back({std::move(week), value, start});
            }
        }
        auto code_at = [&](size_t i) { return coded ? tag_codes[i] : row_codes[i]; };
        const std::vector<nb::object> &labels_by_code = coded ? tag_labels : code_labels;
        auto run_end = [&](size_t r) { return r + 1 < runs.size() ? runs[r + 1].begin : start; };

        host::CollectorPause pause;  // no code of the user's runs here
        host::FilledDict filled;
        auto store = [&](uint32_t code, const nb::object &week, size_t row) {
            nb::object key = host::atomic_pair(labels_by_code[code].ptr(), week.ptr());
            PyObject *owned[n_counts];
            size_t read = 0;
            try {
                for (; read < n_counts; ++read)
                    owned[read] = counts[read].new_ref(row);
            } catch (...) {
                for (size_t k = 0; k < read; ++k)
                    Py_DECREF(owned[k]);
                throw;
            }
            nb::object record = s.observation_maker.make_atomic_owned(owned);
            filled.set(key.ptr(), record.ptr());
        };
        if (ascending) {
            // Weeks that only grow: the keys of one run are its own, and its
            // rows need only telling apart by label.
            std::vector<size_t> seen(labels_by_code.size(), SIZE_MAX), last(labels_by_code.size());
            std::vector<uint32_t> order;
            for (size_t r = 0; r < runs.size(); ++r) {
                order.clear();
                for (size_t i = runs[r].begin, end = run_end(r); i < end; ++i) {
                    uint32_t code = code_at(i);
                    if (seen[code] != r) {
                        seen[code] = r;
                        order.push_back(code);
                    }
                    last[code] = i;
                }
                for (uint32_t code : order)
                    store(code, runs[r].week, last[code]);
            }
        } else {
            // Weeks in any order: the keys by label code and week value.
            KeyTable keys;
            for (size_t r = 0; r < runs.size(); ++r)
                for (size_t i = runs[r].begin, end = run_end(r); i < end; ++i)
                    keys.add(code_at(i), runs[r].value, (uint32_t) r, i);
            for (const KeyTable::Key &k : keys.in_order())
                store(k.code, runs[k.run].week, k.last);
        }
        observations = filled.done();
    }
    for (size_t i = start; i < n; ++i) {
        nb::object week = i == start && asked.is_valid() ? std::move(asked)
                                                          : weeks.week_of(date_cells[i]);
        nb::object tag = tag_of(i);
        read_counts(i);
        // The provider may have changed the class meanwhile.
        nb::object record = own_records && s.observation_maker.unchanged()
                                ? s.observation_maker.make_atomic(values)
                                : s.observation_maker.make_by_call(cls, values);
        nb::object key = host::atomic_pair(tag.ptr(), week.ptr());
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
