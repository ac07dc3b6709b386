// Rows whose key cells equal another row's, found by hashing in C++.
#pragma once

#include "records/rows.hpp"
#include "records/text_column.hpp"

#include <optional>
#include <vector>

namespace records {

namespace nb = nanobind;

// The positions of the rows whose cells in every one of `columns` (series of
// one table) equal those of another row: what
// `table.duplicated(subset=..., keep=False)` marks.  Missing cells (None,
// NaN, NA, NaT) equal one another and nothing else; text compares by its
// characters, numbers by value.  Read in C++ when every column is text
// (see TextColumn), int64 or float64; nullopt otherwise, and the host's
// `duplicated` decides.
std::optional<Rows> duplicate_rows(const Pandas &pd, const std::vector<nb::object> &columns);

// The codes of a text column's cells: equal text, equal code, from 1 in the
// order of first appearance; a missing cell 0.  `count` is one more than the
// greatest code.
std::vector<uint32_t> text_codes(const TextColumn &text, uint32_t &count);

// `series.drop_duplicates().tolist()`: each distinct cell once, in the order
// of first appearance (a missing cell as the column holds it); coded in C++
// for a column of Arrow buffers.
nb::list distinct_cells(const Pandas &pd, nb::handle series);

// duplicate_rows, or the host's `table.duplicated(subset=labels, keep=False)`
// when a column is of another kind.
Rows duplicate_rows(const Pandas &pd, nb::handle table, std::initializer_list<const char *> labels);

}  // namespace records
