// One record file through its reader's rules: the steps of each reader as
// typed functions that the reader module (its `read`) and the farm check
// (every rule, its own column labels, where the rows stand) both call.
//
// Each file kind has its own header beside this one:
//   weather.hpp     the weather file (a ColumnMap's date and signal columns)
//   inventory.hpp   the population inventory
//   production.hpp  the ribbon production file
//   selection.hpp   the sucker selection file
// Each offers `publish_<kind>_names(put)`, the module names its steps look up
// at call time (the reader module publishes them as its globals; the farm
// check keeps them in a namespace of its own), and `check_<kind>_file(...)`,
// every rule of one file as a CheckedFile.
#pragma once

#include "records/load.hpp"
#include "records/reader.hpp"
#include "records/rules.hpp"

#include <functional>
#include <vector>

namespace records {

namespace nb = nanobind;

// What a reader's rules found in one file.
struct CheckedFile {
    nb::object data;                // what read would return as data; empty when a rule failed
    nb::object notices;             // the read's NoticeLog
    nb::object table;               // as loaded, the farm's labels renamed to ours; empty
                                    // when the file did not load
    TableSource source;             // where the table's rows stand in the file
    nb::list labels;                // the header's labels as the file writes them
    std::vector<Failure> failures;  // every failed rule, in the reader's order
    nb::object dates;               // dated files: each row's calendar date (or missing)
    nb::object tags;                // the production file: each row's canonical tag
};

// How a module publishes a name its reader's steps look up.
using Publish = std::function<void(const char *name, nb::handle value)>;

// The names every reader's steps look up, in the order the reader modules
// bind them: the reader's error class `error` (of py_zelka.exceptions),
// Notice and NoticeKind (when the reader records notices), NoticeLog,
// ReadResult, then _common's _normalize_tag (when the reader normalises
// tags), _read_table and _require_columns.
void publish_common_names(const Publish &put, const char *error, bool normalize_tag,
                          bool notices = false);

// The date rule of a record file's column "date": the dates parsed (day
// first when the options say so), empty when they do not parse; in a farm
// check (`options` given) each row's calendar date too, in options->dates,
// those the parser cannot read missing.
nb::object date_rule(ReaderState &s, Checks &checks, Options *options, nb::handle table,
                     nb::handle path, nb::handle error_cls, const char *hint);

// The CheckedFile of a farm check's run: the checks' failures, the data, a
// notice log (new when none is given), the loaded table and what the
// options found out.
CheckedFile checked_file(ReaderState &s, Checks &checks, nb::handle data, nb::handle table,
                         Options &options, nb::handle notices = nb::handle());

}  // namespace records
