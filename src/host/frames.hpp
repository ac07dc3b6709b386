// What the record-file readers share beyond the bridge: binding a reader
// class, reading table columns in C++, marking rows, writing row lists,
// parsing date columns, building result frames, and turning a validated
// table into per-row host objects (observations keyed by model week).
//
// A reader module uses them like this:
//
//   NB_MODULE(harvest_tag_reader, m) {
//       frames::init();                           // once, before anything below
//       ...
//       host::publish(m, "HarvestTagReader",
//                     frames::reader_class(m, "HarvestTagReader", "doc", &read,
//                                          nb::arg("path"), "read doc"));
//   }
//
//   nb::object read(nb::handle path) {
//       nb::object table = ...;                               // _read_table(path)
//       nb::object dates = frames::parse_dates_or_raise(
//           table["date"], nb::str("date"), path, error_cls, "; a hint");
//       nb::object counts = frames::to_numeric(table["cut"]);
//       frames::Float64Column cut(counts);
//       frames::Rows negative = frames::negative_rows(cut);
//       if (!negative.empty())
//           host::raise(error_cls, host::text("negative at row(s) ",
//                                             frames::row_list(table, negative)));
//       return frames::frame({{"date", frames::calendar_dates(dates)},
//                             {"cut", counts}});
//   }
//
// Every helper raises nb::python_error when the host raises; nothing here
// catches a host error except parse_dates_or_raise, which turns the date
// parser's ValueError / TypeError into the reader's own error.
#pragma once

#include "host/host.hpp"

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

namespace frames {

namespace nb = nanobind;

// Caches the pandas entry points the helpers use (pandas is imported here).
// Call once at the start of every module initialisation that uses this file;
// every helper below assumes it has run.
void init();

// The pandas module (`pd`), as cached by init().
nb::handle pandas();

// `bool(value)`, as the host evaluates it.
bool truth(nb::handle value);

// `list(iterable)`: a new list.
nb::object as_list(nb::handle iterable);

// ---------------------------------------------------------------------------
// Reader classes

// A plain class `name` whose only member is the static method `read`, bound
// to the C++ function `read` with nanobind's extras (argument names,
// docstring), e.g.
//   reader_class(m, "HarvestTagReader", "Reads ...", &read, nb::arg("path"), "...")
template <typename F, typename... Extra>
nb::object reader_class(nb::handle module, const char *name, const char *doc, F &&read,
                        const Extra &...extra) {
    return host::ClassBuilder(module, name, doc)
        .static_method("read", std::forward<F>(read), extra...)
        .make();
}

// The readers' column check: `require(table, list(labels), context=context,
// error_cls=error_cls)`, `require` being the reader's `_require_columns` as
// looked up at call time.  Its result is not used; what it raises passes.
void require_columns(nb::handle require, nb::handle table, nb::handle labels,
                     nb::handle context, nb::handle error_cls);

// ---------------------------------------------------------------------------
// Columns

// `label in table.columns`.
bool has_column(nb::handle table, nb::handle label);

// `pd.to_numeric(series, errors="coerce")`: the column as numbers, cells that
// do not convert missing.  The result keeps the series' index; its dtype is
// whatever pandas gives (int64 for a column of whole numbers, float64, or a
// nullable dtype for nullable input).
nb::object to_numeric(nb::handle series);

// `pd.Series(float("nan"), index=index)`: an all-missing float64 column.
nb::object nan_column(nb::handle index);

// True when the series holds real numbers that convert to float64 without
// loss of meaning: a numeric dtype (numpy or nullable; bool included), not
// complex.  Such a series can be read with Float64Column.
bool is_real_numeric(nb::handle series);

// A read-only float64 view of a numeric column:
// `series.to_numpy(dtype="float64", na_value=nan)` seen through the buffer
// protocol, so loops over the rows run in C++.  Missing cells (NaN, None,
// pd.NA) read as NaN.  The series must be numeric (see is_real_numeric, or a
// result of to_numeric); anything else raises the host's conversion error.
class Float64Column {
  public:
    explicit Float64Column(nb::handle series);
    ~Float64Column();
    Float64Column(const Float64Column &) = delete;
    Float64Column &operator=(const Float64Column &) = delete;

    size_t size() const { return size_; }
    double operator[](size_t row) const {
        return *reinterpret_cast<const double *>(data_ + (Py_ssize_t) row * stride_);
    }

