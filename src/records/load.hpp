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
    // How the text was decoded: "utf-8", "utf-8-sig" (with a byte-order
    // mark), "utf-16" (with one) or "cp1252" (Windows-1252: no valid UTF-8
    // in the file); for cp1252 the first line holding a byte beyond ASCII,
    // and that byte.
    std::string encoding = "utf-8";
    size_t legacy_line = 0;
    unsigned char legacy_byte = 0;
    // The lines (delimited text) or sheet rows (Excel) left out of the
    // table, 1-based and inclusive, 0 when none: the preamble before the
    // header (titles, "key,value" metadata; from its first non-blank line to
    // its last), and a block of notes after the table ("Notes:", free text
    // after a blank line; Excel: none).
    size_t preamble_first = 0, preamble_last = 0;
    size_t notes_first = 0, notes_last = 0;
    // Excel: the sheet read (its name); empty for other formats.
    std::string sheet;
    // The line (delimited text, 1-based as an editor shows it) or sheet row
    // (Excel) of each row of the table; empty for parquet.
    std::vector<size_t> lines;
};

// What a farm declares of where a file's table stands and how its text is
// decoded, where the evidence would not tell (or tell otherwise).
struct LoadOptions {
    size_t header_line = 0;  // the header's line (sheet row for Excel), 1-based; 0: found
    nb::object sheet;        // Excel: the sheet's name or position; empty: the first
    std::string encoding;    // "utf-8", "cp1252" or "latin-1"; empty: decided on evidence
};

// `_read_table(path, text_columns)`: by the file's suffix -- .xlsx/.xlsm/.xls
// through pandas.read_excel (extra "excel"), .parquet through
// pandas.read_parquet (extra "parquet"), anything else as delimited text.
//
// Delimited text is decoded on the evidence of all its bytes: UTF-8 (with
// or without a byte-order mark) when they are UTF-8; UTF-16 after its
// byte-order mark; Windows-1252 when no byte sequence of the file is UTF-8
// beyond ASCII (what spreadsheet programs on Windows write).  A file that
// holds UTF-8 and bytes that are not (or a byte-order mark and such bytes),
// or a byte Windows-1252 does not define, is a ValueError naming the line
// and the byte; no valid text is ever decoded twice.  The separator is the
// one of , ; tab | that makes the longest table in the file's first
// 256 KiB.  The header is found there on evidence (see load/layout.hpp): a
// record of labels above rows of its width, under a preamble of titles,
// blank lines and "key,value" lines that cannot be rows of the table; a file
// without preamble loads as pandas.read_csv(path, skipinitialspace=True)
// loads it.  Where the evidence does not settle the header (two lines of
// labels right above the rows, as a units line makes; labels again inside
// the body), or lines above the header could be rows of the table, a
// ValueError names the lines.  A block of notes at the end of the file that
// cannot be rows is left out.  "\n", "\r\n" and a lone "\r" all end lines,
// and a line of blanks (form feeds and vertical tabs too) is blank: pandas
// reads exactly the lines of the table, at their lines.  Excel: the header
// row is found the same way among the sheet's rows.
//
// Header labels are stripped of surrounding blanks; two labels made equal by
// it raise ValueError naming both columns.  Columns named in text_columns
// are read as text, only their empty cells missing ("NA" is a tag).  The
// index is a 0-based RangeIndex.  Errors of opening and parsing keep their
// type and message and gain a note naming the file (and the line, where the
// parser names one, kept as the error's attribute `line` too); a first row
// wider than the header, whose extra cells pandas would drop, is a
// ValueError.  `source`, when given, receives where
// the rows stand in the file and what was left out; `options`, when given,
// what is declared of the file: a header's line takes the place of the
// evidence (the lines above it are its preamble), a declared encoding the
// place of the bytes' evidence, a sheet the place of the first.
nb::object read_table(nb::handle path, nb::handle text_columns, TableSource *source = nullptr,
                      const LoadOptions *options = nullptr);

}  // namespace records
