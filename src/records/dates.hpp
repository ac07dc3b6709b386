// Date columns of record files: parsing them, the YYYYMMDD and day-first
// rules, and the readers' date-parse error.
#pragma once

#include "records/pandas.hpp"
#include "records/rows.hpp"

#include <cstdint>

namespace records {

namespace nb = nanobind;

// `pd.to_datetime(series, **options)`, with two rules of our own.
//
// Columns that loaded as numbers (real exports write 20180624): pandas would
// count such numbers as nanoseconds since 1970.  For a real-numeric column
// (see is_real_numeric), every present value must be a whole number of
// eight digits and is read as YYYYMMDD (format "%Y%m%d"; options are not
// used); any other number raises ValueError naming it and its position;
// missing cells stay missing (NaT).
//
// A true `dayfirst` option: pandas' day-first preference also turns text
// written year first around (2024-01-05 would read as 1 May).  Cells
// written year first -- YYYY-MM-DD, YYYY/MM/DD, YYYY.MM.DD, optionally
// followed by a time after a blank or "T", and YYYYMMDD -- are read as
// written (the same options with dayfirst false), the rest day first; the
// result has the dtype of the plain day-first parse.
//
// Other columns go to pandas unchanged.  Errors of the parser (ValueError,
// TypeError, ...) propagate.  The result keeps the series' index.
nb::object parse_dates(const Pandas &pd, nb::handle series, nb::handle options = nb::handle());

// Text dates that one reading has scrambled.  Among the text cells written
// in a numeric day-month-year layout -- D/M/YYYY with one separator of "/",
// "-", "." used twice (1 or 2 digits for the first two fields), optionally
// followed by a time after a blank --, the cells that only the other
// reading can read (read month first: a first field above 12; read day
// first: a second field above 12), when another cell of the same separator
// reads both ways (both fields 12 or less and different), so that the
// reading took some cells one way and these the other.  In row order; none
// when every cell reads one way only, or none reads the other way.
Rows contradicting_rows(const Pandas &pd, nb::handle series, bool dayfirst);

// The proleptic Gregorian calendar in whole days since 1970-01-01, as
// numpy's datetime64[D] counts them (H. Hinnant's algorithms).
constexpr int64_t epoch_ordinal = 719163;  // datetime.date(1970, 1, 1).toordinal()

struct Civil {
    int64_t year;
    unsigned month, day;  // 1-12, 1-31
};

int64_t days_from_civil(int64_t y, int64_t m, int64_t d);
Civil civil_from_days(int64_t days);

// `parsed.dt.date`: the calendar date of every timestamp as a
// datetime.date, NaT where the timestamp is missing; a column without any
// timestamp has the dtype pandas' accessor gives it.
nb::object calendar_dates(const Pandas &pd, nb::handle parsed);

}  // namespace records
