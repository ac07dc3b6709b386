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

// One chunk of an Arrow string or large_string array.
struct TextColumn::Chunk {
    nb::object array;  // keeps the buffers alive
    BufferView validity, offsets, data;
    size_t offset = 0, length = 0;
    bool large = false;

    bool missing(size_t i) const {
        if (!validity.data)
            return false;
        size_t bit = offset + i;
        return !((validity.data[bit >> 3] >> (bit & 7)) & 1);
    }
    std::string_view at(size_t i) const {
        size_t k = offset + i;
        int64_t begin, end;
        if (large) {
            std::memcpy(&begin, offsets.data + 8 * k, 8);
            std::memcpy(&end, offsets.data + 8 * (k + 1), 8);
        } else {
            int32_t b, e;
            std::memcpy(&b, offsets.data + 4 * k, 4);
            std::memcpy(&e, offsets.data + 4 * (k + 1), 4);
            begin = b;
            end = e;
        }
        return std::string_view(reinterpret_cast<const char *>(data.data) + begin,
                                (size_t) (end - begin));
    }
};

TextColumn::TextColumn() = default;
TextColumn::~TextColumn() = default;

bool TextColumn::open(const Pandas &pd, nb::handle series) {
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
                chunks_.clear();
                return false;
            }
            auto c = std::make_unique<Chunk>();
            c->array = nb::borrow(chunk);
            c->large = type.rfind("large", 0) == 0;
            c->offset = nb::cast<size_t>(chunk.attr("offset"));
            c->length = length(chunk);
            nb::list buffers = host::as_list(chunk.attr("buffers")());
            c->validity.open(buffers[0]);
            c->offsets.open(buffers[1]);
            c->data.open(buffers[2]);
            starts_.push_back(start);
            start += c->length;
            chunks_.push_back(std::move(c));
        }
        return start == size_;
    }
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

const TextColumn::Chunk &TextColumn::chunk_of(size_t row, size_t &at) const {
    size_t k = chunks_.size() - 1;
    while (starts_[k] > row)
        --k;
    at = row - starts_[k];
    return *chunks_[k];
}

bool TextColumn::missing(size_t row) const {
    if (chunks_.empty())
        return missing_[row];
    size_t at;
    return chunk_of(row, at).missing(at);
}

std::string_view TextColumn::operator[](size_t row) const {
    if (chunks_.empty())
        return views_[row];
    size_t at;
    const Chunk &c = chunk_of(row, at);
    return c.missing(at) ? std::string_view() : c.at(at);
}

}  // namespace records
