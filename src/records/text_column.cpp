#include "records/text_column.hpp"

#include "host/host.hpp"
#include "records/columns.hpp"

#include <cmath>
#include <cstring>

namespace records {

namespace {

// A contiguous view of a pyarrow buffer (none for an absent buffer).
struct BufferView {
    Py_buffer view{};
    bool held = false;
    const uint8_t *data = nullptr;

    void open(nb::handle buffer) {
        if (buffer.is_none())
            return;
        if (PyObject_GetBuffer(buffer.ptr(), &view, PyBUF_SIMPLE) != 0)
            throw nb::python_error();
        held = true;
        data = static_cast<const uint8_t *>(view.buf);
    }
    ~BufferView() {
        if (held)
            PyBuffer_Release(&view);
    }
};

}  // namespace

// One chunk's array and views of its buffers.
struct TextColumn::Buffers {
    nb::object array;
    BufferView validity, offsets, data;
};

TextColumn::TextColumn() = default;
TextColumn::~TextColumn() = default;

bool TextColumn::open(const Pandas &pd, nb::handle series, bool buffers_only) {
    nb::object dtype = series.attr("dtype");
    size_ = length(series);
    nb::object storage = nb::getattr(dtype, "storage", nb::none());
    if (nb::isinstance(dtype, pd.string_dtype.get()) && !storage.is_none() &&
        std::string(host::str(storage).c_str()) == "pyarrow") {
        nb::object pa = host::import("pyarrow");
        nb::object array = pa.attr("array")(series);
        nb::list chunks;
        if (nb::hasattr(array, "chunks"))
            chunks = host::as_list(array.attr("chunks"));
        else
            chunks.append(array);
        size_t start = 0;
        for (nb::handle chunk : chunks) {
            std::string type = host::str(chunk.attr("type")).c_str();
            if (type != "string" && type != "large_string" && type != "utf8" &&
                type != "large_utf8") {
                spans_.clear();
                return false;
            }
            auto b = std::make_unique<Buffers>();
            b->array = nb::borrow(chunk);
            nb::list buffers = host::as_list(chunk.attr("buffers")());
            b->validity.open(buffers[0]);
            b->offsets.open(buffers[1]);
            b->data.open(buffers[2]);
            Span span;
            span.validity = b->validity.data;
            span.offsets = b->offsets.data;
            span.data = reinterpret_cast<const char *>(b->data.data);
            span.offset = nb::cast<size_t>(chunk.attr("offset"));
            span.start = start;
            span.length = length(chunk);
            span.large = type.rfind("large", 0) == 0;
            start += span.length;
            spans_.push_back(span);
            buffers_.push_back(std::move(b));
        }
        if (start != size_)
            spans_.clear();
        return start == size_;
    }
    if (buffers_only)
        return false;
    // Cells as objects: text, or missing.
    cells_ = cells(series);
    views_.resize(size_);
    missing_.assign(size_, false);
    int missing_kind = 0;  // 1: None, 2: float NaN, 3: another
    auto saw_missing = [&](int kind) {
        mixed_missing_ = mixed_missing_ || kind == 3 || (missing_kind && kind != missing_kind);
        missing_kind = kind;
    };
    for (size_t i = 0; i < size_; ++i) {
        PyObject *cell = PyList_GetItem(cells_.ptr(), (Py_ssize_t) i);
        if (PyUnicode_Check(cell)) {
            Py_ssize_t n = 0;
            const char *utf8 = PyUnicode_AsUTF8AndSize(cell, &n);
            if (!utf8) {  // lone surrogates: not text we read
                PyErr_Clear();
                return false;
            }
            views_[i] = std::string_view(utf8, (size_t) n);
        } else if (cell == Py_None) {
            missing_[i] = true;
            saw_missing(1);
        } else if (PyFloat_CheckExact(cell) && std::isnan(PyFloat_AsDouble(cell))) {
            missing_[i] = true;
            saw_missing(2);
        } else if (host::is_missing(cell)) {
            missing_[i] = true;
            saw_missing(3);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace records
