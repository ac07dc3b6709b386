// The checks of a reader as named rules, run two ways.
//
// Each check of a reader is one rule: its name, the column it is about, the
// rows that fail it, and the reader's message.  A read runs the rules in the
// reader's order and raises the first failure with the reader's error
// (`Checks::first_failure`); the farm check runs every rule that can still
// run and keeps every failure (`Checks::every_failure`).  Either way the
// rule is computed by the same code.
#pragma once

#include "records/catalogue.hpp"
#include "records/load.hpp"
#include "records/pandas.hpp"
#include "records/rows.hpp"

#include <functional>
#include <string>
#include <vector>

namespace records {

namespace nb = nanobind;

struct Failure {
    Rule rule;             // the rule that fails
    nb::object column;     // the label the rule is about; None for the whole file
    Rows rows;             // the failing rows; empty when the rule is about the file
    nb::object message;    // the reader's error text
    nb::object error_cls;  // the reader's error class
    nb::object cause;      // the error the failure stems from (raised from it), or empty
};

class Checks {
  public:
    static Checks first_failure() { return Checks(false); }
    static Checks every_failure() { return Checks(true); }

    // True when every failure is kept (the farm check).
    bool collecting() const { return collect_; }

    // A failed rule: raised at once with its error class (from its cause,
    // when it has one) when reading; kept when checking.
    void fail(Failure failure);

    // The number of failures kept, and the failures.
    size_t count() const { return failures_.size(); }
    const std::vector<Failure> &failures() const { return failures_; }

  private:
    explicit Checks(bool collect) : collect_(collect) {}
    bool collect_;
    std::vector<Failure> failures_;
};

// What a farm does to a loaded table before the rules run: the table it
// gives the rules (keeping `source.lines`, the line of each row, in step
// with the rows it keeps).
using Prepare = std::function<nb::object(nb::handle table, TableSource &source)>;

// What a farm says of a file besides the readers' own defaults: where its
// table stands and how it is decoded, and what it does to the table before
// the rules run.
struct Declarations {
    LoadOptions load;
    Prepare prepare;
};

// How a farm reads a record file besides the readers' own defaults:
// its own labels of our columns (`renames`: file label -> our label),
// whether its dates are written day first, and what it does to the table.
struct Options {
    nb::object renames;  // a dict, or empty
    bool dayfirst = false;
    Declarations declared;  // its prepare, when set, after the renames
    TableSource source;  // filled by the load
    nb::list labels;     // the header's labels as the file writes them (before renames)
    nb::object dates;    // dated files: each row's calendar date, for the farm's weeks
    nb::object tags;     // the production file: each row's canonical tag
};

// The table of a checked read: `_read_table` as the reader module names it
// (`read_table`, with `text_columns` when not empty) when reading; the
// loader itself, recording where the rows stand, and renaming the farm's
// labels, when checking.
nb::object load_for(Checks &checks, Options *options, nb::handle read_table, nb::handle path,
                    nb::handle text_columns);

// The required-column rule: `require(table, list(labels), context=...,
// error_cls=...)`, the reader's `_require_columns` as looked up at call
// time.  Returns the labels that are present (all of them when reading).
nb::list require_columns_rule(Checks &checks, nb::handle require, nb::handle table,
                              nb::handle labels, nb::handle context, nb::handle error_cls);

// The date rule: parse_dates(pd, series, options); a ValueError or TypeError
// is the failure Rule::date_parse with the readers' date-parse message (its rows
// the cells that do not parse), and the parsed dates are then empty.
nb::object dates_rule(Checks &checks, const Pandas &pd, nb::handle series, nb::handle label,
                      nb::handle path, nb::handle error_cls, const char *hint,
                      nb::handle options);

// The rows of a date column that the parser does not read (present cells
// that come out missing when the parser coerces).
Rows unparsed_rows(const Pandas &pd, nb::handle series, nb::handle options);

// The dates of a column as the parser reads them when it coerces what it
// cannot read to missing: parse_dates' rules, cell by cell.
nb::object coerced_dates(const Pandas &pd, nb::handle series, nb::handle options);

// The negative-count rule: "column <repr> contains negative value(s) at
// row(s) <rows> in <path>; expected non-negative counts".
void counts_rule(Checks &checks, nb::handle error_cls, nb::handle table, nb::handle column,
                 const Float64Values &values, nb::handle path);

// The farm options of a check: the file's labels of our columns (a
// mapping of ours to the file's, or None) and whether its dates are written
// day first.
Options options_of(nb::handle columns, nb::handle dayfirst);

}  // namespace records
