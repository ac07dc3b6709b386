// Ribbon tags: the canonical label of a tag cell.
#pragma once

#include "records/pandas.hpp"

namespace records {

namespace nb = nanobind;

// The canonical ribbon tag label of one cell: a missing cell (pandas'
// missing-value test) or a blank one gives "", anything else
// `str(raw).strip().lower()`.
nb::object normalize_tag(nb::handle raw);

// `series.map(normalize_tag)` of a column with at least one row, computed in
// C++: a new series with the
// series' index holding the canonical labels, with the dtype pandas' `map`
// gives (str under pandas' string inference, object otherwise).
nb::object tag_column(const Pandas &pd, nb::handle series);

// `series.map(normalize)` for a reader's `_normalize_tag` as looked up at
// call time: tag_column when it is `own` (the function _common made), pandas'
// `map` with the replacement otherwise.
nb::object map_tags(const Pandas &pd, nb::handle series, nb::handle normalize, nb::handle own);

}  // namespace records