  private:
    nb::object array_;
    Py_buffer view_;
    const char *data_ = nullptr;
    Py_ssize_t stride_ = sizeof(double);
    size_t size_ = 0;
};

// The cells of a column as a host list (`series.tolist()`: Python scalars for
// numpy dtypes, Timestamps for datetime64, the stored objects otherwise) --
// the same objects iterating the series, or `itertuples`, hands out.
nb::list cells(nb::handle series);

// The canonical ribbon tag label of one cell: a missing cell (None, NaN,
// pd.NA, NaT) or a blank one gives "", anything else
// `str(raw).strip().lower()`.
nb::object normalize_tag(nb::handle raw);

// `series.map(normalize_tag)`, computed in C++: a new series with the
// series' index holding the canonical labels, with the dtype pandas' `map`
// gives (str under pandas' string inference, object otherwise).
nb::object tag_column(nb::handle series);

// `series.map(normalize)` for a reader's `_normalize_tag` as looked up at
// call time: tag_column when it is still _common's own function, pandas'
// `map` with the replacement otherwise.
nb::object map_tags(nb::handle series, nb::handle normalize);

// ---------------------------------------------------------------------------
// Rows and row lists

// Positions (0-based) of marked rows, ascending.
using Rows = std::vector<size_t>;

// The positions i in [0, n) for which marked(i) is true.
template <typename Pred>
Rows rows_where(size_t n, Pred &&marked) {
    Rows rows;
    for (size_t i = 0; i < n; ++i)
        if (marked(i))
            rows.push_back(i);
    return rows;
}

// Rows holding a value below zero (`series < 0`; NaN is never negative).
Rows negative_rows(const Float64Column &column);

// Rows where a boolean series (a mask such as `duplicated` returns) is true.
Rows true_rows(nb::handle mask);

// The row list of a message: `str(list(table.index[marked]))`, the index
// labels of the marked rows in table order, e.g. "[2, 5]".
nb::str row_list(nb::handle table, const Rows &rows);

// The readers' count check: when the column's values hold negative ones,
// raises `error_cls("column " + repr(column) + " contains negative value(s)
// at row(s) " + row list + " in " + repr(path) + "; expected non-negative
// counts")`.
void check_counts(nb::handle error_cls, nb::handle table, nb::handle column,
                  const Float64Column &values, nb::handle path);

// ---------------------------------------------------------------------------
// Dates

// `pd.to_datetime(series, **options)`, with two rules of our own.
//
// Columns that loaded as numbers (real exports write 20180624): pandas would
// count such numbers as nanoseconds since 1970.  For a real-numeric column
// (see is_real_numeric), every present value must be a whole number of
// eight digits and is read as YYYYMMDD (format "%Y%m%d"; options are not
// used); any other number raises ValueError naming it and its position;
// missing cells stay missing (NaT).
//
// A true `dayfirst` option: pandas' day-first preference also turns text
// written year first around (2024-01-05 would read as 1 May).  Cells
// written year first -- YYYY-MM-DD, YYYY/MM/DD, YYYY.MM.DD, optionally
// followed by a time after a blank or "T", and YYYYMMDD -- are read as
// written (the same options with dayfirst false), the rest day first; the
// result has the dtype of the plain day-first parse.
//
// Other columns go to pandas unchanged.  Errors of the parser (ValueError,
// TypeError, ...) propagate.  The result keeps the series' index.
nb::object parse_dates(nb::handle series, nb::handle options = nb::handle());

// Text dates that a month-first reading has scrambled.  Among the text cells
// written in a numeric day-month-year layout -- D/M/YYYY with one separator
// of "/", "-", "." used twice (1 or 2 digits for the first two fields),
// optionally followed by a time after a blank --, the first cell in row
// order whose first field exceeds 12 (so it can only be day first) when
// another cell of the same separator is ambiguous (both first fields 12 or
// less and different, so a month-first reading took its first field for
// the month).  None when there is no such cell: every cell unambiguous, or
// none day first.
nb::object day_first_example(nb::handle series);

// Raises `error_cls(message) from caught` with the readers' date-parse
// message: "could not parse " + repr(label) + " column in " + repr(path) +
// " as calendar dates: " + str(caught) + hint.
[[noreturn]] void raise_date_parse_error(nb::handle error_cls, nb::handle label,
                                         nb::handle path, nb::python_error &caught,
                                         const char *hint = "");

// parse_dates(series, options); a ValueError or TypeError of it becomes
// raise_date_parse_error(error_cls, label, path, error, hint).  Other
// errors pass unchanged.
nb::object parse_dates_or_raise(nb::handle series, nb::handle label, nb::handle path,
                                nb::handle error_cls, const char *hint = "",
                                nb::handle options = nb::handle());

// `parsed.dt.date`: the calendar date of every timestamp as a
// datetime.date, NaT where the timestamp is missing.
nb::object calendar_dates(nb::handle parsed);

// ---------------------------------------------------------------------------
// Frames

// `pd.DataFrame({label: column, ...})`, the columns in the order given; the
// columns are series sharing one index, which the frame keeps.
nb::object frame(std::initializer_list<std::pair<const char *, nb::handle>> columns);

// ---------------------------------------------------------------------------
// Per-row host objects

// `_optional_float(value)`: None when `pd.isna(value)` is true, else
// `float(value)` -- the host's own test and conversion, with fast paths for
// exact float, int and None.
nb::object optional_float(nb::handle value);

// The cells of one column as `float | None`, row by row, the way
// optional_float converts each cell: read from a float64 buffer when the
// column is real-numeric, else cell by cell through optional_float (so a
// cell that does not convert raises the host's error at that row).  Equal
// whole counts from the buffer (0.0, 1.0, ... up to 1023.0) are one shared
// float object each, so a large table does not box every cell anew.
class OptionalFloats {
  public:
    explicit OptionalFloats(nb::handle series);
    ~OptionalFloats();
    OptionalFloats(OptionalFloats &&) noexcept;
    // New reference: a float, or None for a missing cell.
    nb::object operator()(size_t row) const;
    // True when the cell is missing (the value would be None).
    bool missing(size_t row) const;
    // The number of cells.
    size_t size() const;

