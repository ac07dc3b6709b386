#include "host/frames.hpp"
#include "host/fastpath.hpp"

#include <cmath>
#include <string>

namespace frames {

namespace {

// Host objects cached by init() (never released).
struct Cache {
    PyObject *pd = nullptr;
    PyObject *to_numeric = nullptr;
    PyObject *to_datetime = nullptr;
    PyObject *series = nullptr;
    PyObject *data_frame = nullptr;
    PyObject *isna = nullptr;
    PyObject *is_numeric_dtype = nullptr;
    PyObject *is_bool_dtype = nullptr;
    PyObject *is_complex_dtype = nullptr;
    PyObject *list = nullptr;
    PyObject *min = nullptr;
    PyObject *max = nullptr;
    PyObject *nan = nullptr;
    PyObject *s_week_index_for_date = nullptr;
    PyObject *normalize_tag = nullptr;  // _common._normalize_tag
    PyObject *string_dtype = nullptr;   // pd.StringDtype
    PyObject *factorize = nullptr;      // pd.factorize
    PyObject *np_array = nullptr;       // numpy.array
};
Cache cache;

nb::handle h(PyObject *o) { return nb::handle(o); }

nb::object float_nan() { return nb::borrow(cache.nan); }

// Python's str.strip() whitespace, for ASCII.
bool ascii_space(unsigned char c) {
    return c == ' ' || (c >= 9 && c <= 13) || (c >= 28 && c <= 31);
}

}  // namespace

void init() {
    if (cache.pd)
        return;
    nb::object pd = host::import("pandas");
    nb::object types = pd.attr("api").attr("types");
    cache.to_numeric = host::leak(pd.attr("to_numeric"));
    cache.string_dtype = host::leak(pd.attr("StringDtype"));
    cache.factorize = host::leak(pd.attr("factorize"));
    cache.np_array = host::leak(host::from_import("numpy", "array"));
    cache.to_datetime = host::leak(pd.attr("to_datetime"));
    cache.series = host::leak(pd.attr("Series"));
    cache.data_frame = host::leak(pd.attr("DataFrame"));
    cache.isna = host::leak(pd.attr("isna"));
    cache.is_numeric_dtype = host::leak(types.attr("is_numeric_dtype"));
    cache.is_bool_dtype = host::leak(types.attr("is_bool_dtype"));
    cache.is_complex_dtype = host::leak(types.attr("is_complex_dtype"));
    cache.list = host::leak(host::from_import("builtins", "list"));
    cache.min = host::leak(host::from_import("builtins", "min"));
    cache.max = host::leak(host::from_import("builtins", "max"));
    cache.nan = host::leak(nb::float_(std::nan("")));
    cache.normalize_tag =
        host::leak(host::from_import("py_zelka.readers._common", "_normalize_tag"));
    cache.s_week_index_for_date = PyUnicode_InternFromString("week_index_for_date");
    if (!cache.s_week_index_for_date)
        throw nb::python_error();
    cache.pd = host::leak(pd);
}

nb::handle pandas() { return h(cache.pd); }

bool truth(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

nb::object as_list(nb::handle iterable) {
    nb::object list = nb::steal(PySequence_List(iterable.ptr()));
    if (!list.is_valid())
        throw nb::python_error();
    return list;
}

void require_columns(nb::handle require, nb::handle table, nb::handle labels,
                     nb::handle context, nb::handle error_cls) {
    require(table, as_list(labels), nb::arg("context") = context,
            nb::arg("error_cls") = error_cls);
}

// ---------------------------------------------------------------------------
// Columns

bool has_column(nb::handle table, nb::handle label) {
    nb::object columns = table.attr("columns");
    int r = PySequence_Contains(columns.ptr(), label.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

nb::object to_numeric(nb::handle series) {
    return h(cache.to_numeric)(series, nb::arg("errors") = "coerce");
}

nb::object nan_column(nb::handle index) {
    return h(cache.series)(float_nan(), nb::arg("index") = index);
}

bool is_real_numeric(nb::handle series) {
    nb::object dtype = series.attr("dtype");
    return truth(h(cache.is_numeric_dtype)(dtype)) && !truth(h(cache.is_complex_dtype)(dtype));
}

Float64Column::Float64Column(nb::handle series) {
    array_ = series.attr("to_numpy")(nb::arg("dtype") = "float64",
                                     nb::arg("na_value") = float_nan());
    if (PyObject_GetBuffer(array_.ptr(), &view_, PyBUF_RECORDS_RO) != 0)
        throw nb::python_error();
    bool is_double = view_.format && std::string(view_.format) == "d" &&
                     view_.itemsize == (Py_ssize_t) sizeof(double);
    if (view_.ndim != 1 || !is_double) {
        PyBuffer_Release(&view_);
        host::raise(PyExc_TypeError,
                    host::text("expected a one-dimensional float64 column, got ",
                               host::Repr{array_}));
    }
    data_ = static_cast<const char *>(view_.buf);
    stride_ = view_.strides ? view_.strides[0] : (Py_ssize_t) sizeof(double);
    size_ = (size_t) view_.shape[0];
}

Float64Column::~Float64Column() { PyBuffer_Release(&view_); }

nb::list cells(nb::handle series) { return nb::list(series.attr("tolist")()); }

nb::object normalize_tag(nb::handle raw) {
    if (host::is_missing(raw))
        return nb::str("");
    nb::object text =
        PyUnicode_CheckExact(raw.ptr()) ? nb::borrow(raw) : nb::object(host::str(raw));
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return text.attr("strip")().attr("lower")();
    }
    bool has_upper = false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        unsigned char c = (unsigned char) utf8[i];
        if (c >= 0x80)  // beyond ASCII: the host's own strip and lower
            return text.attr("strip")().attr("lower")();
        if (c >= 'A' && c <= 'Z')
            has_upper = true;
    }
    Py_ssize_t begin = 0, end = size;
    while (begin < end && ascii_space((unsigned char) utf8[begin]))
        ++begin;
    while (end > begin && ascii_space((unsigned char) utf8[end - 1]))
        --end;
    if (!has_upper && begin == 0 && end == size)
        return text;
    std::string out(utf8 + begin, (size_t) (end - begin));
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = (char) (c - 'A' + 'a');
    return nb::str(out.data(), out.size());
}

nb::object tag_column(nb::handle series) {
    if (nb::len(series) == 0)  // nothing to infer from: pandas' map keeps the dtype
        return series.attr("map")(nb::cpp_function(&normalize_tag));
    if (nb::isinstance(series.attr("dtype"), h(cache.string_dtype))) {
        // Text cells (or missing ones): equal cells give equal labels, so each
        // distinct cell is normalised once and the labels are laid out by the
        // cells' codes -- no host object per cell.  A missing cell has code -1,
        // which takes the last label: the one of a missing cell.
        nb::object factors = h(cache.factorize)(series);
        nb::list labels = cells(factors[1]);
        size_t distinct = nb::len(labels);
        for (size_t i = 0; i < distinct; ++i)
            labels[i] = normalize_tag(labels[i]);
        labels.append(normalize_tag(nb::none()));
        nb::object table = h(cache.np_array)(labels, nb::arg("dtype") = "object");
        return h(cache.series)(table.attr("take")(factors[0]),
                               nb::arg("index") = series.attr("index"),
                               nb::arg("name") = series.attr("name"));
    }
    nb::list raw = cells(series);
    size_t n = nb::len(raw);
    nb::list labels;
    for (size_t i = 0; i < n; ++i)
        labels.append(normalize_tag(raw[i]));
    return h(cache.series)(labels, nb::arg("index") = series.attr("index"),
                           nb::arg("name") = series.attr("name"));
}

nb::object map_tags(nb::handle series, nb::handle normalize) {
    if (normalize.is(h(cache.normalize_tag)))
        return tag_column(series);
    return series.attr("map")(normalize);
}

// ---------------------------------------------------------------------------
// Rows

Rows negative_rows(const Float64Column &column) {
    return rows_where(column.size(), [&](size_t i) { return column[i] < 0.0; });
}

Rows true_rows(nb::handle mask) {
    Float64Column marks(mask);
    return rows_where(marks.size(), [&](size_t i) { return marks[i] != 0.0; });
}

nb::str row_list(nb::handle table, const Rows &rows) {
    nb::list positions;
    for (size_t row : rows)
        positions.append(nb::int_(row));
    nb::object labels = table.attr("index").attr("take")(positions);
    return host::str(h(cache.list)(labels));
}

void check_counts(nb::handle error_cls, nb::handle table, nb::handle column,
                  const Float64Column &values, nb::handle path) {
    Rows negative = negative_rows(values);
    if (!negative.empty())
        host::raise(error_cls, host::text("column ", host::Repr{column},
                                          " contains negative value(s) at row(s) ",
                                          row_list(table, negative), " in ", host::Repr{path},
                                          "; expected non-negative counts"));
}

// ---------------------------------------------------------------------------
// Dates

namespace {

// The text of a cell without surrounding ASCII blanks, or false when the
// cell is not text.
bool trimmed_text(nb::handle cell, const char *&begin, const char *&end) {
    if (!PyUnicode_Check(cell.ptr()))
        return false;
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(cell.ptr(), &size);
    if (utf8 == nullptr) {  // lone surrogates: not a date we know
        PyErr_Clear();
        return false;
    }
    begin = utf8;
    end = utf8 + size;
    while (begin < end && ascii_space((unsigned char) *begin))
        ++begin;
    while (end > begin && ascii_space((unsigned char) end[-1]))
        --end;
    return true;
}

// Reads between min_digits and max_digits decimal digits at p.
bool digits(const char *&p, const char *end, int min_digits, int max_digits, int &value) {
    int count = 0;
    value = 0;
    while (p < end && count < max_digits && *p >= '0' && *p <= '9') {
        value = value * 10 + (*p - '0');
        ++p;
        ++count;
    }
    return count >= min_digits;
}

bool date_separator(char c) { return c == '/' || c == '-' || c == '.'; }

// A field, a separator, a field, the same separator: the first two fields
// of a numeric date; p is left after the second separator.
bool two_fields(const char *&p, const char *end, int min_digits, int max_digits, int &first,
                int &second, char &sep) {
    if (!digits(p, end, min_digits, max_digits, first) || p == end || !date_separator(*p))
        return false;
    sep = *p++;
    if (!digits(p, end, 1, 2, second) || p == end || *p != sep)
        return false;
    ++p;
    return true;
}

// D/M/YYYY (or M/D/YYYY) with one separator, then nothing or a blank and
// a time.
bool day_month_year(nb::handle cell, int &first, int &second, char &sep) {
    const char *p, *end;
    if (!trimmed_text(cell, p, end) || !two_fields(p, end, 1, 2, first, second, sep))
        return false;
    int year;
    if (!digits(p, end, 4, 4, year))
        return false;
    return p == end || ascii_space((unsigned char) *p);
}

// YYYY-MM-DD (or / or .), then nothing or a blank or "T" and a time; or
// YYYYMMDD.
bool year_first(nb::handle cell) {
    const char *p, *end;
    if (!trimmed_text(cell, p, end))
        return false;
    const char *start = p;
    int year, month, day;
    char sep;
    if (digits(p, end, 8, 8, year) && p == end)
        return true;
    p = start;
    if (!two_fields(p, end, 4, 4, year, month, sep) || !digits(p, end, 1, 2, day))
        return false;
    return p == end || *p == 'T' || ascii_space((unsigned char) *p);
}

}  // namespace

nb::object day_first_example(nb::handle series) {
    const char separators[] = {'/', '-', '.'};
    constexpr size_t none = (size_t) -1;
    size_t day_first[3] = {none, none, none};
    bool ambiguous[3] = {false, false, false};
    nb::list raw = cells(series);
    size_t n = nb::len(raw);
    for (size_t i = 0; i < n; ++i) {
        int first, second;
        char sep;
        if (!day_month_year(raw[i], first, second, sep))
            continue;
        size_t k = 0;
        while (separators[k] != sep)
            ++k;
        if (first > 12) {
            if (day_first[k] == none)
                day_first[k] = i;
        } else if (second <= 12 && first != second) {
            ambiguous[k] = true;
        }
    }
    size_t example = none;
    for (size_t k = 0; k < 3; ++k)
        if (ambiguous[k] && day_first[k] < example)
            example = day_first[k];
    if (example == none)
        return nb::none();
    return raw[example];
}

nb::object parse_dates(nb::handle series, nb::handle options) {
    nb::object dtype = series.attr("dtype");
    bool numeric = is_real_numeric(series) && !truth(h(cache.is_bool_dtype)(dtype));
    if (!numeric) {
        if (!options.is_valid() || options.is_none())
            return h(cache.to_datetime)(series);
        nb::dict given = nb::borrow<nb::dict>(options);
        nb::object parsed = h(cache.to_datetime)(series, **given);
        if (!given.contains("dayfirst") || !truth(given["dayfirst"]))
            return parsed;
        // Day first, except what is written year first.
        nb::list raw = cells(series);
        size_t n = nb::len(raw);
        nb::list as_written;
        bool any = false;
        for (size_t i = 0; i < n; ++i) {
            bool yes = year_first(raw[i]);
            any = any || yes;
            as_written.append(nb::bool_(yes));
        }
        if (!any)
            return parsed;
        nb::dict plain = nb::borrow<nb::dict>(given.attr("copy")());
        plain["dayfirst"] = false;
        nb::object year_first_dates =
            h(cache.to_datetime)(series.attr("where")(as_written), **plain);
        return parsed.attr("mask")(as_written,
                                   year_first_dates.attr("astype")(parsed.attr("dtype")).attr("array"));
    }
    // YYYYMMDD written as a number: a whole number of eight digits.
    {
        Float64Column values(series);
        for (size_t i = 0; i < values.size(); ++i) {
            double v = values[i];
            if (std::isnan(v))
                continue;
            if (v == std::floor(v) && v >= 10000000.0 && v <= 99999999.0)
                continue;
            nb::object one = series.attr("iloc")[nb::slice(nb::int_(i), nb::int_(i + 1), nb::none())];
            nb::object value = one.attr("tolist")()[0];
            host::raise(PyExc_ValueError,
                        host::text("number ", host::Repr{value}, " at position ",
                                   host::Str{nb::int_(i)},
                                   " is not a date written as YYYYMMDD"));
        }
    }
    nb::object text = series.attr("astype")("Int64").attr("astype")("string");
    return h(cache.to_datetime)(text, nb::arg("format") = "%Y%m%d");
}

[[noreturn]] void raise_date_parse_error(nb::handle error_cls, nb::handle label,
                                         nb::handle path, nb::python_error &caught,
                                         const char *hint) {
    host::raise_from(error_cls,
                     host::text("could not parse ", host::Repr{label}, " column in ",
                                host::Repr{path}, " as calendar dates: ",
                                host::Str{caught.value()}, hint),
                     caught);
}

nb::object parse_dates_or_raise(nb::handle series, nb::handle label, nb::handle path,
                                nb::handle error_cls, const char *hint, nb::handle options) {
    try {
        return parse_dates(series, options);
    } catch (nb::python_error &e) {
        if (!host::error_is(e, PyExc_ValueError) && !host::error_is(e, PyExc_TypeError))
            throw;
        raise_date_parse_error(error_cls, label, path, e, hint);
    }
}

nb::object calendar_dates(nb::handle parsed) { return parsed.attr("dt").attr("date"); }

// ---------------------------------------------------------------------------
// Frames

nb::object frame(std::initializer_list<std::pair<const char *, nb::handle>> columns) {
    nb::dict mapping;
    for (const auto &[label, column] : columns)
        mapping[label] = column;
    return h(cache.data_frame)(mapping);
}

// ---------------------------------------------------------------------------
// Per-row host objects

nb::object optional_float(nb::handle value) {
    PyObject *o = value.ptr();
    if (o == Py_None)
        return nb::none();
    if (PyFloat_CheckExact(o))
        return std::isnan(PyFloat_AsDouble(o)) ? nb::none() : nb::borrow(value);
    if (!PyLong_CheckExact(o) && truth(h(cache.isna)(value)))
        return nb::none();
    PyObject *result = PyObject_CallFunctionObjArgs((PyObject *) &PyFloat_Type, o, nullptr);
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// The shared float objects of the whole counts 0.0 ... 1023.0 (leaked).
constexpr int shared_counts = 1024;
PyObject *count_floats[shared_counts] = {};

nb::object count_float(double value) {
    if (value >= 0.0 && value < (double) shared_counts && !std::signbit(value)) {
        int whole = (int) value;
        if ((double) whole == value) {
            PyObject *&shared = count_floats[whole];
            if (!shared)
                shared = host::leak(nb::float_(value));
            return nb::borrow(shared);
        }
    }
    PyObject *result = PyFloat_FromDouble(value);
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// A numpy int64 column is read in place: `float(cell)` of each cell is the
// int64 value rounded to the nearest double, which the C++ conversion gives.
struct OptionalFloats::Int64View {
    nb::object array;
    Py_buffer view;
    const char *data = nullptr;
    Py_ssize_t stride = 8;
    size_t size = 0;

    explicit Int64View(nb::handle series) {
        array = series.attr("to_numpy")();
        if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_RECORDS_RO) != 0)
            throw nb::python_error();
        bool ok = view.ndim == 1 && view.itemsize == 8 && view.format &&
                  (std::string(view.format) == "l" || std::string(view.format) == "q");
        if (!ok) {
            PyBuffer_Release(&view);
            host::raise(PyExc_TypeError, host::text("expected an int64 column, got ",
                                                    host::Repr{array}));
        }
        data = static_cast<const char *>(view.buf);
        stride = view.strides ? view.strides[0] : 8;
        size = (size_t) view.shape[0];
    }
    ~Int64View() { PyBuffer_Release(&view); }
    long long operator[](size_t row) const {
        return *reinterpret_cast<const long long *>(data + (Py_ssize_t) row * stride);
    }
};

OptionalFloats::OptionalFloats(nb::handle series) {
    if (nb::str(series.attr("dtype")).equal(nb::str("int64")))
        ints_ = std::make_unique<Int64View>(series);
    else if (is_real_numeric(series))
        values_ = std::make_unique<Float64Column>(series);
    else
        cells_ = cells(series);
}

OptionalFloats::~OptionalFloats() = default;
OptionalFloats::OptionalFloats(OptionalFloats &&) noexcept = default;

nb::object OptionalFloats::operator()(size_t row) const {
    if (ints_)
        return count_float((double) (*ints_)[row]);
    if (values_) {
        double v = (*values_)[row];
        if (std::isnan(v))
            return nb::none();
        return count_float(v);
    }
    return optional_float(cells_[row]);
}

size_t OptionalFloats::size() const {
    if (ints_)
        return ints_->size;
    if (values_)
        return values_->size();
    return nb::len(cells_);
}

bool OptionalFloats::missing(size_t row) const {
    if (ints_)
        return false;
    if (values_)
        return std::isnan((*values_)[row]);
    return optional_float(cells_[row]).is_none();
}

// Rows per block of CellBlocks: small beside a large table, large beside the
// cost of one slice.
constexpr size_t block_rows = 16384;

CellBlocks::CellBlocks(nb::handle series)
    : iloc_(series.attr("iloc")), size_(nb::len(series)) {}

PyObject *CellBlocks::operator[](size_t row) {
    if (row < begin_ || row >= end_) {
        begin_ = row;
        end_ = row + block_rows < size_ ? row + block_rows : size_;
        nb::object block = iloc_[nb::slice(nb::int_(begin_), nb::int_(end_), nb::none())];
        block_ = block.attr("tolist")();
        if (!PyList_CheckExact(block_.ptr()) || (size_t) PyList_Size(block_.ptr()) != end_ - begin_)
            host::raise(PyExc_TypeError, host::text("unexpected cells of a column block: ",
                                                    host::Repr{block_}));
    }
    return PyList_GetItem(block_.ptr(), (Py_ssize_t) (row - begin_));
}

RecordMaker::RecordMaker(nb::handle cls, std::vector<const char *> fields)
    : cls_(nb::borrow(cls)), no_args_() {
    if (nb::hasattr(cls, "__post_init__"))
        host::raise(PyExc_TypeError,
                    host::text("RecordMaker cannot build ", host::Repr{cls},
                               ": its __init__ runs __post_init__"));
    new_ = (newfunc) PyType_GetSlot((PyTypeObject *) cls.ptr(), Py_tp_new);
    if (!new_)
        throw nb::python_error();
    for (const char *name : fields) {
        PyObject *s = PyUnicode_InternFromString(name);
        if (!s)
            throw nb::python_error();
        names_.push_back(nb::steal(s));
        offsets_.push_back(host::slot_offset(cls, name));
    }
}

nb::object RecordMaker::make(const nb::object *values) const {
    nb::object obj = nb::steal(new_((PyTypeObject *) cls_.ptr(), no_args_.ptr(), nullptr));
    if (!obj.is_valid())
        throw nb::python_error();
    for (size_t i = 0; i < names_.size(); ++i) {
        if (offsets_[i] >= 0) {
            // A new instance's slots are empty: the slot takes the reference.
            PyObject **slot = (PyObject **) ((char *) obj.ptr() + offsets_[i]);
            *slot = values[i].inc_ref().ptr();
        } else if (PyObject_GenericSetAttr(obj.ptr(), names_[i].ptr(), values[i].ptr()) != 0) {
            throw nb::python_error();
        }
    }
    return obj;
}

WeekIndexer::WeekIndexer(nb::handle weather) : weather_(nb::borrow(weather)) {}

nb::object WeekIndexer::week_of(nb::handle date) {
    // A spare slot in front, so that the callee may use args[-1].
    PyObject *args[3] = {nullptr, weather_.ptr(), date.ptr()};
    PyObject *week = PyObject_VectorcallMethod(cache.s_week_index_for_date, args + 1,
                                               2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!week)
        throw nb::python_error();
    nb::object result = nb::steal(week);
    long long value = 0;
    bool exact_int = false;
    if (PyLong_CheckExact(result.ptr())) {
        int overflow = 0;
        value = PyLong_AsLongLongAndOverflow(result.ptr(), &overflow);
        exact_int = overflow == 0;
        if (value == -1 && PyErr_Occurred())
            throw nb::python_error();
    }
    if (exact_int && previous_.is_valid() && value == previous_value_)
        result = previous_;
    if (exact_int) {
        previous_ = result;
        previous_value_ = value;
    } else {
        previous_ = nb::object();
    }
    if (ints_only_ && exact_int) {
        if (!least_.is_valid()) {
            least_ = greatest_ = result;
            least_value_ = greatest_value_ = value;
        } else if (value < least_value_) {
            least_ = result;
            least_value_ = value;
        } else if (value > greatest_value_) {
            greatest_ = result;
            greatest_value_ = value;
        }
        return result;
    }
    ints_only_ = false;
    weeks_.append(result);
    return result;
}

namespace {

// `fn(weeks)`, the weeks being `head` (when there is one) followed by `rest`.
nb::object over_weeks(PyObject *fn, const nb::object &head, const nb::list &rest) {
    if (!head.is_valid() && nb::len(rest) == 0)
        return nb::none();
    nb::list all;
    if (head.is_valid())
        all.append(head);
    for (nb::handle week : rest)
        all.append(week);
    return h(fn)(all);
}

}  // namespace

nb::object WeekIndexer::first_week() const { return over_weeks(cache.min, least_, weeks_); }

nb::object WeekIndexer::last_week() const { return over_weeks(cache.max, greatest_, weeks_); }

nb::object week_is_covered(nb::handle self, nb::handle week_index) {
    nb::object first = self.attr("_first_week");
    if (first.is_none())
        return nb::bool_(false);
    nb::object low = nb::steal(PyObject_RichCompare(first.ptr(), week_index.ptr(), Py_LE));
    if (!low.is_valid())
        throw nb::python_error();
    if (!truth(low))
        return low;
    nb::object last = self.attr("_last_week");
    nb::object high = nb::steal(PyObject_RichCompare(week_index.ptr(), last.ptr(), Py_LE));
    if (!high.is_valid())
        throw nb::python_error();
    return high;
}

nb::object data_from_read(nb::handle read_result_cls, nb::handle cls, nb::handle result,
                          nb::handle weather) {
    nb::object data = cls(result.attr("data"), weather);
    return read_result_cls(nb::arg("data") = data, nb::arg("notices") = result.attr("notices"));
}

void require_rows(const char *label, size_t size, const char *reference, size_t rows) {
    if (size != rows)
        host::raise(PyExc_ValueError,
                    host::text("column ", host::Repr{nb::str(label)}, " holds ",
                               host::Str{nb::int_(size)}, " row(s) where column ",
                               host::Repr{nb::str(reference)}, " holds ",
                               host::Str{nb::int_(rows)}, "; expected the columns of one table"));
}

void set_attr(nb::handle obj, const char *name, nb::handle value) {
    if (PyObject_SetAttrString(obj.ptr(), name, value.ptr()) != 0)
        throw nb::python_error();
}

}  // namespace frames
