#include "records/load.hpp"

#include "host/host.hpp"

#include <cctype>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace records {

namespace {

const char *const excel_suffixes[] = {".xlsx", ".xlsm", ".xls"};
const char separators[] = {',', ';', '\t', '|'};

// How much of a file the layout is found from.
constexpr Py_ssize_t sample_bytes = 256 * 1024;

bool is_excel(const std::string &suffix) {
    for (const char *s : excel_suffixes)
        if (suffix == s)
            return true;
    return false;
}

std::string lowered_suffix(nb::handle path) {
    nb::object path_cls = host::from_import("pathlib", "Path");
    nb::str suffix = nb::str(path_cls(path).attr("suffix").attr("lower")());
    const char *text = PyUnicode_AsUTF8AndSize(suffix.ptr(), nullptr);
    if (!text) {  // lone surrogates (undecodable bytes of a file name): no suffix of ours
        PyErr_Clear();
        return std::string();
    }
    return std::string(text);
}

// The bytes of a file: the first `limit` of them (all when limit < 0), from
// its last `last` bytes on when last > 0 (from its start when it is shorter).
std::string file_bytes(nb::handle path, Py_ssize_t limit, Py_ssize_t last = 0) {
    nb::object open = host::from_import("builtins", "open");
    nb::object file = open(path, "rb");
    nb::object data;
    try {
        if (last > 0) {
            try {
                file.attr("seek")(-last, 2);
            } catch (nb::python_error &error) {  // a file shorter than that: from its start
                if (!host::error_is(error, PyExc_OSError))
                    throw;
                file.attr("seek")(0);
            }
        }
        data = limit < 0 ? file.attr("read")() : file.attr("read")(limit);
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    char *buffer = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data.ptr(), &buffer, &size) != 0)
        throw nb::python_error();
    return std::string(buffer, (size_t) size);
}

// ---------------------------------------------------------------------------
// Records of delimited text
//
// Text is split as pandas' C parser splits it (skipping blanks after a
// separator): a field that opens with a quote runs to its closing quote
// (doubled quotes inside), across lines; a quote inside an unquoted field is
// a character; "\n", "\r\n" and a lone "\r" end a line.  A line of blanks is
// a blank record.

enum CellType : unsigned char { cell_empty, cell_missing, cell_value, cell_label };

struct Record {
    size_t line = 0;       // 0-based physical line where it starts
    size_t last_line = 0;  // and where it ends
    size_t begin = 0;      // byte offsets: [begin, end), end after its line end
    size_t end = 0;
    size_t fields = 0;     // 0 for a blank record
    // Filled by classify():
    size_t filled = 0;     // fields up to the last non-empty one
    bool label = false;    // every cell a label (the first and the last may be empty)
    std::vector<unsigned char> types;
    std::vector<std::string> words;  // a record of labels: its cells, stripped
};

