// Model weeks of record rows: the provider side of the data objects and the
// questions they answer about the weeks they cover.
#pragma once

#include <nanobind/nanobind.h>

namespace records {

namespace nb = nanobind;

// The provider side of a data object: `weather.week_index_for_date(date)`
// once per row, in the order of the calls; the first and last week are what
// the host's `min` and `max` of all the results give.  While the results are
// exact ints they are compared in C++ as they come (an int's comparisons have
// no side effect and cannot fail, so only the least and the greatest so far
// need keeping -- the first of equal ones, as `min` and `max` keep); from the
// first result of any other type on, the results are kept and `min` and
// `max` run over them (after the least and greatest int so far) at the end,
// exactly as over the whole list.  A result that is an exact int equal to
// the previous row's is replaced by that previous object: consecutive rows
// of one week share one int.  A result that is no whole number (what the
// host's operator.index refuses: text, a float, None; and a bool) raises
// TypeError naming the date and the result, at its row.
class WeekIndexer {
  public:
    explicit WeekIndexer(nb::handle weather);
    // New reference: the provider's week index of the date; TypeError when
    // it is no whole number.
    nb::object week_of(nb::handle date);
    // True when the last result was an exact int within 64 bits, its value
    // then in `value`.
    bool last_exact(long long &value) const {
        value = previous_value_;
        return previous_.is_valid();
    }
    // `min(weeks)` / `max(weeks)`, or None when no row was indexed.
    nb::object first_week() const;
    nb::object last_week() const;

  private:
    // Raises the TypeError above unless operator.index(week) succeeds.
    void require_whole(nb::handle date, nb::handle week) const;

    nb::object weather_;
    nb::object method_name_;
    nb::object previous_;          // the last result, when an exact int
    long long previous_value_ = 0;
    nb::object least_, greatest_;  // of the exact ints while all results are
    long long least_value_ = 0, greatest_value_ = 0;
    bool ints_only_ = true;
    nb::list weeks_;               // from the first other result on
};

// Sets the data object's `_first_week` and `_last_week` to the indexer's
// first_week() and last_week().
void set_week_range(nb::handle self, const WeekIndexer &weeks);

// `week_is_covered(self, week_index)` of a data object whose weeks are the
// attributes `_first_week` and `_last_week` (None when it has no rows):
// False without rows, else `self._first_week <= week_index <=
// self._last_week`, evaluated as the host evaluates the chained comparison
// (its result is that of the last comparison made).
nb::object week_is_covered(nb::handle self, nb::handle week_index);

// What a data class's `from_file` returns once its reader has read:
// `read_result_cls(data=cls(result.data, weather), notices=result.notices)`.
nb::object data_from_read(nb::handle read_result_cls, nb::handle cls, nb::handle result,
                          nb::handle weather);

}  // namespace records
