#include "records/load/tokens.hpp"

#include <cctype>
#include <cstring>

namespace records::load {

bool space(char c) { return c == ' ' || c == '\t' || c == '\f' || c == '\v'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

namespace {

// Splits the record at `i` (physical line `line`) into r, calling
// cell(content) for each field when `Cells` is not null (content: the
// field's text, quotes undone, surrounding blanks kept but the leading ones).
template <typename Cells>
size_t split(std::string_view text, size_t i, size_t line, char sep, Record &r, Cells *cells) {
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
    r.unclosed = state == quoted;
    if (!blank)
        end_field();
    return n;
}

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
// "01-Jan-2024", "15.01.2024"): cell_number or cell_date; cell_label when it
// is neither.
unsigned char value_kind(std::string_view s) {
    if (s == "inf" || s == "-inf" || s == "+inf" || s == "Infinity" || s == "-Infinity")
        return cell_number;
    bool digits = false, date = false;
    size_t dots = 0;
    size_t n = s.size();
    for (size_t i = 0; i < n;) {
        char c = s[i];
        if (digit(c)) {
            digits = true;
            ++i;
            continue;
        }
        if (c == '-') {  // between digits a date's separator; else a sign
            date = date || (i > 0 && digit(s[i - 1]));
            ++i;
            continue;
        }
        if (c == '/' || c == ':') {
            date = true;
            ++i;
            continue;
        }
        if (c == '+' || c == '.' || c == ',' || c == ' ' || c == '%') {
            dots += c == '.';
            ++i;
            continue;
        }
        if (!std::isalpha((unsigned char) c))
            return cell_label;
        size_t j = i;
        while (j < n && std::isalpha((unsigned char) s[j]))
            ++j;
        std::string_view word = s.substr(i, j - i);
        bool after_digit = i > 0 && (digit(s[i - 1]) || s[i - 1] == '.');
        bool before_digit = j < n && (digit(s[j]) || s[j] == '+' || s[j] == '-');
        if ((word == "e" || word == "E") && after_digit && before_digit) {
            if (s[j] == '+' || s[j] == '-')
                ++j;  // the exponent's sign is no date separator
        } else if ((word == "T" && after_digit && j < n && digit(s[j])) ||
                   (word == "Z" && after_digit && j == n) ||
                   ((word == "AM" || word == "PM" || word == "am" || word == "pm") && i > 0) ||
                   month_name(word)) {
            date = true;
        } else {
            return cell_label;
        }
        i = j;
    }
    if (!digits)
        return cell_label;
    return date || dots > 1 ? cell_date : cell_number;
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

}  // namespace

const char *const missing_markers[19] = {"",     "#N/A", "#N/A N/A", "#NA",  "-1.#IND",
                                         "-1.#QNAN", "-NaN", "-nan", "1.#IND", "1.#QNAN",
                                         "<NA>", "N/A",  "NA",       "NULL", "NaN",
                                         "None", "n/a",  "nan",      "null"};

size_t next_record(std::string_view text, size_t i, size_t line, char sep, Record &r) {
    return split<void(const std::string &)>(text, i, line, sep, r, nullptr);
}

std::vector<Record> scan(std::string_view text, char sep, size_t from, size_t line) {
    std::vector<Record> records;
    size_t i = from;
    while (i < text.size()) {
        Record r;
        i = next_record(text, i, line, sep, r);
        line = r.last_line + 1;
        records.push_back(std::move(r));
    }
    return records;
}

std::string stripped(std::string_view content) { return std::string(stripped_view(content)); }

unsigned char cell_type(std::string_view content) {
    std::string_view s = stripped_view(content);
    if (s.empty())
        return cell_empty;
    if (s.size() <= 8 && !digit(s[0]))
        for (const char *marker : missing_markers)
            if (s == marker)
                return cell_missing;
    return value_kind(s);
}

void settle_label(Record &r) {
    size_t last = r.types.size();
    while (last > 0 && r.types[last - 1] == cell_empty)
        --last;
    r.filled = last;
    bool label = last > 0;
    for (size_t j = 0; j < last && label; ++j)
        label = r.types[j] == cell_label || (j == 0 && r.types[j] == cell_empty);
    r.label = label && !(last == 1 && r.types[0] == cell_empty);
}

void classify(std::string_view text, char sep, Record &r) {
    r.classified = true;
    if (r.fields == 0)
        return;
    r.types.clear();
    r.words.clear();
    auto cells = [&](const std::string &content) {
        r.types.push_back(cell_type(content));
        r.words.push_back(stripped(content));
    };
    Record again;
    split(text, r.begin, r.line, sep, again, &cells);
    settle_label(r);
}

std::vector<std::string> cells_as_written(std::string_view text, char sep, const Record &r) {
    // The split skips blanks before a field; read them back from the bytes.
    std::vector<std::string> out;
    size_t i = r.begin;
    auto cells = [&](const std::string &content) {
        std::string lead;
        while (i < r.end && space(text[i]) && text[i] != sep)
            lead += text[i++];
        out.push_back(i < r.end && text[i] == '"' ? content : lead + content);
        // Past this field in the bytes, to the next field's start.
        if (i < r.end && text[i] == '"') {
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

size_t line_at(std::string_view text, size_t at) {
    size_t line = 1;
    for (size_t i = 0; i < at && i < text.size(); ++i) {
        if (text[i] == '\n')
            ++line;
        else if (text[i] == '\r' && !(i + 1 < text.size() && text[i + 1] == '\n'))
            ++line;
    }
    return line;
}

}  // namespace records::load
