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
    char separator = ',';
    std::string encoding = "utf-8-sig";
    // The lines (delimited text) or sheet rows (Excel) left out of the
    // table, 1-based and inclusive, 0 when none: the preamble before the
    // header (titles, "key,value" metadata; from its first non-blank line to
    // its last), and a block of notes after the table ("Notes:", free text
    // after a blank line; Excel: none).
    size_t preamble_first = 0, preamble_last = 0;
    size_t notes_first = 0, notes_last = 0;
};

// `_read_table(path, text_columns)`: by the file's suffix -- .xlsx/.xlsm/.xls
// through pandas.read_excel (extra "excel"), .parquet through
// pandas.read_parquet (extra "parquet"), anything else as delimited text.
//
// Delimited text: UTF-8 with or without a byte-order mark, or Windows-1252
// when the bytes are not UTF-8; the separator is the one of , ; tab | that
// makes the longest table in the file's first 256 KiB.  The header is found
// there on evidence (see choose_header in load.cpp): a record of labels
// above rows of its width, under a preamble of titles, blank lines and
// "key,value" lines that cannot be rows of the table; a file without
// preamble loads as pandas.read_csv(path, skipinitialspace=True) loads it.
// Where the evidence does not settle the header (two lines of labels right
// above the rows, as a units line makes; labels again inside the body) a
// ValueError names the lines.  A block of notes at the end of the file that
// cannot be rows is left out.  Excel: the header row is found the same way
// among the sheet's rows.
//
// Header labels are stripped of surrounding blanks; two labels made equal by
// it raise ValueError naming both columns.  Columns named in text_columns
// are read as text, only their empty cells missing ("NA" is a tag).  The
// index is a 0-based RangeIndex.  Errors of opening and parsing keep their
// type and message and gain a note naming the file (and the line, where the
// parser names one); a first row wider than the header, whose extra cells
// pandas would drop, is a ValueError.  `source`, when given, receives where
// the rows stand in the file and what was left out.
nb::object read_table(nb::handle path, nb::handle text_columns, TableSource *source = nullptr);

// The line (delimited text: 1-based, as an editor shows it, with the blank
// lines that the reader skips skipped here too, a quoted field allowed to
// span lines and "\r\n" or a lone "\r" ending a line) or sheet row (Excel) of each of the first `rows` data rows of
// a table read_table loaded; empty for parquet.
std::vector<size_t> row_lines(nb::handle path, const TableSource &source, size_t rows);

}  // namespace records
