#include "records/load/layout.hpp"

#include <algorithm>
#include <cctype>

namespace records::load {

namespace {

const char separators[] = {',', ';', '\t', '|'};

std::string lowered(const std::string &word) {
    std::string out = word;
    for (char &c : out)
        c = (char) std::tolower((unsigned char) c);
    return out;
}

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

// The kinds of the columns of the rows: values (numbers, dates or missing
// cells, with at most one label in ten values -- a stray bad cell), numbers
// or dates where the other kind is as rare, or text.
Columns column_kinds(const std::vector<Record> &records, const std::vector<size_t> &rows,
                     size_t width) {
    std::vector<size_t> numbers(width, 0), dates(width, 0), labels(width, 0);
    for (size_t k : rows)
        for (size_t j = 0; j < width && j < records[k].types.size(); ++j) {
            unsigned char t = records[k].types[j];
            numbers[j] += t == cell_number;
            dates[j] += t == cell_date;
            labels[j] += t == cell_label;
        }
    Columns columns;
    columns.kinds.assign(width, column_text);
    columns.seen.resize(width);
    columns.words.assign(width, 0);
    columns.length.assign(width, 0);
    columns.colon.assign(width, false);
    for (size_t j = 0; j < width; ++j) {
        size_t values = numbers[j] + dates[j];
        if (values == 0 || labels[j] * 10 > values)
            continue;
        columns.kinds[j] = dates[j] * 10 <= numbers[j]   ? column_number
                           : numbers[j] * 10 <= dates[j] ? column_date
                                                         : column_mixed;
    }
    return columns;
}

// A record of labels with a label in a column of values.
bool foreign(const Record &r, const Columns &columns) {
    if (!r.label)
        return false;
    for (size_t j = 0; j < columns.width() && j < r.types.size(); ++j)
        if (columns.of_values(j) && r.types[j] == cell_label)
            return true;
    return false;
}

// The separator that makes the longest run of records of one width (two or
// more fields; blank lines between them allowed), then the widest.
struct Run {
    size_t length = 0, fields = 0;
};

Run longest_run(std::string_view text, char sep) {
    Run best, current;
    Record r;
    for (size_t i = 0; i < text.size();) {
        i = next_record(text, i, 0, sep, r);
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
char most_frequent_separator(std::string_view text, size_t from) {
    size_t counts[4] = {0, 0, 0, 0};
    bool quoted = false;
    for (size_t i = from; i < text.size() && text[i] != '\n' && text[i] != '\r'; ++i) {
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

}  // namespace

namespace {

size_t word_count(const std::string &cell) {
    size_t count = 0;
    bool in_word = false;
    for (char c : cell) {
        bool blank = c == ' ' || c == '\t';
        count += !blank && !in_word;
        in_word = !blank;
    }
    return count;
}

}  // namespace

void Columns::remember(const Record &r) {
    if (r.fields == 0 || r.label || r.filled > width())
        return;
    bool values = false;  // a row shows itself by a value where the table has values
    for (size_t j = 0; j < r.filled; ++j) {
        if (of_values(j) && r.types[j] == cell_label)
            return;  // not a row of this table
        values = values || (of_values(j) && is_value(r.types[j]));
    }
    if (!values)
        return;
    ++remembered;
    for (size_t j = 0; j < r.filled; ++j)
        if (!of_values(j) && (r.types[j] == cell_label || r.types[j] == cell_number)) {
            const std::string &cell = r.words[j];
            seen[j].insert(lowered(cell));
            words[j] = std::max(words[j], word_count(cell));
            length[j] = std::max(length[j], cell.size());
            colon[j] = colon[j] || cell.find(':') != std::string::npos;
        }
}

bool could_be_row(const Record &r, const Columns &columns, Evidence evidence) {
    if (r.fields == 0 || r.filled > columns.width() || r.filled == 0)
        return false;
    bool shown = false, unknown = false;
    size_t numbers = 0, values = 0;
    for (size_t j = 0; j < r.filled; ++j) {
        unsigned char t = r.types[j];
        if (t == cell_empty || t == cell_missing)
            continue;
        values += columns.of_values(j);
        switch (columns.kinds[j]) {
        case column_text: {
            const std::string &cell = r.words[j];
            if (columns.seen[j].count(lowered(cell)) > 0) {
                shown = true;
                break;
            }
            if (evidence == Evidence::known) {
                if (columns.closed(j))
                    return false;
                unknown = true;  // a text the column does not hold (yet)
                break;
            }
            bool shaped = columns.words[j] > 0 &&
                          word_count(cell) <= std::max<size_t>(columns.words[j], 2) &&
                          cell.size() <= std::max<size_t>(2 * columns.length[j], 16) &&
                          (columns.colon[j] || cell.find(':') == std::string::npos);
            if (!shaped)
                return false;
            shown = true;
            break;
        }
        case column_number:
            if (t != cell_number)
                return false;
            ++numbers;
            break;
        case column_date:
            if (t != cell_date)
                return false;
            shown = true;
            break;
        default:
            if (!is_value(t))
                return false;
            shown = shown || t == cell_date;
            numbers += t == cell_number;
            break;
        }
    }
    if (unknown) {
        // Only a whole row (every column of values holding one) may bring a
        // text its column does not hold: a tag new to the file, not a
        // line of metadata ("Exported,2024-05-02").
        size_t wanted = 0;
        for (size_t j = 0; j < columns.width(); ++j)
            wanted += columns.of_values(j);
        return values == wanted && r.fields >= columns.width();
    }
    return shown || (numbers >= 2 && r.fields >= columns.width());
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
    if (h == (size_t) -1) {
        // No row with values below any header: the first of the widest
        // records of labels (a title or a "key,value" line above it is no
        // header), when one has two labels or more; else the first record.
        size_t widest = 1;
        for (size_t k = first; k < records.size(); ++k)
            if (records[k].label && records[k].filled > widest) {
                widest = records[k].filled;
                choice.header = k;
            }
        return choice;
    }
    size_t width = records[h].fields;
    Columns columns = column_kinds(records, rows, width);
    for (size_t k = h + 1; k < records.size(); ++k)
        columns.remember(records[k]);
    if (!foreign(records[h], columns)) {
        // No column of values tells the header from a row: the first record
        // of labels whose width its rows have, as pandas reads it.
        for (size_t k = first; k < records.size(); ++k) {
            const Record &r = records[k];
            if (r.label && r.fields == width) {
                choice.header = k;
                break;
            }
        }
        if (choice.header == h)
            choice.columns = std::move(columns);
        return choice;
    }

    // Rows of the table above its header, below another header of its width.
    for (size_t k = h; k-- > first;) {
        if (!could_be_row(records[k], columns))
            continue;
        for (size_t g = k; g-- > first;)
            if (records[g].fields == width && foreign(records[g], columns)) {
                choice.problem = records[g].words == records[h].words ? HeaderChoice::repeated
                                                                      : HeaderChoice::ambiguous;
                choice.lines = {records[g].line, records[h].line};
                for (size_t between = g + 1; between < h; ++between)
                    if (could_be_row(records[between], columns))
                        choice.between.push_back(records[between].line);
                return choice;
            }
        break;
    }
    // Rows of the table above its header: is its header missing above them?
    std::vector<size_t> above;
    for (size_t k = first; k < h; ++k)
        if (could_be_row(records[k], columns))
            above.push_back(records[k].line);
    // Another line of labels right above the header.
    std::vector<size_t> stack;
    for (size_t k = h;
         k > first && records[k - 1].fields == width && foreign(records[k - 1], columns);)
        stack.push_back(records[--k].line);
    if (!stack.empty()) {
        choice.problem = HeaderChoice::ambiguous;
        choice.lines.assign(stack.rbegin(), stack.rend());
        choice.lines.push_back(records[h].line);
        choice.rows_from = records[rows.front()].line;
        choice.between = std::move(above);
        return choice;
    }
    choice.lines = std::move(above);
    if (!choice.lines.empty()) {
        choice.problem = HeaderChoice::rows_above;
        choice.rows_from = records[h].line;
        return choice;
    }
    // The header again in the body.
    choice.lines = {records[h].line};
    for (size_t k = h + 1; k < records.size(); ++k)
        if (records[k].fields == width && foreign(records[k], columns) &&
            records[k].words == records[h].words)
            choice.lines.push_back(records[k].line);
    if (choice.lines.size() > 1) {
        choice.problem = HeaderChoice::repeated;
        return choice;
    }
    choice.lines.clear();
    choice.header = h;
    choice.columns = std::move(columns);
    choice.wider_rows = records[rows.front()].fields > width;
    return choice;
}

Columns body_columns(const std::vector<Record> &rows, size_t width) {
    std::vector<size_t> data;
    for (size_t k = 0; k < rows.size(); ++k)
        if (rows[k].fields > 0 && !rows[k].label)
            data.push_back(k);
    Columns columns = column_kinds(rows, data, width);
    for (const Record &r : rows)
        columns.remember(r);
    return columns;
}

HeaderChoice declared_header(const std::vector<Record> &records, size_t index) {
    constexpr size_t evidence_rows = 200;
    HeaderChoice choice;
    choice.header = index;
    size_t width = records[index].fields;
    std::vector<size_t> rows = data_below(records, index, evidence_rows);
    if (rows.empty())
        return choice;
    choice.columns = column_kinds(records, rows, width);
    for (size_t k = index + 1; k < records.size(); ++k)
        choice.columns.remember(records[k]);
    choice.wider_rows = records[rows.front()].fields > width;
    return choice;
}

Layout find_layout(std::string_view text) {
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

size_t notes_start(std::string_view text, char sep, std::vector<Record> &records, size_t from,
                   Columns &columns) {
    for (size_t k = from; k < records.size(); ++k) {
        if (!records[k].classified)
            classify(text, sep, records[k]);
        columns.remember(records[k]);
    }
    size_t start = records.size();
    for (size_t k = records.size(); k-- > from;) {
        const Record &r = records[k];
        if (r.fields == 0)
            continue;
        if (!r.label)
            break;
        start = k;
    }
    // Nothing that could be a row is a note; nor the last line, when it
    // could be a row cut short and nothing but blank lines stands between it
    // and the rows (notes come after a table, a cut comes at its end).
    for (size_t k = start; k < records.size(); ++k)
        if (could_be_row(records[k], columns))
            start = k + 1;
    size_t last = records.size();
    while (last > start && records[last - 1].fields == 0)
        --last;
    if (last > start && last - 1 == start &&
        could_be_row(records[start], columns, Evidence::cut_short))
        start = last;
    // From a blank line on, lines of one field and lines with a label where
    // the table has values; otherwise lines of one field only.
    bool one_field = true, not_rows = true;  // of records[k..]
    size_t notes = records.size();
    for (size_t k = records.size(); k-- > start;) {
        if (records[k].fields == 0)
            continue;
        one_field = one_field && records[k].fields == 1;
        not_rows = not_rows && (records[k].fields == 1 || foreign(records[k], columns));
        bool after_blank = k > from && records[k - 1].fields == 0;
        if (one_field || (after_blank && not_rows))
            notes = k;
    }
    return notes;
}

}  // namespace records::load