    struct Int64View;  // an int64 column's own buffer, read without a copy

  private:
    std::unique_ptr<Float64Column> values_;  // fast path
    std::unique_ptr<Int64View> ints_;        // fast path of an int64 column
    nb::list cells_;                         // slow path
};

// A float object of the value: the shared one for a whole number in
// [0, 1023] (not -0.0), a new one otherwise.
nb::object count_float(double value);

// The cells of a column in row order, taken from the host a block of rows at
// a time (`series.iloc[a:b].tolist()`: the objects `cells` gives), so that a
// long column is never a host list of every cell at once.
class CellBlocks {
  public:
    explicit CellBlocks(nb::handle series);
    size_t size() const { return size_; }
    // Borrowed; rows are read in ascending order.
    PyObject *operator[](size_t row);

  private:
    nb::object iloc_;
    nb::object block_;
    size_t size_ = 0, begin_ = 0, end_ = 0;
};

// Instances of a frozen, slotted data class with a generated __init__ and no
// __post_init__, made without calling __init__: `object.__new__(cls)`, then
// each field set in field order, as the generated __init__'s
// `object.__setattr__` sets it: straight into the field's slot, whose place
// in the instance is found once here (through `object.__setattr__` when it
// cannot be found) -- so the objects equal, hash and print exactly like
// `cls(**fields)`.  The class is checked once, here.
class RecordMaker {
  public:
    RecordMaker(nb::handle cls, std::vector<const char *> fields);
    // Steals nothing; values[i] is the value of the i-th field.
    nb::object make(const nb::object *values) const;
    size_t size() const { return names_.size(); }

  private:
    nb::object cls_;
    newfunc new_ = nullptr;
    nb::tuple no_args_;
    std::vector<nb::object> names_;
    std::vector<Py_ssize_t> offsets_;  // -1: set through the attribute
};

// The cyclic garbage collector paused for a scope: while a data object
// makes an object or two per row (records of floats and None, keys of a
// label and an int: none can be part of a cycle), a collection set off by
// the new objects would only walk them again and again.  The collector is
// switched back on at the end of the scope if it was on at its start; it then
// collects as it would have, reference counting having freed everything else
// all along.
class CollectorPause {
  public:
    CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~CollectorPause() {
        if (was_enabled_)
            PyGC_Enable();
    }
    CollectorPause(const CollectorPause &) = delete;
    CollectorPause &operator=(const CollectorPause &) = delete;

  private:
    bool was_enabled_;
};

// The provider side of a data object: `weather.week_index_for_date(date)`
// once per row, in the order of the calls; the first and last week are what
// the host's `min` and `max` of all the results give.  While the results are
// exact ints they are compared in C++ as they come (an int's comparisons have
// no side effect and cannot fail, so only the least and the greatest so far
// need keeping -- the first of equal ones, as `min` and `max` keep); from the
// first result of any other type on, the results are kept and `min` and
// `max` run over them (after the least and greatest int so far) at the end,
// exactly as over the whole list.  A result that is an exact int equal to
// the previous row's is replaced by that previous object: consecutive rows
// of one week share one int.
class WeekIndexer {
  public:
    explicit WeekIndexer(nb::handle weather);
    // New reference: the provider's week index of the date.
    nb::object week_of(nb::handle date);
    // `min(weeks)` / `max(weeks)`, or None when no row was indexed.
    nb::object first_week() const;
    nb::object last_week() const;

  private:
    nb::object weather_;
    nb::object previous_;          // the last result, when an exact int
    long long previous_value_ = 0;
    nb::object least_, greatest_;  // of the exact ints while all results are
    long long least_value_ = 0, greatest_value_ = 0;
    bool ints_only_ = true;
    nb::list weeks_;               // from the first other result on
};

// `week_is_covered(self, week_index)` of a data object whose weeks are the
// attributes `_first_week` and `_last_week` (None when it has no rows):
// False without rows, else `self._first_week <= week_index <=
// self._last_week`, evaluated as the host evaluates the chained comparison
// (its result is that of the last comparison made).
nb::object week_is_covered(nb::handle self, nb::handle week_index);

// What a data class's `from_file` returns once its reader has read:
// `read_result_cls(data=cls(result.data, weather), notices=result.notices)`.
nb::object data_from_read(nb::handle read_result_cls, nb::handle cls, nb::handle result,
                          nb::handle weather);

// Raises ValueError when the column `label` of a table given as separate
// columns holds `size` cells where the column `reference` holds `rows`: the
// rows of such a table cannot be read together.
void require_rows(const char *label, size_t size, const char *reference, size_t rows);

// `setattr(obj, name, value)`.
void set_attr(nb::handle obj, const char *name, nb::handle value);

}  // namespace frames
