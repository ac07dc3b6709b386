// A column of text cells read in C++ without a host object per cell: from
// the Arrow buffers of a pyarrow-backed string column (what read_csv gives
// under pandas' string inference), or from the UTF-8 of the str objects of an
// object column.
#pragma once

#include "records/pandas.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace records {

namespace nb = nanobind;

class TextColumn {
  public:
    // False (and the column unusable) when a cell is neither text nor missing
    // (None, NaN, NA), or the series is no column of text; with
    // `buffers_only`, also when the column is not held in Arrow buffers (its
    // cells are then not read at all).
    bool open(const Pandas &pd, nb::handle series, bool buffers_only = false);
    ~TextColumn();
    TextColumn();
    TextColumn(const TextColumn &) = delete;
    TextColumn &operator=(const TextColumn &) = delete;

    size_t size() const { return size_; }
    bool missing(size_t row) const {
        if (spans_.empty())
            return missing_[row];
        const Span &s = span_of(row);
        return s.missing(row - s.start);
    }
    // The cell's UTF-8 (empty for a missing cell).
    std::string_view operator[](size_t row) const {
        if (spans_.empty())
            return views_[row];
        const Span &s = span_of(row);
        size_t at = row - s.start;
        return s.missing(at) ? std::string_view() : s.at(at);
    }
    // True when missing cells of an object column are not all None or all
    // float NaN: pandas tells such kinds apart in some comparisons.
    bool mixed_missing() const { return mixed_missing_; }

  private:
    // The buffers of one Arrow chunk (held by `arrays_`): validity bitmap
    // (null when none is missing), 32- or 64-bit offsets, the UTF-8 bytes.
    struct Span {
        const uint8_t *validity = nullptr;
        const uint8_t *offsets = nullptr;
        const char *data = nullptr;
        size_t offset = 0, start = 0, length = 0;
        bool large = false;

        bool missing(size_t i) const {
            size_t bit = offset + i;
            return validity && !((validity[bit >> 3] >> (bit & 7)) & 1);
        }
        std::string_view at(size_t i) const {
            size_t k = offset + i;
            int64_t begin, end;
            if (large) {
                std::memcpy(&begin, offsets + 8 * k, 8);
                std::memcpy(&end, offsets + 8 * (k + 1), 8);
            } else {
                int32_t b, e;
                std::memcpy(&b, offsets + 4 * k, 4);
                std::memcpy(&e, offsets + 4 * (k + 1), 4);
                begin = b;
                end = e;
            }
            return std::string_view(data + begin, (size_t) (end - begin));
        }
    };
    struct Buffers;

    const Span &span_of(size_t row) const {
        size_t k = spans_.size() - 1;
        while (spans_[k].start > row)  // one chunk, mostly
            --k;
        return spans_[k];
    }

    size_t size_ = 0;
    // Arrow: a span per chunk, and the buffer views that keep them valid.
    std::vector<Span> spans_;
    std::vector<std::unique_ptr<Buffers>> buffers_;
    // Objects: the cells' UTF-8 (views into the str objects, kept alive by
    // the list of cells).
    nb::object cells_;
    std::vector<std::string_view> views_;
    std::vector<bool> missing_;
    bool mixed_missing_ = false;
};

}  // namespace records
