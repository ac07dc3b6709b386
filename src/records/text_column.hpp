// A column of text cells read in C++ without a host object per cell: from
// the Arrow buffers of a pyarrow-backed string column (what read_csv gives
// under pandas' string inference), or from the UTF-8 of the str objects of an
// object column.
#pragma once

#include "records/pandas.hpp"

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace records {

namespace nb = nanobind;

class TextColumn {
  public:
    // False (and the column unusable) when a cell is neither text nor missing
    // (None, NaN, NA), or the series is no column of text.
    bool open(const Pandas &pd, nb::handle series);
    ~TextColumn();
    TextColumn();
    TextColumn(const TextColumn &) = delete;
    TextColumn &operator=(const TextColumn &) = delete;

    size_t size() const { return size_; }
    bool missing(size_t row) const;
    // The cell's UTF-8 (empty for a missing cell).
    std::string_view operator[](size_t row) const;
    // True when missing cells of an object column are not all None or all
    // float NaN: pandas tells such kinds apart in some comparisons.
    bool mixed_missing() const { return mixed_missing_; }

  private:
    struct Chunk;
    size_t size_ = 0;
    // Arrow: the chunks, with the first row of each.
    std::vector<std::unique_ptr<Chunk>> chunks_;
    std::vector<size_t> starts_;
    // Objects: the cells' UTF-8 (views into the str objects, kept alive by
    // the list of cells).
    nb::object cells_;
    std::vector<std::string_view> views_;
    std::vector<bool> missing_;
    bool mixed_missing_ = false;
    const Chunk &chunk_of(size_t row, size_t &at) const;
};

}  // namespace records
