// py_zelka.readers.harvest_tag_reader -- the farm's ribbon production file:
// one row per ribbon tag and calendar date with the counts of that tag's
// bunches.  HarvestTagReader checks the file; RibbonProductionData keys the
// rows by tag and model week.
#include "host/capi.hpp"
#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/dates.hpp"
#include "records/duplicates.hpp"
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

// The fields of an observation, which are also the count columns a data
// object reads.
constexpr size_t n_counts = 6;
const char *const count_names[n_counts] = {"bagged",       "cut",      "age_at_cut",
                                           "field_losses", "rejected", "processed"};

const char *const date_hint =
    "; expected a real date (e.g. ISO 8601 'YYYY-MM-DD'), not a farm-specific week label";

const char *const extension_tail =
    "; this is a non-paper extension with no Kessot equation to estimate it from, so it "
    "will simply not be modeled (treated as absent, not zero).";

// ---------------------------------------------------------------------------
// HarvestTagReader

// The converted count columns of a read, by name, as the reader's `numeric`
// dict holds them.
class Counts {
  public:
    struct Column {
        nb::object name;
        nb::object series;
        std::unique_ptr<records::Float64Values> values;
    };

    void add(const records::Pandas &pd, nb::handle name, nb::object series) {
        columns_.push_back({nb::borrow(name), series,
                            std::make_unique<records::Float64Values>(pd, series)});
    }
    // `numeric[name]`: KeyError when the name was not among the columns.
    const Column &operator[](const char *name) const {
        nb::str key(name);
        for (const Column &column : columns_)
            if (column.name.equal(key))
                return column;
        PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw nb::python_error();
    }
    const std::vector<Column> &all() const { return columns_; }

  private:
    std::vector<Column> columns_;
};

// One value of the cut balance, in the type the column holds: numpy's int64
// or float64 arithmetic, as pandas computes `cut - (processed + rejected)`.
struct Exact {
    bool whole;
    long long i;
    double d;

    double as_double() const { return whole ? (double) i : d; }
    // int64 with int64 stays int64 (wrapping, as numpy does); anything with a
    // float64 is float64.
    friend Exact operator+(const Exact &a, const Exact &b) {
        if (a.whole && b.whole)
            return {true, (long long) ((unsigned long long) a.i + (unsigned long long) b.i), 0.0};
        return {false, 0, a.as_double() + b.as_double()};
    }
    friend Exact operator-(const Exact &a, const Exact &b) {
        if (a.whole && b.whole)
            return {true, (long long) ((unsigned long long) a.i - (unsigned long long) b.i), 0.0};
        return {false, 0, a.as_double() - b.as_double()};
    }
    Exact abs() const {
        if (whole)  // numpy's absolute of the least int64 is itself
            return {true, i == LLONG_MIN ? i : (i < 0 ? -i : i), 0.0};
        return {false, 0, std::fabs(d)};
    }
};

// A count column read in its own type, when that is int64 or float64.
class ExactColumn {
  public:
    bool open(const records::Pandas &pd, nb::handle series) {
        std::string dtype = records::dtype_name(series);
        if (dtype == "int64")
            ints_ = std::make_unique<records::Int64Values>(series);
        else if (dtype == "float64")
            floats_ = std::make_unique<records::Float64Values>(pd, series);
        else
            return false;
        return true;
    }
    size_t size() const { return ints_ ? ints_->size() : floats_->size(); }
    bool missing(size_t row) const { return !ints_ && std::isnan((*floats_)[row]); }
    Exact operator[](size_t row) const {
        if (ints_)
            return {true, (*ints_)[row], 0.0};
        return {false, 0, (*floats_)[row]};
    }

  private:
    std::unique_ptr<records::Int64Values> ints_;
    std::unique_ptr<records::Float64Values> floats_;
};

// The rows where processed and rejected are present and
// `(cut.fillna(0.0) - (processed + rejected)).abs() > 1e-06`, computed in the
// columns' own types.
records::Rows unbalanced_rows(const records::Pandas &pd, const Counts::Column &cut,
                              const Counts::Column &processed, const Counts::Column &rejected) {
    ExactColumn c, p, r;
    if (c.open(pd, cut.series) && p.open(pd, processed.series) && r.open(pd, rejected.series)) {
        size_t n = c.size();
        records::require_rows("processed", p.size(), "cut", n);
        records::require_rows("rejected", r.size(), "cut", n);
        return records::rows_where(n, [&](size_t i) {
            if (p.missing(i) || r.missing(i))
                return false;
            Exact filled = c.missing(i) ? Exact{false, 0, 0.0} : c[i];
            Exact difference = (filled - (p[i] + r[i])).abs();
            return difference.as_double() > 1e-06;
        });
    }
    // Other dtypes (float32, nullable, unsigned, ...): pandas' own expression.
    nb::object filled = cut.series.attr("fillna")(0.0);
    nb::object total = processed.series + rejected.series;
    nb::object difference = (filled - total).attr("abs")();
    nb::object mask = processed.series.attr("notna")() & rejected.series.attr("notna")() &
                      difference.attr("__gt__")(1e-06);
    return records::true_rows(pd, mask);
}