bool space(char c) { return c == ' ' || c == '\t' || c == '\f' || c == '\v'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

// Splits the record at `i` (physical line `line`) into r, calling
// cell(content) for each field when `Cells` is not null (content: the
// field's text, quotes undone, surrounding blanks kept but the leading ones).
template <typename Cells>
size_t split(const std::string &text, size_t i, size_t line, char sep, Record &r, Cells *cells) {
    size_t n = text.size();
    r.begin = i;
    r.line = line;
    bool blank = true;
    size_t fields = 1;
    std::string content;
    enum { start, unquoted, quoted, quote_in_quoted } state = start;
    auto end_field = [&] {
        if (cells)
            (*cells)(content);
        content.clear();
    };
    for (; i < n; ++i) {
        char c = text[i];
        if (c == '\n' || c == '\r') {
            bool crlf = c == '\r' && i + 1 < n && text[i + 1] == '\n';
            if (state == quoted) {
                if (cells)
                    content += c;
                if (crlf) {
                    if (cells)
                        content += '\n';
                    ++i;
                }
                ++line;
                continue;
            }
            i += crlf ? 2 : 1;
            ++line;
            r.last_line = line - 1;
            r.end = i;
            r.fields = blank ? 0 : fields;
            if (!blank)
                end_field();
            return i;
        }
        switch (state) {
        case start:
            if (c == sep) {
                blank = false;
                ++fields;
                end_field();
            } else if (c == '"') {
                blank = false;
                state = quoted;
            } else if (!space(c)) {
                blank = false;
                state = unquoted;
                if (cells)
                    content += c;
            }
            break;
        case unquoted:
            if (c == sep) {
                ++fields;
                end_field();
                state = start;
            } else if (cells) {
                content += c;
            }
            break;
        case quoted:
            if (c == '"')
                state = quote_in_quoted;
            else if (cells)
                content += c;
            break;
        case quote_in_quoted:
            if (c == '"') {
                state = quoted;
                if (cells)
                    content += c;
            } else if (c == sep) {
                ++fields;
                end_field();
                state = start;
            } else {
                state = unquoted;
                if (cells)
                    content += c;
            }
            break;
        }
    }
    r.last_line = line;
    r.end = n;
    r.fields = blank ? 0 : fields;
    if (!blank)
        end_field();
    return n;
}

// The records of `text` from byte `from` (the physical line there being
// `line`).
std::vector<Record> scan(const std::string &text, char sep, size_t from, size_t line) {
    std::vector<Record> records;
    size_t i = from;
    while (i < text.size()) {
        Record r;
        i = split<void(const std::string &)>(text, i, line, sep, r, nullptr);
        line = r.last_line + 1;
        records.push_back(std::move(r));
    }
    return records;
}

// Cells pandas reads as missing by default.
const char *const missing_markers[] = {"",     "#N/A", "#N/A N/A", "#NA",  "-1.#IND", "-1.#QNAN",
                                       "-NaN", "-nan", "1.#IND",   "1.#QNAN", "<NA>", "N/A",
                                       "NA",   "NULL", "NaN",      "None", "n/a",  "nan",
                                       "null"};

bool month_name(std::string_view word) {
    static const char *const months[] = {"january", "february", "march",     "april",
                                         "may",     "june",     "july",      "august",
                                         "september", "october", "november", "december"};
    if (word.size() < 3 || word.size() > 9)
        return false;
    char w[10] = {0};
    for (size_t i = 0; i < word.size(); ++i)
        w[i] = (char) std::tolower((unsigned char) word[i]);
    if (std::strcmp(w, "sept") == 0)
        return true;
    for (const char *m : months)
        if (std::strcmp(w, m) == 0 || (word.size() == 3 && std::strncmp(m, w, 3) == 0))
            return true;
    return false;
}

// A cell that is wholly a number ("25.0", "-3", "1e5", "23,5", "12%") or a
// date or time ("2024-01-01", "05/01/2024 06:00", "2024-01-01T00:00Z",
// "01-Jan-2024").
bool is_value(std::string_view s) {
    if (s == "inf" || s == "-inf" || s == "+inf" || s == "Infinity" || s == "-Infinity")
        return true;
    bool digits = false;
    size_t n = s.size();
    for (size_t i = 0; i < n;) {
        char c = s[i];
        if (digit(c)) {
            digits = true;
            ++i;
            continue;
        }
        if (c == '+' || c == '-' || c == '.' || c == ',' || c == ':' || c == '/' || c == ' ' ||
            c == '%') {
            ++i;
            continue;
        }
        if (!std::isalpha((unsigned char) c))
            return false;
        size_t j = i;
        while (j < n && std::isalpha((unsigned char) s[j]))
            ++j;
        std::string_view word = s.substr(i, j - i);
        bool after_digit = i > 0 && (digit(s[i - 1]) || s[i - 1] == '.');
        bool before_digit = j < n && (digit(s[j]) || s[j] == '+' || s[j] == '-');
        bool ok = ((word == "e" || word == "E") && after_digit && before_digit) ||
                  (word == "T" && after_digit && j < n && digit(s[j])) ||
                  (word == "Z" && after_digit && j == n) ||
                  ((word == "AM" || word == "PM" || word == "am" || word == "pm") && i > 0) ||
                  month_name(word);
        if (!ok)
            return false;
        i = j;
    }
    return digits;
}

bool blank_char(char c) { return space(c) || c == '\r' || c == '\n'; }

std::string_view stripped_view(std::string_view content) {
    size_t a = 0, b = content.size();
    while (a < b && blank_char(content[a]))
        ++a;
    while (b > a && blank_char(content[b - 1]))
        --b;
    return content.substr(a, b - a);
}

std::string stripped(const std::string &content) { return std::string(stripped_view(content)); }

unsigned char cell_type(std::string_view content) {
    std::string_view s = stripped_view(content);
    if (s.empty())
        return cell_empty;
    if (s.size() <= 8 && !digit(s[0]))
        for (const char *marker : missing_markers)
            if (s == marker)
                return cell_missing;
    return is_value(s) ? cell_value : cell_label;
}

// The types of the record's cells and whether it reads as a header.
void classify(const std::string &text, char sep, Record &r) {
    if (r.fields == 0)
        return;
    thread_local std::vector<std::string> contents;
    size_t count = 0;
    Record again;
    r.types.clear();
    r.words.clear();
    auto cells = [&](const std::string &content) {
        r.types.push_back(cell_type(content));
        if (count == contents.size())
            contents.emplace_back();
        contents[count++].assign(content);
    };
    split(text, r.begin, r.line, sep, again, &cells);
    size_t last = r.types.size();
    while (last > 0 && r.types[last - 1] == cell_empty)
        --last;
    r.filled = last;
    bool label = last > 0;
    for (size_t j = 0; j < last && label; ++j)
        label = r.types[j] == cell_label || (j == 0 && r.types[j] == cell_empty);
    r.label = label && !(last == 1 && r.types[0] == cell_empty);
    if (r.label)
        for (size_t j = 0; j < count; ++j)
            r.words.push_back(stripped(contents[j]));
}

// The cells of a record as written (quotes undone, leading blanks kept).
std::vector<std::string> cells_as_written(const std::string &text, char sep, const Record &r) {
    // The split skips blanks before a field; read them back from the bytes.
    std::vector<std::string> out;
    size_t i = r.begin;
    auto cells = [&](const std::string &content) {
        std::string lead;
        while (i < r.end && space(text[i]) && text[i] != sep)
            lead += text[i++];
        // Move past this field in the bytes: re-split is simpler than
        // tracking offsets, so only the leading blanks are taken here.
        out.push_back(text[i] == '"' ? content : lead + content);
        // Advance i to the next field start.
        bool quoted = i < r.end && text[i] == '"';
        if (quoted) {
            ++i;
            while (i < r.end) {
                if (text[i] == '"') {
                    if (i + 1 < r.end && text[i + 1] == '"') {
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                ++i;
            }
        }
        while (i < r.end && text[i] != sep && text[i] != '\n' && text[i] != '\r')
            ++i;
        if (i < r.end && text[i] == sep)
            ++i;
    };
    Record again;
    split(text, r.begin, r.line, sep, again, &cells);
    return out;
}

// ---------------------------------------------------------------------------
// The header of a table
//
// The header is a record of labels above a body of records of its number of
// fields.  Records are told apart by their cells: a label is text that is not
// wholly a number or a date; a record of labels (its first and last cells
// may be empty) reads as a header, any other non-blank record as data.  The
// evidence, from the bottom of the records up:
//  - the table's header is the last record of labels that has data below
//    it and whose width most of those data rows have (rows may be ragged);
//  - its body gives each column a kind: a column of values (numbers, dates,
//    missing cells) or of text.  A record of labels with a label in a column
//    of values cannot be a row; records above the header that could be rows
//    of its table, below another such record of labels of the same width,
//    make the header a row or a second header: an error naming both;
//  - a record of labels of the header's width right above it (no blank line
//    between) is a second header line (units, a title in two cells): an
//    error naming both, since either could be the header;
//  - the header's labels again inside the body are an error naming both.
// A table without columns of values gives no evidence: its header is the
// first record that its rows' width fits, as pandas reads it.

struct HeaderChoice {
    size_t header = (size_t) -1;  // index into the records; -1: none
    enum Problem { none, repeated, ambiguous } problem = none;
    std::vector<size_t> lines;    // 0-based lines the problem names
    size_t rows_from = 0;         // 0-based line where the rows begin
    bool wider_rows = false;      // the first row has more fields than the header
    std::vector<bool> kinds;      // the header's columns: of values or not
};

// The data rows below record h (at most `limit` of them).
std::vector<size_t> data_below(const std::vector<Record> &records, size_t h, size_t limit) {
    std::vector<size_t> rows;
    for (size_t k = h + 1; k < records.size() && rows.size() < limit; ++k)
        if (records[k].fields > 0 && !records[k].label)
            rows.push_back(k);
    return rows;
}

// A row of `width` fields: as many, or more whose extra cells are empty.
bool fits(const Record &r, size_t width) {
    return r.fields == width || (r.fields > width && r.filled <= width);
}

// Most rows have the header's width, or none is wider (rows may leave out
// their last cells).
bool width_fits(const std::vector<Record> &records, const std::vector<size_t> &rows,
                size_t width) {
    size_t exact = 0, wider = 0;
    for (size_t k : rows) {
        if (fits(records[k], width))
            ++exact;
        else if (records[k].filled > width)
            ++wider;
    }
    return exact * 2 >= rows.size() || wider == 0;
}

// Columns of values: numbers, dates or missing cells, with at most one
// label in ten values (a stray bad cell).
std::vector<bool> value_columns(const std::vector<Record> &records,
                                const std::vector<size_t> &rows, size_t width) {
    std::vector<size_t> values(width, 0), labels(width, 0);
    for (size_t k : rows)
        for (size_t j = 0; j < width && j < records[k].types.size(); ++j) {
            unsigned char t = records[k].types[j];
            values[j] += t == cell_value;
            labels[j] += t == cell_label;
        }
    std::vector<bool> kinds(width);
    for (size_t j = 0; j < width; ++j)
        kinds[j] = values[j] > 0 && labels[j] * 10 <= values[j];
    return kinds;
}

// A record of labels with a label in a column of values.
bool foreign(const Record &r, const std::vector<bool> &kinds) {
    if (!r.label)
        return false;
    for (size_t j = 0; j < kinds.size() && j < r.types.size(); ++j)
        if (kinds[j] && r.types[j] == cell_label)
            return true;
    return false;
}

// A data record that could be a row of the table: its width, and values or
// missing cells in every column of values, one value at least.
bool could_be_row(const Record &r, const std::vector<bool> &kinds) {
    if (r.label || r.fields == 0 || !fits(r, kinds.size()))
        return false;
    bool value = false;
    for (size_t j = 0; j < kinds.size(); ++j) {
        unsigned char t = j < r.types.size() ? r.types[j] : cell_empty;
        if (!kinds[j])
            continue;
        if (t == cell_label)
            return false;
        value = value || t == cell_value;
    }
    return value;
}

HeaderChoice choose_header(const std::vector<Record> &records) {
    constexpr size_t evidence_rows = 200;
    HeaderChoice choice;
    size_t first = 0;
    while (first < records.size() && records[first].fields == 0)
        ++first;
    if (first == records.size())
        return choice;
    choice.header = first;  // without evidence: pandas' own header

    size_t h = (size_t) -1;
    std::vector<size_t> rows;
    for (size_t k = records.size(); k-- > first;) {
        const Record &r = records[k];
        if (!r.label || r.filled < 2)
            continue;
        std::vector<size_t> below = data_below(records, k, evidence_rows);
        if (!below.empty() && width_fits(records, below, r.fields)) {
            h = k;
            rows = std::move(below);
            break;
        }
    }
    if (h == (size_t) -1)
        return choice;
    size_t width = records[h].fields;
    std::vector<bool> kinds = value_columns(records, rows, width);
    if (!foreign(records[h], kinds)) {
        // No column of values tells the header from a row: the first record
        // of labels whose width its rows have, as pandas reads it.
        for (size_t k = first; k < records.size(); ++k) {
            const Record &r = records[k];
            if (r.fields == 0)
                continue;
            if (r.label && r.fields == width) {
                choice.header = k;
                break;
            }
        }
        return choice;
    }

    // Rows of the table above its header, below another header of its width.
    for (size_t k = h; k-- > first;) {
        if (!could_be_row(records[k], kinds))
            continue;
        for (size_t g = k; g-- > first;)
            if (records[g].fields == width && foreign(records[g], kinds)) {
                choice.problem = records[g].words == records[h].words ? HeaderChoice::repeated
                                                                      : HeaderChoice::ambiguous;
                choice.lines = {records[g].line, records[h].line};
                return choice;
            }
        break;
    }
    // Another line of labels right above the header.
    std::vector<size_t> stack;
    for (size_t k = h; k > first && records[k - 1].fields == width && foreign(records[k - 1], kinds);)
        stack.push_back(records[--k].line);
    if (!stack.empty()) {
        choice.problem = HeaderChoice::ambiguous;
        choice.lines.assign(stack.rbegin(), stack.rend());
        choice.lines.push_back(records[h].line);
        choice.rows_from = records[rows.front()].line;
        return choice;
    }
    // The header again in the body.
    choice.lines = {records[h].line};
    for (size_t k = h + 1; k < records.size(); ++k)
        if (records[k].fields == width && foreign(records[k], kinds) &&
            records[k].words == records[h].words)
            choice.lines.push_back(records[k].line);
    if (choice.lines.size() > 1) {
        choice.problem = HeaderChoice::repeated;
        return choice;
    }
    choice.lines.clear();
    choice.header = h;
    choice.kinds = std::move(kinds);
    choice.wider_rows = records[rows.front()].fields > width;
    return choice;
}

// ---------------------------------------------------------------------------
// The layout of delimited text

// The separator that makes the longest run of records of one width (two or
// more fields; blank lines between them allowed), then the widest.
struct Run {
    size_t length = 0, fields = 0;
};

Run longest_run(const std::string &text, char sep) {
    Run best, current;
    Record r;
    for (size_t i = 0; i < text.size();) {
        i = split<void(const std::string &)>(text, i, 0, sep, r, nullptr);
        if (r.fields == 0)
            continue;
        if (r.fields >= 2 && current.length > 0 && r.fields == current.fields)
            ++current.length;
        else
            current = r.fields >= 2 ? Run{1, r.fields} : Run{};
        if (current.length >= 2 && current.length >= best.length)
            best = current;
    }
    return best;
}

// The separator a line holds most often outside quotes (the earlier of
// , ; tab | on a tie); a comma when it holds none.
char most_frequent_separator(const std::string &text, size_t from) {
    size_t counts[4] = {0, 0, 0, 0};
    bool quoted = false;
    for (size_t i = from; i < text.size() && text[i] != '\n'; ++i) {
        char c = text[i];
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (quoted)
            continue;
        for (int k = 0; k < 4; ++k)
            if (c == separators[k])
                ++counts[k];
    }
    int best = 0;
    for (int k = 1; k < 4; ++k)
        if (counts[k] > counts[best])
            best = k;
    return separators[best];
}

struct Layout {
    char separator = ',';
    std::vector<Record> records;  // of the first bytes, with that separator
    HeaderChoice choice;
    size_t header = (size_t) -1;  // index into records; -1: nothing but blank lines
};

Layout find_layout(const std::string &text) {
    Layout layout;
    Run best;
    for (char sep : separators) {
        Run run = longest_run(text, sep);
        if (run.length > best.length || (run.length == best.length && run.fields > best.fields)) {
            best = run;
            layout.separator = sep;
        }
    }
    if (best.length < 2) {  // no table of two columns: the first line tells
        std::vector<Record> records = scan(text, ',', 0, 0);
        size_t first = 0;
        while (first < records.size() && records[first].fields == 0)
            ++first;
        if (first == records.size())
            return layout;
        layout.separator = most_frequent_separator(text, records[first].begin);
    }
    layout.records = scan(text, layout.separator, 0, 0);
    for (Record &r : layout.records)
        classify(text, layout.separator, r);
    layout.choice = choose_header(layout.records);
    layout.header = layout.choice.header;
    return layout;
}

// ---------------------------------------------------------------------------
// Notes after the table
//
// Exports may end the table with a block of notes ("Notes:", "Quality flag
// Y means ...") that would otherwise become rows.  Such a block is left out
// only when it cannot be rows: records of labels (no value, no missing
// marker) at the end of the file, from a blank line on, or lines of one
// field each.

// The index of the first record of the notes among `records` (the records
// after the header from `from` on), records.size() when there are none.
size_t notes_start(const std::string &text, char sep, std::vector<Record> &records, size_t from,
                   const std::vector<bool> &kinds) {
    size_t start = records.size();
    for (size_t k = records.size(); k-- > from;) {
        Record &r = records[k];
        if (r.fields == 0)
            continue;
        if (r.types.empty())
            classify(text, sep, r);
        if (!r.label)
            break;
        start = k;
    }
    // From a blank line on, lines of one field and lines with a label where
    // the table has values; otherwise lines of one field only.
    bool one_field = true, not_rows = true;  // of records[k..]
    size_t notes = records.size();
    for (size_t k = records.size(); k-- > start;) {
        if (records[k].fields == 0)
            continue;
        one_field = one_field && records[k].fields == 1;
        not_rows = not_rows && (records[k].fields == 1 || foreign(records[k], kinds));
        bool after_blank = k > from && records[k - 1].fields == 0;
        if (one_field || (after_blank && not_rows))
            notes = k;
    }
    return notes;
}

// Whether the last bytes of a file may end in notes: they are read as
// records from their first line end, once as they come and once as the rest
// of a quoted cell, since the cut may fall inside one.
bool may_end_in_notes(nb::handle path, char sep, const std::vector<bool> &kinds) {
    constexpr Py_ssize_t tail_bytes = 64 * 1024;
    std::string tail = file_bytes(path, -1, tail_bytes);
    size_t first = tail.find('\n');
    tail.erase(0, first == std::string::npos ? tail.size() : first + 1);
    for (const std::string &text : {tail, "\"" + tail}) {
        std::vector<Record> records = scan(text, sep, 0, 0);
        if (records.size() > 1 && notes_start(text, sep, records, 1, kinds) < records.size())
            return true;
    }
    return false;
}

// Where the table ends: the number of rows before a block of notes (blank
// lines not counted, as the reader skips them), or -1 when the file ends
// with its table; and the block's lines.
struct Notes {
    long rows = -1;
    size_t first_line = 0, last_line = 0;  // 1-based, 0 when none
};

Notes find_notes(nb::handle path, std::string &sample, bool whole, Layout &layout) {
    Notes notes;
    if (layout.header == (size_t) -1 || layout.records[layout.header].fields < 2)
        return notes;
    char sep = layout.separator;
    std::vector<Record> full;
    std::string text;
    std::vector<Record> *records = &layout.records;
    size_t from = layout.header + 1;
    const std::string *source = &sample;
    if (!whole) {
        if (!may_end_in_notes(path, sep, layout.choice.kinds))
            return notes;
        // The whole file, from the header on, where every quote is known.
        text = file_bytes(path, -1);
        size_t bom = text.compare(0, 3, "\xef\xbb\xbf") == 0 ? 3 : 0;
        const Record &header = layout.records[layout.header];
        full = scan(text, sep, bom + header.begin, header.line);
        records = &full;
        from = 1;
        source = &text;
    }
    size_t start = notes_start(*source, sep, *records, from, layout.choice.kinds);
    if (start == records->size())
        return notes;
    long rows = 0;
    for (size_t k = from; k < start; ++k)
        rows += (*records)[k].fields > 0;
    notes.rows = rows;
    notes.first_line = (*records)[start].line + 1;
    for (size_t k = records->size(); k-- > start;)
        if ((*records)[k].fields > 0) {
            notes.last_line = (*records)[k].last_line + 1;
            break;
        }
    return notes;
}

// ---------------------------------------------------------------------------
// Notes on loading errors

// Adds "while reading <path>[, at line N]" to a loading error, N taken from
// the parser's message ("... in line 9, saw 22").
void note_error(nb::python_error &error, nb::handle path) {
    nb::object value = nb::borrow(error.value());
    if (!nb::hasattr(value, "add_note"))
        return;
    nb::str message = host::str(value);
    const char *text = PyUnicode_AsUTF8AndSize(message.ptr(), nullptr);
    std::string where;
    if (text) {
        const char *at = std::strstr(text, "line ");
        if (at && digit(at[5])) {
            const char *p = at + 5;
            while (digit(*p))
                where += *p++;
        }
    } else {
        PyErr_Clear();
    }
    nb::str note = where.empty()
                       ? host::text("while reading ", host::Repr{path})
                       : host::text("while reading ", host::Repr{path}, ", at line ", where);
    value.attr("add_note")(note);
}

// "lines 1 and 2", "rows 3, 4 and 5" (1-based from 0-based).
std::string numbered(const char *word, const std::vector<size_t> &lines) {
    std::string out = std::string(word) + "s ";
    for (size_t k = 0; k < lines.size(); ++k) {
        if (k > 0)
            out += k + 1 == lines.size() ? " and " : ", ";
        out += std::to_string(lines[k] + 1);
    }
    return out;
}

// The header choice's problem as a ValueError; `word` is "line" or "row".
void raise_problem(nb::handle path, const HeaderChoice &choice, const char *word) {
    std::string which = numbered(word, choice.lines);
    if (choice.problem == HeaderChoice::repeated)
        host::raise(PyExc_ValueError,
                    host::text(host::Repr{path}, " holds its header more than once: ", which,
                               " hold the same labels, as when one export is appended to "
                               "another; keep one table per file (delete the repeated header "
                               "and the rows it repeats)"));
    if (choice.rows_from > 0)
        host::raise(PyExc_ValueError,
                    host::text("cannot tell which ", word, " of ", host::Repr{path},
                               " is its header: ", which, " hold labels right above its "
                               "rows (", word, " ", std::to_string(choice.rows_from + 1),
                               " on); delete the ", word, "s that are not the header (units, "
                               "a title), or put a blank ", word, " under a title"));
    host::raise(PyExc_ValueError,
                host::text("cannot tell which ", word, " of ", host::Repr{path},
                           " is its header: ", which, " both hold labels where its rows hold "
                           "values, with rows between them; if the later one is a row, "
                           "correct its cells, and keep one table per file"));
}

// ---------------------------------------------------------------------------
// Readers of each format

// Two labels that stripping makes equal (written differently) would make one
// label name two columns: a ValueError naming the label and both columns
// (1-based, as a spreadsheet counts them), with their labels as written.
// Labels written alike are pandas' to tell apart ("x", "x.1").
void refuse_equal_labels(nb::handle path, nb::handle written, const nb::list &stripped) {
    size_t n = nb::len(stripped);
    nb::list originals = host::as_list(written);
    nb::dict first;  // stripped label -> its first column
    for (size_t j = 0; j < n; ++j) {
        nb::handle label = stripped[j];
        if (!first.contains(label)) {
            first[label] = nb::int_(j);
            continue;
        }
        size_t i = nb::cast<size_t>(first[label]);
        if (originals[i].equal(originals[j]))
            continue;
        host::raise(PyExc_ValueError,
                    host::text("two columns of ", host::Repr{path}, " are labelled ",
                               host::Repr{label},
                               " once blanks around their labels are stripped: column ",
                               host::Str{nb::int_(i + 1)}, " (", host::Repr{originals[i]},
                               ") and column ", host::Str{nb::int_(j + 1)}, " (",
                               host::Repr{originals[j]}, ")"));
    }
}

nb::object stripped_text(nb::handle label) {
    if (PyUnicode_Check(label.ptr()))
        return label.attr("strip")();
    return nb::borrow(label);
}

// pandas.read_csv(path, **kwargs); when the first row is wider than the
// header, pandas would drop the cells beyond its labels with a warning: that
// is an error here.
nb::object parse(nb::handle pd, nb::handle file, nb::dict &kwargs, bool wider_rows,
                 nb::handle path, const Record *header, const Record *first_row) {
    nb::object read_csv = pd.attr("read_csv");
    if (!wider_rows)
        return read_csv(file, **kwargs);
    nb::object warnings = host::import("warnings");
    nb::object catcher = warnings.attr("catch_warnings")(nb::arg("record") = true);
    nb::object caught = catcher.attr("__enter__")();
    nb::object table;
    try {
        warnings.attr("simplefilter")("always");
        table = read_csv(file, **kwargs);
    } catch (...) {
        catcher.attr("__exit__")(nb::none(), nb::none(), nb::none());
        throw;
    }
    catcher.attr("__exit__")(nb::none(), nb::none(), nb::none());
    nb::object parser_warning = pd.attr("errors").attr("ParserWarning");
    for (nb::handle w : caught) {
        nb::object category = w.attr("category");
        if (PyObject_IsSubclass(category.ptr(), parser_warning.ptr()) == 1)
            host::raise(PyExc_ValueError,
                        host::text("line ", std::to_string(first_row->line + 1), " of ",
                                   host::Repr{path}, " has ", std::to_string(first_row->fields),
                                   " fields, more than the ", std::to_string(header->fields),
                                   " labels of its header (line ",
                                   std::to_string(header->line + 1),
                                   "), and the cells beyond them would be lost; label every "
                                   "column in the header or remove the extra cells"));
        host::warn(category, w.attr("message"));
    }
    return table;
}

nb::object read_delimited(nb::handle pd, nb::handle path, nb::handle text_columns,
                          TableSource &source) {
    std::string sample = file_bytes(path, sample_bytes);
    bool whole = (Py_ssize_t) sample.size() < sample_bytes;
    size_t bom = sample.compare(0, 3, "\xef\xbb\xbf") == 0 ? 3 : 0;
    if (!whole) {  // a whole number of lines, so that no character is cut
        size_t last = sample.rfind('\n');
        if (last != std::string::npos && last >= bom)
            sample.resize(last + 1);
    }
    std::string text = sample.substr(bom);
    PyObject *utf8 = PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t) text.size(), "strict");
    const char *encoding = "utf-8-sig";
    if (utf8)
        Py_DECREF(utf8);
    else {  // not UTF-8: spreadsheet programs on Windows write Windows-1252
        PyErr_Clear();
        encoding = "cp1252";
    }
    Layout layout = find_layout(text);
    source.separator = layout.separator;
    source.encoding = encoding;
    source.header_line = 1;

    nb::dict kwargs;
    kwargs["sep"] = nb::str(&layout.separator, 1);
    kwargs["engine"] = "c";
    kwargs["skipinitialspace"] = true;
    kwargs["index_col"] = false;
    const Record *header = nullptr, *first_row = nullptr;
    if (layout.header != (size_t) -1) {
        if (layout.choice.problem != HeaderChoice::none)
            raise_problem(path, layout.choice, "line");
        header = &layout.records[layout.header];
        source.header_line = header->line + 1;
        for (size_t k = 0; k < layout.header; ++k)
            if (layout.records[k].fields > 0) {
                if (source.preamble_first == 0)
                    source.preamble_first = layout.records[k].line + 1;
                source.preamble_last = layout.records[k].last_line + 1;
            }
        for (size_t k = layout.header + 1; k < layout.records.size() && !first_row; ++k)
            if (layout.records[k].fields > 0)
                first_row = &layout.records[k];
        // pandas skips records (a quoted title may span lines), each blank
        // line one of them.
        if (layout.header > 0)
            kwargs["skiprows"] = nb::int_(layout.header);
        Notes notes = find_notes(path, text, whole, layout);
        if (notes.rows >= 0) {
            kwargs["nrows"] = nb::int_(notes.rows);
            source.notes_first = notes.first_line;
            source.notes_last = notes.last_line;
        }

        // The labels as written: two made equal by stripping are refused
        // (pandas would strip the leading blanks and rename the second).
        const char *codec = std::strcmp(encoding, "cp1252") == 0 ? "cp1252" : "utf-8";
        nb::list written, stripped;
        for (const std::string &cell : cells_as_written(text, layout.separator, *header)) {
            nb::object label = nb::bytes(cell.data(), cell.size()).attr("decode")(codec, "replace");
            written.append(label);
            stripped.append(label.attr("strip")());
        }
        refuse_equal_labels(path, written, stripped);

        // Text columns are read as text, only their empty cells missing
        // ("NA" is a tag); the other columns keep pandas' missing markers.
        if (nb::len(text_columns) > 0) {
            nb::dict dtype, missing;
            nb::list markers, empty;
            for (const char *marker : missing_markers)
                markers.append(nb::str(marker));
            empty.append(nb::str(""));
            size_t width = nb::len(stripped);
            if (first_row && first_row->fields > width)
                width = first_row->fields;
            for (size_t j = 0; j < width; ++j) {
                bool text_column = j < nb::len(stripped) &&
                                   host::contains(text_columns, stripped[j]);
                if (text_column)
                    dtype[nb::int_(j)] = "str";
                missing[nb::int_(j)] = text_column ? empty : markers;
            }
            if (dtype.size() > 0) {
                kwargs["dtype"] = dtype;
                kwargs["keep_default_na"] = false;
                kwargs["na_values"] = missing;
            }
        }
    }

    kwargs["encoding"] = encoding;
    bool wider = header && first_row && first_row->filled > header->fields;
    try {
        return parse(pd, path, kwargs, wider, path, header, first_row);
    } catch (nb::python_error &e) {
        if (std::strcmp(encoding, "utf-8-sig") != 0 || !host::error_is(e, PyExc_UnicodeDecodeError))
            throw;
    }
    // The first lines were UTF-8 but a later one is not.  Its byte-order
    // mark, if any, is no text of Windows-1252: the file is read from after it.
    kwargs["encoding"] = "cp1252";
    source.encoding = "cp1252";
    if (bom == 0)
        return parse(pd, path, kwargs, wider, path, header, first_row);
    nb::object file = host::from_import("builtins", "open")(path, "rb");
    try {
        file.attr("seek")(3);
        nb::object table = parse(pd, file, kwargs, wider, path, header, first_row);
        file.attr("close")();
        return table;
    } catch (...) {
        file.attr("close")();
        throw;
    }
}

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

// The records of a sheet's rows, typed by their cells as text is: numbers
// and dates are values, text cells as text reads them.
std::vector<Record> sheet_records(nb::handle raw) {
    nb::tuple shape = nb::borrow<nb::tuple>(raw.attr("shape"));
    size_t rows = nb::cast<size_t>(shape[0]), columns = nb::cast<size_t>(shape[1]);
    nb::list cells = nb::list(raw.attr("values").attr("tolist")());
    nb::object datetime = host::import("datetime");
    nb::object times = nb::make_tuple(datetime.attr("date"), datetime.attr("time"),
                                      datetime.attr("timedelta"));
    std::vector<Record> records(rows);
    for (size_t i = 0; i < rows; ++i) {
        nb::list row = nb::borrow<nb::list>(cells[i]);
        Record &r = records[i];
        r.line = r.last_line = i;
        for (size_t j = 0; j < columns; ++j) {
            nb::handle cell = row[j];
            unsigned char type = cell_label;
            std::string word;
            if (host::is_missing(cell)) {
                type = cell_empty;
            } else if (PyUnicode_Check(cell.ptr())) {
                word = host::utf8(cell);
                type = cell_type(word);
                word = stripped(word);
            } else if (PyNumber_Check(cell.ptr()) || PyBool_Check(cell.ptr()) ||
                       PyObject_IsInstance(cell.ptr(), times.ptr()) == 1) {
                type = cell_value;
            } else {
                word = host::utf8(host::str(cell));
            }
            r.types.push_back(type);
            r.words.push_back(word);
        }
        size_t last = r.types.size();
        while (last > 0 && r.types[last - 1] == cell_empty)
            --last;
        r.filled = r.fields = last;
        r.types.resize(last);
        r.words.resize(last);
        bool label = last > 0 && !(last == 1 && r.types[0] == cell_empty);
        for (size_t j = 0; j < last && label; ++j)
            label = r.types[j] == cell_label || (j == 0 && r.types[j] == cell_empty);
        r.label = label;
        if (!label)
            r.words.clear();
    }
    return records;
}

nb::object read_excel(nb::handle pd, nb::handle path, TableSource &source) {
    nb::object raw = read_typed(
        [&] { return pd.attr("read_excel")(path, nb::arg("header") = nb::none(),
                                           nb::arg("nrows") = 256); },
        "Excel", "excel");
    std::vector<Record> records = sheet_records(raw);
    HeaderChoice choice = choose_header(records);
    if (choice.problem != HeaderChoice::none)
        raise_problem(path, choice, "row");
    size_t header = choice.header == (size_t) -1 ? 0 : choice.header;
    source.header_line = header + 1;
    for (size_t k = 0; k < header; ++k)
        if (records[k].fields > 0) {
            if (source.preamble_first == 0)
                source.preamble_first = k + 1;
            source.preamble_last = k + 1;
        }
    if (header == 0)
        return pd.attr("read_excel")(path);
    return pd.attr("read_excel")(path, nb::arg("header") = nb::int_(header));
}

// Non-missing cells of a column read from a typed format, as text.
void column_as_text(nb::handle pd, nb::object &table, nb::handle label) {
    nb::list values;
    for (nb::handle value : table[label].attr("tolist")()) {
        if (host::is_missing(value))
            values.append(value);
        else
            values.append(host::str(value));
    }
    nb::object column = pd.attr("Series")(values, nb::arg("index") = table.attr("index"),
                                          nb::arg("dtype") = "object");
    if (!PyUnicode_Check(label.ptr())) {
        table[label] = column;
        return;
    }
    // A new frame rather than an assignment into the loaded one, which some
    // pandas versions take for chained assignment.
    nb::dict replaced;
    replaced[label] = column;
    table = table.attr("assign")(**replaced);
}

nb::object load(nb::handle path, nb::handle text_columns, TableSource &source) {
    nb::object pd = host::import("pandas");
    std::string suffix = lowered_suffix(path);
    nb::object table;
    bool typed = true;
    if (is_excel(suffix)) {
        source.kind = TableSource::excel;
        table = read_excel(pd, path, source);
    } else if (suffix == ".parquet") {
        source.kind = TableSource::parquet;
        table = read_typed([&] { return pd.attr("read_parquet")(path); }, "parquet", "parquet");
    } else {
        source.kind = TableSource::delimited;
        table = read_delimited(pd, path, text_columns, source);
        typed = false;
    }

    // Exports pad their header labels: " TMK" is TMK.
    nb::list labels;
    bool padded = false;
    for (nb::handle label : table.attr("columns")) {
        nb::object stripped = stripped_text(label);
        if (!stripped.equal(label))
            padded = true;
        labels.append(stripped);
    }
    if (padded) {
        refuse_equal_labels(path, table.attr("columns"), labels);
        table.attr("columns") = labels;
    }

    if (typed) {
        for (nb::handle label : text_columns)
            if (host::contains(table.attr("columns"), label))
                column_as_text(pd, table, label);
        nb::object index = table.attr("index");
        nb::object range_index = pd.attr("RangeIndex");
        bool plain = nb::isinstance(index, range_index) &&
                     nb::cast<long long>(index.attr("start")) == 0 &&
                     nb::cast<long long>(index.attr("step")) == 1;
        if (!plain)
            table = table.attr("reset_index")(nb::arg("drop") = true);
    }
    return table;
}

}  // namespace

nb::object read_table(nb::handle path, nb::handle text_columns, TableSource *source) {
    TableSource own;
    try {
        return load(path, text_columns, source ? *source : own);
    } catch (nb::python_error &error) {
        // What the loading raised, with the file (and line) it was about.
        note_error(error, path);
        throw;
    }
}

std::vector<size_t> row_lines(nb::handle path, const TableSource &source, size_t rows) {
    std::vector<size_t> lines;
    if (source.kind == TableSource::parquet)
        return lines;
    if (source.kind == TableSource::excel) {
        for (size_t i = 0; i < rows; ++i)
            lines.push_back(source.header_line + 1 + i);
        return lines;
    }
    std::string text = file_bytes(path, -1);
    size_t from = text.compare(0, 3, "\xef\xbb\xbf") == 0 ? 3 : 0;
    std::vector<Record> records = scan(text, source.separator, from, 0);
    size_t k = 0;
    while (k < records.size() && records[k].line + 1 < source.header_line)
        ++k;
    for (++k; k < records.size() && lines.size() < rows; ++k)
        if (records[k].fields > 0)
            lines.push_back(records[k].line + 1);
    return lines;
}

}  // namespace records
