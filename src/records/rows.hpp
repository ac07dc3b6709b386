// Rows of a record table that a rule marks, and the row lists of messages.
#pragma once

#include "records/columns.hpp"

#include <vector>

namespace records {

namespace nb = nanobind;

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
Rows negative_rows(const Float64Values &column);

// Rows where a boolean series (a mask such as `duplicated` returns) is true.
Rows true_rows(const Pandas &pd, nb::handle mask);

// The row list of a message: `str(list(table.index[marked]))`, the index
// labels of the marked rows in table order, e.g. "[2, 5]".
nb::str row_list(nb::handle table, const Rows &rows);

}  // namespace records
