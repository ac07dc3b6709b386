// Loading a record file into a table, as farm offices and weather services
// write them: delimited text with a preamble of metadata lines before the
// header, Windows-1252 exports, padded header labels, Excel sheets, parquet.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace records {

namespace nb = nanobind;

// Where the rows of a loaded table stand in their file.
struct TableSource {
    enum Kind { delimited, excel, parquet };
    Kind kind = delimited;
    // The 1-based line of the header (delimited text) or its sheet row
    // (Excel); 0 for parquet.
    size_t header_line = 0;
    // The lines (1-based, inclusive; 0 when none) skipped above the header
    // and after the table.
    size_t preamble_first = 0, preamble_last = 0;
    size_t notes_first = 0, notes_last = 0;
    char separator = ',';
    std::string encoding = "utf-8-sig";
};

// `_read_table(path, text_columns)`: by the file's suffix -- .xlsx/.xlsm/.xls
// through pandas.read_excel (extra "excel"), .parquet through
// pandas.read_parquet (extra "parquet"), anything else as delimited text.
//
// Delimited text: UTF-8 with or without a byte-order mark, or Windows-1252
// when the bytes are not UTF-8; the separator and the header are found from
// the file's first lines (see find_layout in load.cpp): the header is the
// first line of the file's table -- metadata lines before it (a title, blank
// lines, "key,value" lines) are skipped --, the separator the one of , ; tab
// | that makes the longest table.  Blanks after a separator are skipped.
// Excel: the header row is found the same way among the sheet's rows.
//
// Header labels are stripped of surrounding blanks; two labels made equal by
// it raise ValueError naming both columns.  Columns named in text_columns
// are read as text, their empty cells missing.  The index is a 0-based
// RangeIndex.  Errors of opening and parsing keep their type and message and
// gain a note naming the file (and the line, where the parser names one).
// `source`, when given, receives where the rows stand in the file.
nb::object read_table(nb::handle path, nb::handle text_columns, TableSource *source = nullptr);

// The line (delimited text: 1-based, as an editor shows it, with the blank
// lines that the reader skips skipped here too and a quoted field allowed to
// span lines) or sheet row (Excel) of each of the first `rows` data rows of
// a table read_table loaded; empty for parquet.
std::vector<size_t> row_lines(nb::handle path, const TableSource &source, size_t rows);

}  // namespace records