// What a read gives: the data (empty when a rule failed in a check), the
// notices, and the table as loaded.
struct Read {
    nb::object data, notices, table;
};

// The steps of HarvestTagReader.read, each check a rule of `checks`: reading
// stops at the first failure; a farm check runs every rule whose columns the
// file has.
Read run_production(State &s, nb::handle path, records::Checks &checks,
                    records::Options *options) {
    Read out;
    nb::object error_cls = s.global("RibbonDataError");

    // 1-2. Load and check the required columns.
    nb::object table = records::load_for(checks, options, s.global("_read_table"), path,
                                         nb::make_tuple("tag"));
    out.table = table;
    nb::list present = records::require_columns_rule(
        checks, s.global("_require_columns"), table, s.global("_REQUIRED_COLUMNS"),
        host::text("production file ", host::Repr{path}), error_cls);
    // What a rule needs is there: always when reading (a missing column is
    // the host's KeyError there), when the file has it when checking.
    auto has = [&](const char *label) {
        return !checks.collecting() || host::contains(present, nb::str(label));
    };

    // 3. Canonical tags.
    if (has("tag")) {
        nb::object loaded_tags = records::column(s.pd, table, nb::str("tag"));
        nb::object tags = records::map_tags(s.pd, loaded_tags, s.global("_normalize_tag"),
                                            s.own_normalize_tag);
        if (!tags.is(loaded_tags))
            table = table.attr("assign")(nb::arg("tag").none() = tags);
    }

    // 4-5. One notice per absent extension column.
    out.notices = s.global("NoticeLog")();
    nb::object notice_cls = s.global("Notice");
    nb::object feature_disabled = s.global("NoticeKind").attr("FEATURE_DISABLED");
    for (nb::handle column : s.global("_EXTENSION_COLUMNS")) {
        if (records::has_column(table, column))
            continue;
        nb::str message = host::text(host::Repr{column}, " column not present in ",
                                     host::Repr{path}, extension_tail);
        out.notices.attr("append")(notice_cls(nb::arg("kind") = feature_disabled,
                                              nb::arg("subject") = column,
                                              nb::arg("message") = message,
                                              nb::arg("source") = "HarvestTagReader"));
    }

    // 6. Dates.
    nb::object dates;
    if (has("date")) {
        nb::object options_dict;
        if (options && options->dayfirst) {
            nb::dict dayfirst;
            dayfirst["dayfirst"] = true;
            options_dict = dayfirst;
        }
        dates = records::dates_rule(checks, s.pd, records::column(s.pd, table, nb::str("date")),
                                    nb::str("date"), path, error_cls, date_hint, options_dict);
        if (options && has("tag")) {  // for the farm's checks of weeks
            nb::object read = dates.is_valid()
                                  ? dates
                                  : records::coerced_dates(
                                        s.pd, records::column(s.pd, table, nb::str("date")),
                                        options_dict);
            options->extras["dates"] = records::calendar_dates(s.pd, read);
            options->extras["tags"] = records::column(s.pd, table, nb::str("tag"));
        }
    }

    // 7. Duplicate (tag, date) rows, on the date cells as loaded.
    if (has("tag") && has("date")) {
        records::Rows duplicated = records::duplicate_rows(s.pd, table, {"tag", "date"});
        if (!duplicated.empty())
            checks.fail({"duplicate_tag_date", nb::str("date"), duplicated,
                         host::text("duplicate (tag, date) rows at index ",
                                    records::row_list(table, duplicated), " in ", host::Repr{path},
                                    "; expected at most one row per ribbon tag per date"),
                         error_cls, nb::object()});
    }

    // 8. Counts, checked for negative values column by column; an absent
    // column is all missing.
    Counts numeric;
    for (nb::handle column : s.global("_NUMERIC_COLUMNS")) {
        if (!records::has_column(table, column)) {
            numeric.add(s.pd, column, records::nan_column(s.pd, table.attr("index")));
            continue;
        }
        numeric.add(s.pd, column,
                    records::to_numeric(s.pd, records::column(s.pd, table, column)));
        records::counts_rule(checks, error_cls, table, column, *numeric.all().back().values,
                             path);
    }

    // 9. A missing cut counts as 0.
    const records::Float64Values &cut_values = *numeric["cut"].values;
    auto cut = [&](size_t i) {
        double c = cut_values[i];
        return std::isnan(c) ? 0.0 : c;
    };
    size_t n = cut_values.size();

    // 10. Incomplete harvest records.
    if (has("cut") && has("age_at_cut")) {
        const records::Float64Values &age = *numeric["age_at_cut"].values;
        records::require_rows("age_at_cut", age.size(), "cut", n);
        records::Rows incomplete =
            records::rows_where(n, [&](size_t i) { return cut(i) > 0.0 && std::isnan(age[i]); });
        if (!incomplete.empty())
            checks.fail({"incomplete_harvest", nb::str("age_at_cut"), incomplete,
                         host::text("'age_at_cut' is missing on row(s) ",
                                    records::row_list(table, incomplete), " where 'cut' > 0 in ",
                                    host::Repr{path}, " -- an incomplete harvest record"),
                         error_cls, nb::object()});
    }

    // 11. Cut balance, when the file has both halves of it.
    if (has("cut") && records::has_column(table, nb::str("processed")) &&
        records::has_column(table, nb::str("rejected"))) {
        records::Rows unbalanced = unbalanced_rows(s.pd, numeric["cut"], numeric["processed"],
                                                   numeric["rejected"]);
        if (!unbalanced.empty())
            checks.fail({"cut_balance", nb::str("cut"), unbalanced,
                         host::text("'cut' != 'processed' + 'rejected' on row(s) ",
                                    records::row_list(table, unbalanced), " in ",
                                    host::Repr{path}),
                         error_cls, nb::object()});
    }

    // 12-13. The result (in a check, only of a file that passed).
    if (!dates.is_valid() || checks.count() > 0)
        return out;
    nb::dict columns;
    columns["tag"] = records::column(s.pd, table, nb::str("tag"));
    columns["date"] = records::calendar_dates(s.pd, dates);
    for (const Counts::Column &column : numeric.all())
        columns[column.name] = column.series;
    // Reading, the loaded table is dropped: the data takes its columns as
    // they are (a check hands out both, each with columns of its own).
    out.data = options ? s.pd.data_frame.get()(columns)
                       : s.pd.data_frame.get()(columns, nb::arg("copy") = false);
    return out;
}

