// What the loaders of each format share: the errors they raise at a line,
// the header labels as they strip them, and the readers of delimited text
// and Excel workbooks that load.cpp calls by the file's suffix.
#pragma once

#include "records/load.hpp"
#include "records/load/layout.hpp"

#include <nanobind/nanobind.h>

#include <vector>

namespace records::load {

namespace nb = nanobind;

// A ValueError with its line as the attribute `line` and the note "while
// reading <path>, at line N"; `header`, when given, the lines (1-based) that
// could be the header, as the attribute header_lines (a farm names one in
// farm.yaml's header:).
[[noreturn]] void raise_at(nb::handle path, size_t line, const nb::str &message,
                           const std::vector<size_t> &header = {});

// The header choice's problem as a ValueError at the first line it names;
// `word` is "line" or "row".
[[noreturn]] void raise_problem(nb::handle path, const HeaderChoice &choice, const char *word);

// Adds "while reading <path>[, at line N]" to a loading error that has no
// note yet, N (and the attribute `line`) from pandas' parser message.
void note_error(nb::python_error &error, nb::handle path);

// A header label as exports mean it: text stripped of its padding.
nb::object stripped_text(nb::handle label);

// pandas' reading of a table's text columns: as text (`text_dtype`), only
// their empty cells missing ("NA" is a tag); the other columns keep pandas'
// missing markers.  `columns`: each column's key for pandas, and whether it
// is a text column.  Nothing is set when none is.
void read_text_as_text(nb::dict kwargs, const std::vector<std::pair<nb::object, bool>> &columns,
                       nb::handle text_dtype);

// Two labels that stripping makes equal (written differently) would make one
// label name two columns: a ValueError naming the label and both columns.
void refuse_equal_labels(nb::handle path, nb::handle written, const nb::list &stripped);

// A typed format through its pandas reader; the reader's ImportError (its
// optional library is not installed) becomes one that names our extra.
template <typename Call>
nb::object read_typed(Call &&call, const char *what, const char *extra) {
    try {
        return call();
    } catch (nb::python_error &e) {
        if (!host::error_is(e, PyExc_ImportError))
            throw;
        host::raise_from(PyExc_ImportError,
                         host::text("reading ", what, " files needs an optional dependency (",
                                    host::Str{e.value()}, "); install it with: pip install "
                                    "'py_zelka[", extra, "]'"),
                         e);
    }
}
// The table of a delimited text file (and where it stands in its lines).
nb::object read_delimited(nb::handle pd, nb::handle path, nb::handle text_columns,
                          TableSource &source, bool want_lines, const LoadOptions &options);

// The table of a sheet of an Excel workbook (and where it stands in its rows).
nb::object read_excel(nb::handle pd, nb::handle path, nb::handle text_columns, TableSource &source,
                      bool want_lines, const LoadOptions &options);

}  // namespace records::load
