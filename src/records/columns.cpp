#include "records/columns.hpp"

#include "host/capi.hpp"
#include "host/host.hpp"

#include <cmath>
#include <stdexcept>

namespace records {

nb::object column(const Pandas &pd, nb::handle table, nb::handle label) {
    nb::object result = table[label];
    if (nb::isinstance(result, pd.data_frame.get()))
        host::raise(PyExc_ValueError,
                    host::text("the table has ", host::Str{nb::int_(length(result.attr("columns")))},
                               " columns labelled ", host::Repr{label},
                               "; expected one column per label"));
    return result;
}

bool has_column(nb::handle table, nb::handle label) {
    return host::contains(table.attr("columns"), label);
}

size_t length(nb::handle obj) {
    Py_ssize_t n = PyObject_Size(obj.ptr());
    if (n < 0)
        throw nb::python_error();
    return (size_t) n;
}

std::string dtype_name(nb::handle series) {
    nb::str name = host::str(series.attr("dtype"));
    const char *text = PyUnicode_AsUTF8AndSize(name.ptr(), nullptr);
    if (!text)
        throw nb::python_error();
    return text;
}

nb::object to_numeric(const Pandas &pd, nb::handle series) {
    // A column of numpy numbers converts to itself (the host makes a copy).
    std::string dtype = dtype_name(series);
    if (dtype == "float64" || dtype == "int64")
        return nb::borrow(series);
    return pd.to_numeric.get()(series, nb::arg("errors") = "coerce");
}

nb::object nan_column(const Pandas &pd, nb::handle index) {
    return pd.series.get()(pd.nan.get(), nb::arg("index") = index);
}

bool is_real_numeric(const Pandas &pd, nb::handle series) {
    nb::object dtype = series.attr("dtype");
    return host::truth(pd.is_numeric_dtype.get()(dtype)) &&
           !host::truth(pd.is_complex_dtype.get()(dtype));
}

// ---------------------------------------------------------------------------
// Buffers

namespace {

// A format of one 8-byte item in native byte order, among `codes`.
bool native_format(const char *format, const char *codes) {
    if (!format)
        return false;
    constexpr bool little = (PY_LITTLE_ENDIAN != 0);
    if (*format == '@' || *format == '=' || (*format == '<' && little) ||
        ((*format == '>' || *format == '!') && !little))
        ++format;
    return format[0] != '\0' && format[1] == '\0' && std::strchr(codes, format[0]) != nullptr;
}

}  // namespace

bool BufferValues::open(nb::handle array, const char *codes) {
    if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_RECORDS_RO) != 0)
        throw nb::python_error();
    if (view_.ndim != 1 || view_.itemsize != 8 || !native_format(view_.format, codes)) {
        PyBuffer_Release(&view_);
        return false;
    }
    held_ = true;
    array_ = nb::borrow(array);
    data_ = static_cast<const char *>(view_.buf);
    stride_ = view_.strides ? view_.strides[0] : 8;
    size_ = (size_t) view_.shape[0];
    return true;
}

BufferValues::~BufferValues() {
    if (held_)
        PyBuffer_Release(&view_);
}

Float64Values::Float64Values(const Pandas &pd, nb::handle series) {
    // A float64 column is read in place: its missing cells are NaN already.
    nb::object array =
        dtype_name(series) == "float64"
            ? series.attr("to_numpy")()
            : series.attr("to_numpy")(nb::arg("dtype") = "float64", nb::arg("na_value") = pd.nan.get());
    if (!values_.open(array, "d"))
        host::raise(PyExc_TypeError, host::text("expected a one-dimensional float64 column, got ",
                                                host::Repr{array}));
}

Int64Values::Int64Values(nb::handle series) {
    nb::object array = series.attr("to_numpy")();
    if (values_.open(array, "lq"))
        return;
    // Not the column's own int64 buffer in native byte order: a copy that is.
    array = series.attr("to_numpy")(nb::arg("dtype") = "int64");
    if (!values_.open(array, "lq"))
        host::raise(PyExc_TypeError,
                    host::text("expected a one-dimensional int64 column, got ", host::Repr{array}));
}

// ---------------------------------------------------------------------------
// Cells

nb::list cells(nb::handle series) { return nb::list(series.attr("tolist")()); }

// Rows per block of CellBlocks: small beside a large table, large beside the
// cost of one slice.
constexpr size_t block_rows = 16384;

CellBlocks::CellBlocks(nb::handle series) : iloc_(series.attr("iloc")), size_(length(series)) {}

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

nb::object optional_float(const Pandas &pd, nb::handle value) {
    PyObject *o = value.ptr();
    if (o == Py_None)
        return nb::none();
    if (PyFloat_CheckExact(o))
        return std::isnan(PyFloat_AsDouble(o)) ? nb::none() : nb::borrow(value);
    if (!PyLong_CheckExact(o) && host::truth(pd.isna.get()(value)))
        return nb::none();
    return host::call((PyObject *) &PyFloat_Type, value);
}

OptionalFloats::OptionalFloats(const Pandas &pd, host::SharedFloats &shared, nb::handle series)
    : pd_(&pd), shared_(&shared) {
    std::string dtype = dtype_name(series);
    if (dtype == "int64")
        ints_ = std::make_unique<Int64Values>(series);
    else if (is_real_numeric(pd, series))
        floats_ = std::make_unique<Float64Values>(pd, series);
    else
        cells_ = cells(series);
}

PyObject *OptionalFloats::cell_new_ref(size_t row) const {
    return optional_float(*pd_, cells_[row]).release().ptr();
}

size_t OptionalFloats::size() const {
    if (ints_)
        return ints_->size();
    if (floats_)
        return floats_->size();
    return length(cells_);
}

nb::object numpy_array(const void *data, size_t count, size_t item_size, const char *dtype) {
    nb::object array = host::from_import("numpy", "empty")(nb::int_(count), nb::arg("dtype") = dtype);
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0)
        throw nb::python_error();
    if ((size_t) view.len != count * item_size) {
        PyBuffer_Release(&view);
        throw std::invalid_argument("numpy_array: item size does not match the dtype");
    }
    if (count)
        std::memcpy(view.buf, data, count * item_size);
    PyBuffer_Release(&view);
    return array;
}

// ---------------------------------------------------------------------------
// Frames

nb::object frame(const Pandas &pd,
                 std::initializer_list<std::pair<const char *, nb::handle>> columns,
                 bool copy) {
    nb::dict mapping;
    for (const auto &[label, column] : columns)
        mapping[label] = column;
    if (copy)
        return pd.data_frame.get()(mapping);
    return pd.data_frame.get()(mapping, nb::arg("copy") = false);
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

}  // namespace records
