// Delimited text as records and cells, the way pandas' C parser splits it
// (blanks after a separator skipped): a field that opens with a quote runs
// to its closing quote (doubled quotes inside), across lines; a quote inside
// an unquoted field is a character; "\n", "\r\n" and a lone "\r" end a line.
// A line of blanks (spaces, tabs, form feeds, vertical tabs) is a blank
// record.
//
// Cells are typed by what they hold: empty, a missing-value marker, a
// number, a date or time, or a label (any other text).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace records::load {

enum CellType : unsigned char { cell_empty, cell_missing, cell_number, cell_date, cell_label };

inline bool is_value(unsigned char type) { return type == cell_number || type == cell_date; }

struct Record {
    size_t line = 0;       // 0-based physical line where it starts
    size_t last_line = 0;  // and where it ends
    size_t begin = 0;      // byte offsets: [begin, end), end after its line end
    size_t end = 0;
    size_t fields = 0;     // 0 for a blank record
    bool unclosed = false; // the file ends inside a quoted cell of it
    // Filled by classify():
    size_t filled = 0;     // fields up to the last non-empty one
    bool label = false;    // every cell a label (the first may be empty)
    bool classified = false;
    std::vector<unsigned char> types;
    std::vector<std::string> words;  // its cells, stripped
};

bool space(char c);
bool digit(char c);

// The records of `text` from byte `from` (the physical line there being
// `line`), without their cells.
std::vector<Record> scan(std::string_view text, char sep, size_t from, size_t line);

// The record at byte `i` (physical line `line`) into r; returns where the
// next record begins.
size_t next_record(std::string_view text, size_t i, size_t line, char sep, Record &r);

// The types and words of the record's cells, and whether it reads as a
// header.
void classify(std::string_view text, char sep, Record &r);

// The type of a cell's text.
unsigned char cell_type(std::string_view content);

// The cells of a record as written (quotes undone, leading blanks kept).
std::vector<std::string> cells_as_written(std::string_view text, char sep, const Record &r);

// Cells pandas reads as missing by default.
extern const char *const missing_markers[19];

std::string stripped(std::string_view content);

// Whether a record's cells are all labels, the first and the last allowed
// to be empty (and not one empty cell alone); sets r.filled.
void settle_label(Record &r);

// The 1-based physical line of byte `at` ("\n", "\r\n" and "\r" end lines).
size_t line_at(std::string_view text, size_t at);

}  // namespace records::load
