// Where a table stands among the records of a file: its separator, its
// header, the kinds of its columns, the preamble above it and the notes
// after it.
//
// The header is a record of labels above a body of records of its number of
// fields.  The evidence, from the bottom of the records up:
//  - the table's header is the last record of labels that has data below
//    it and whose width most of those data rows have (rows may be ragged);
//  - its body gives each column a kind: numbers, dates, both (columns of
//    values), or text; a text column remembers the cells its rows hold.  A
//    record of labels with a label in a column of values cannot be a row;
//  - a record could be a row of the table (or one cut short: its first
//    cells only) when each of its cells has its column's kind and it shows
//    it (see Evidence);
//  - records above the header that could be rows, below another header of
//    its width, make the header a row or a second header: an error naming
//    both; a record of labels of the header's width right above it is a
//    second header line (units, a title in two cells): an error naming
//    both; other records above the header that could be rows are rows whose
//    header is missing: an error naming them; the header's labels again
//    inside the body are an error naming both.
// A table without columns of values gives no evidence: its header is the
// first record that its rows' width fits, as pandas reads it; a table
// without rows, the first of its widest records of two labels or more.
//
// Notes after the table ("Notes:", "Quality flag Y means ...") are left out
// only when they cannot be rows: records of labels at the end of the file,
// from a blank line on, or lines of one field each, none of which could be a
// row of the table or one cut short.
#pragma once

#include "records/load/tokens.hpp"

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace records::load {

enum ColumnKind : unsigned char { column_text, column_number, column_date, column_mixed };

struct Columns {
    std::vector<unsigned char> kinds;
    std::vector<std::unordered_set<std::string>> seen;  // text columns: their cells, lower case
    // The shape of a text column's cells: the most words and characters, and
    // whether any holds a colon.
    std::vector<size_t> words, length;
    std::vector<bool> colon;
    size_t remembered = 0;  // rows remembered
    size_t width() const { return kinds.size(); }
    // A text column of a few values that many rows repeat (a chain: vegetative,
    // reproductive): a value it does not hold is no value of it.
    bool closed(size_t j) const { return seen[j].size() <= 3 && remembered >= 10; }
    bool of_values(size_t j) const { return j < kinds.size() && kinds[j] != column_text; }
    bool any_values() const {
        for (unsigned char k : kinds)
            if (k != column_text)
                return true;
        return false;
    }
    // Adds the text cells of a row of the table to what its columns hold.
    void remember(const Record &r);
};

struct HeaderChoice {
    size_t header = (size_t) -1;  // index into the records; -1: none
    enum Problem { none, repeated, ambiguous, rows_above } problem = none;
    std::vector<size_t> lines;    // 0-based lines the problem names
    std::vector<size_t> between;  // two headers: the rows between them; labels right
                                  // above the header: the rows above them
    size_t rows_from = 0;         // 0-based line where the rows begin
    bool wider_rows = false;      // the first row has more fields than the header
    Columns columns;              // the header's columns; none when no row shows them
};

HeaderChoice choose_header(const std::vector<Record> &records);

// The columns of rows of `width` fields, as their cells tell them.
Columns body_columns(const std::vector<Record> &rows, size_t width);

// The header a farm declares: record `index`, its columns told by the rows
// below it.
HeaderChoice declared_header(const std::vector<Record> &records, size_t index);

// How a record shows that it could be a row of the table.
enum class Evidence {
    // Its cells have their columns' kinds and one shows it: a date in a
    // column of dates, a text its column holds, two numbers in a record of
    // the table's width.  A text its column does not hold comes only in a
    // whole row (a value in every column of values), and never in a column
    // of a few values: a line of metadata ("Exported,2024-05-02",
    // "Elevation (m),1150,35") is no row.
    known,
    // The last line of a file cut short, under the rows: a text of the
    // shape of its column's cells (no more words than they have, or two;
    // not much longer; no colon where they have none) shows it too.
    cut_short,
};

// Whether a record could be a row of the table, or one cut short.
bool could_be_row(const Record &r, const Columns &columns, Evidence evidence = Evidence::known);

struct Layout {
    char separator = ',';
    std::vector<Record> records;  // of the first bytes, with that separator
    HeaderChoice choice;
    size_t header = (size_t) -1;  // index into records; -1: nothing but blank lines
};

// The layout of the first bytes of a file: the separator that makes the
// longest run of records of one width, the header among its records.
Layout find_layout(std::string_view text);

// The index of the first record of the notes among `records` (the records
// after the header from `from` on, of `text`), records.size() when there
// are none; the rows before it are remembered in `columns`.  No line that
// could be a row is a note, nor the file's last line when it could be a row
// cut short with nothing but blank lines between it and the rows.
size_t notes_start(std::string_view text, char sep, std::vector<Record> &records, size_t from,
                   Columns &columns);

}  // namespace records::load
