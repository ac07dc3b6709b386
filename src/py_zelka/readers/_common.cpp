// py_zelka.readers._common -- what the four record-file readers share:
// loading a table from a file, the required-column check and the canonical
// form of a ribbon tag.
#include "host/function.hpp"
#include "host/host.hpp"
#include "records/dates.hpp"
#include "records/duplicates.hpp"
#include "records/load.hpp"
#include "records/pandas.hpp"
#include "records/tags.hpp"

namespace nb = nanobind;

namespace {

// pandas, loaded at the first call that needs it (importing this module
// does not import pandas).
struct State : host::State {
    records::Pandas pd{this};

    const records::Pandas &pandas() {
        if (!pd.module)
            pd.load();
        return pd;
    }
};

nb::object read_table(State &, nb::handle path, nb::handle text_columns) {
    return records::read_table(path, text_columns);
}

void require_columns(State &, nb::handle table, nb::handle columns, nb::handle context,
                     nb::handle error_cls) {
    nb::object present = table.attr("columns");
    nb::list missing;
    for (nb::handle label : columns) {
        int r = PySequence_Contains(present.ptr(), label.ptr());
        if (r < 0)
            throw nb::python_error();
        if (r == 0)
            missing.append(label);
    }
    if (nb::len(missing) == 0)
        return;
    nb::object found = host::from_import("builtins", "list")(present);
    nb::str rest = host::text(" is missing required column(s) ", host::Str{missing},
                              "; found columns ", host::Str{found});
    nb::object message = nb::steal(PyNumber_Add(context.ptr(), rest.ptr()));
    if (!message.is_valid())
        throw nb::python_error();
    host::raise(error_cls, message);
}

nb::object normalize_tag(State &, nb::handle raw) { return records::normalize_tag(raw); }

nb::object parse_dates(State &s, nb::handle series, nb::handle options) {
    return records::parse_dates(s.pandas(), series, options);
}

nb::object duplicate_rows(State &s, nb::handle table, nb::handle subset) {
    const records::Pandas &pd = s.pandas();
    std::vector<nb::object> columns;
    for (nb::handle label : subset)
        columns.push_back(records::column(pd, table, label));
    std::optional<records::Rows> found = records::duplicate_rows(pd, columns);
    if (!found)
        return nb::none();
    nb::list rows;
    for (size_t row : *found)
        rows.append(nb::int_(row));
    return rows;
}

void init(nb::module_ &m, State &s) {
    m.doc() = "Support functions shared by the record-file readers.";

    host::def<&read_table>(
        m, s, "_read_table",
        "(path: str | os.PathLike, text_columns: Iterable[str] = ()) -> pandas.DataFrame",
        "Load a record file into a DataFrame with a 0-based RangeIndex.\n\n"
        "By suffix: .xlsx/.xlsm/.xls through pandas.read_excel (extra 'excel'),\n"
        ".parquet through pandas.read_parquet (extra 'parquet'), anything else as\n"
        "delimited text: UTF-8 with or without a byte-order mark, or Windows-1252\n"
        "when the bytes are not UTF-8.  The header is the first line of the file's\n"
        "table: lines of metadata before it (a title, blank lines, 'key,value'\n"
        "lines) are skipped, in text files and in sheets alike.  The separator is\n"
        "the one of , ; tab | that makes the longest table (comma when none);\n"
        "blanks after a separator are skipped.  Header labels are stripped of\n"
        "surrounding blanks (two labels made equal by it raise ValueError).\n"
        "Columns named in text_columns are read as text; their empty cells stay\n"
        "missing.  Errors of opening and parsing the file keep their type and\n"
        "message and gain a note naming the file and, where known, the line.");
    host::def<&require_columns>(
        m, s, "_require_columns",
        "(table: pandas.DataFrame, columns: list, *, context: str, error_cls: type[Exception])"
        " -> None",
        "Raise error_cls naming the file (context) when any of columns is not a\n"
          "column of table.");
    host::def<&normalize_tag>(
        m, s, "_normalize_tag", "(raw: Any) -> str",
        "The canonical ribbon tag label of a cell: stripped and lower-cased text;\n"
          "a missing or blank cell gives ''.");
    host::def<&parse_dates>(
        m, s, "_parse_dates", "(series: pandas.Series, options: dict | None = None) -> pandas.Series",
        "pandas.to_datetime(series, **options) the way the readers parse a date\n"
        "column: ISO dates (YYYY-MM-DD, with 'T' or a blank and HH:MM[:SS]) and\n"
        "YYYYMMDD numbers are read in C++ to the values, unit and missing cells\n"
        "pandas gives them; any other column goes to pandas.  Numbers must be\n"
        "whole numbers of eight digits; with options {'dayfirst': True}, cells\n"
        "written year first are still read year first.");
    host::def<&duplicate_rows>(
        m, s, "_duplicate_rows", "(table: pandas.DataFrame, subset: list[str]) -> list[int] | None",
        "The positions of the rows that table.duplicated(subset, keep=False)\n"
        "marks, found by hashing in C++; None when a column is not text, int64\n"
        "or float64 (the readers then ask pandas).");
}

}  // namespace

ZELKA_MODULE(_common, State, init)