nb::object read_production(State &s, nb::handle path) {
    records::Checks checks = records::Checks::first_failure();
    Read read = run_production(s, path, checks, nullptr);
    return records::read_result(s, read.data, read.notices);
}

// The farm check of a production file: every rule, with the farm's labels.
nb::object check_production(State &s, nb::handle path, nb::handle columns, nb::handle dayfirst) {
    records::Checks checks = records::Checks::every_failure();
    records::Options options = records::options_of(columns, dayfirst);
    Read read = run_production(s, path, checks, &options);
    return records::checked_file(checks, read.data, read.notices, read.table, options);
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
            int overflow = 0;
            long long value = PyLong_CheckExact(week.ptr())
                                  ? PyLong_AsLongLongAndOverflow(week.ptr(), &overflow)
                                  : 0;
            bool keyed = PyLong_CheckExact(week.ptr()) && !overflow &&
                         s.observation_maker.unchanged();
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
    host::publish(m, "RibbonDataError", host::from_import("py_zelka.exceptions", "RibbonDataError"));
    for (const char *name : {"Notice", "NoticeKind", "NoticeLog", "ReadResult"})
        host::publish(m, name, host::from_import("py_zelka.notices", name));
    nb::object common = host::import("py_zelka.readers._common");
    for (const char *name : {"_normalize_tag", "_read_table", "_require_columns"})
        host::publish(m, name, common.attr(name));

    host::publish(m, "_REQUIRED_COLUMNS",
                  nb::make_tuple("tag", "date", "bagged", "cut", "age_at_cut"));
    host::publish(m, "_EXTENSION_COLUMNS", nb::make_tuple("field_losses", "rejected", "processed"));
    host::publish(m, "_NUMERIC_COLUMNS", nb::make_tuple("bagged", "cut", "age_at_cut",
                                                        "field_losses", "rejected", "processed"));

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
    host::def<&check_production>(
        m, s, "_check_file", "(path: str | os.PathLike, *, columns: Mapping[str, str] | None = None, "
        "dayfirst: bool = False) -> dict",
        "Every check of HarvestTagReader.read on a production file, for the farm check.\n\n"
        "columns maps the reader's column labels to the file's; dayfirst reads dates\n"
        "written day first.  Returns a dict: data (the table read returns, or None\n"
        "when a check failed), notices, failures ((rule, column, rows, message)\n"
        "tuples, rows as positions of the loaded table), table (as loaded), kind,\n"
        "header_line, separator and encoding (where the rows stand in the file).");
}

}  // namespace

ZELKA_MODULE(harvest_tag_reader, State, init)
