// Columns of a record table: taking one by its label, converting it, reading
// its values in C++ and handing its cells out as host objects.
#pragma once

#include "host/speed.hpp"
#include "records/pandas.hpp"

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace records {

namespace nb = nanobind;

// Python's str.strip() whitespace, for ASCII.
inline bool ascii_space(unsigned char c) {
    return c == ' ' || (c >= 9 && c <= 13) || (c >= 28 && c <= 31);
}

// `table[label]`: the one column of that label.  A label that names several
// columns (two header labels made equal by stripping their blanks, a table
// built with duplicate labels) raises ValueError naming the label.
nb::object column(const Pandas &pd, nb::handle table, nb::handle label);

// `label in table.columns`.
bool has_column(nb::handle table, nb::handle label);

// `len(obj)`.
size_t length(nb::handle obj);

// `str(series.dtype)`, e.g. "float64", "int64", "Int64", "object".
std::string dtype_name(nb::handle series);

// `pd.to_numeric(series, errors="coerce")`: the column as numbers, cells that
// do not convert missing; the series' index and the dtype pandas gives.
nb::object to_numeric(const Pandas &pd, nb::handle series);

// `pd.Series(float("nan"), index=index)`: an all-missing float64 column.
nb::object nan_column(const Pandas &pd, nb::handle index);

// True when the series holds real numbers: a numeric dtype (numpy or
// nullable; bool included), not complex.  Such a series converts to float64
// without losing what a sign or a missing-value test asks of it.
bool is_real_numeric(const Pandas &pd, nb::handle series);

// The values of a one-dimensional numeric array, read through the buffer
// protocol (any stride and alignment: values are copied out, never read in
// place).
class BufferValues {
  public:
    // `codes`: the accepted format characters of an 8-byte item in native
    // byte order ("d" for float64, "lq" for int64).  False when the array is
    // not such a buffer (the view is then not held).
    bool open(nb::handle array, const char *codes);
    ~BufferValues();
    BufferValues() = default;
    BufferValues(const BufferValues &) = delete;
    BufferValues &operator=(const BufferValues &) = delete;

    size_t size() const { return size_; }
    template <typename T>
    T at(size_t row) const {
        T value;
        std::memcpy(&value, data_ + (Py_ssize_t) row * stride_, sizeof value);
        return value;
    }

  private:
    nb::object array_;
    Py_buffer view_{};
    bool held_ = false;
    const char *data_ = nullptr;
    Py_ssize_t stride_ = 8;
    size_t size_ = 0;
};

// A real-numeric column's values as float64:
// `series.to_numpy(dtype="float64", na_value=nan)`; missing cells read as
// NaN.  The series must be numeric (see is_real_numeric, or a result of
// to_numeric); anything else raises the host's conversion error.
class Float64Values {
  public:
    Float64Values(const Pandas &pd, nb::handle series);
    size_t size() const { return values_.size(); }
    double operator[](size_t row) const { return values_.at<double>(row); }

  private:
    BufferValues values_;
};

// An int64 column's own values (its dtype is exactly int64).
class Int64Values {
  public:
    explicit Int64Values(nb::handle series);
    size_t size() const { return values_.size(); }
    long long operator[](size_t row) const { return values_.at<long long>(row); }

  private:
    BufferValues values_;
};

// The cells of a column as a host list (`series.tolist()`: Python scalars for
// numpy dtypes, Timestamps for datetime64, the stored objects otherwise) --
// the same objects iterating the series, or `itertuples`, hands out.
nb::list cells(nb::handle series);

// The cells of a column in row order, taken from the host a block of rows at
// a time (`series.iloc[a:b].tolist()`), so that a long column is never a host
// list of every cell at once.
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

// `None if pd.isna(value) else float(value)`, with fast paths for exact
// float, int and None.
nb::object optional_float(const Pandas &pd, nb::handle value);

// The cells of one column as `float | None`, row by row, the way
// optional_float converts each cell: read in C++ when the column is int64 or
// real-numeric (whole counts as shared float objects), else cell by cell
// through optional_float (a cell that does not convert raises the host's
// error at that row).
class OptionalFloats {
  public:
    OptionalFloats(const Pandas &pd, host::SharedFloats &shared, nb::handle series);
    OptionalFloats(OptionalFloats &&) noexcept = default;
    // True when the values are read in C++ (no host call per cell).
    bool in_cxx() const { return ints_ || floats_; }
    // New reference: a float, or None for a missing cell.
    nb::object operator()(size_t row) const { return nb::steal(new_ref(row)); }
    // The same as a bare new reference.
    PyObject *new_ref(size_t row) const {
        if (ints_)  // float(cell): the int64 value rounded to the nearest double
            return shared_->new_ref((double) (*ints_)[row]);
        if (floats_) {
            double v = (*floats_)[row];
            return std::isnan(v) ? Py_NewRef(Py_None) : shared_->new_ref(v);
        }
        return cell_new_ref(row);
    }
    size_t size() const;

  private:
    // new_ref() of a column read cell by cell.
    PyObject *cell_new_ref(size_t row) const;

    const Pandas *pd_;
    host::SharedFloats *shared_;
    std::unique_ptr<Int64Values> ints_;
    std::unique_ptr<Float64Values> floats_;
    nb::list cells_;
};

// A new one-dimensional numpy array of `dtype` ("int64", "uint32", ...)
// holding a copy of `values`.
nb::object numpy_array(const void *data, size_t count, size_t item_size, const char *dtype);
template <typename T>
nb::object numpy_array(const std::vector<T> &values, const char *dtype) {
    return numpy_array(values.data(), values.size(), sizeof(T), dtype);
}

// `pd.DataFrame({label: column, ...})`, the columns in the order given; the
// columns are series sharing one index, which the frame keeps.  Without
// `copy`, `copy=False`: the frame takes the columns' data as it is (for a
// reader's result, whose loaded table nobody else holds).
nb::object frame(const Pandas &pd,
                 std::initializer_list<std::pair<const char *, nb::handle>> columns,
                 bool copy = true);

// Raises ValueError when the column `label` of a table given as separate
// columns holds `size` cells where the column `reference` holds `rows`: the
// rows of such a table cannot be read together.
void require_rows(const char *label, size_t size, const char *reference, size_t rows);

// `setattr(obj, name, value)`.
void set_attr(nb::handle obj, const char *name, nb::handle value);

}  // namespace records
