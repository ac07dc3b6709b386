#include "records/load.hpp"

#include "host/host.hpp"

#include <algorithm>
#include <cstring>

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

// The bytes of a file: the first `limit` of them (all when limit < 0).
std::string file_bytes(nb::handle path, Py_ssize_t limit) {
    nb::object open = host::from_import("builtins", "open");
    nb::object file = open(path, "rb");
    nb::object data;
    try {
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
// The layout of delimited text

// One record of delimited text: a line, or several when a quoted field spans
// them.
struct Record {
    size_t line = 0;     // 0-based physical line where it starts
    size_t end = 0;      // byte offset just after it
    size_t fields = 0;   // 0 for a blank record
    bool numbers = false;  // a field starts like a number
    bool empty = false;    // a field is empty
    // A data row (numbers or empty cells) rather than a header.
    bool data() const { return numbers || empty; }
};

bool space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

// The records of `text` from byte `from` (the physical line there being
// `line`), at most `limit` of them.
std::vector<Record> scan(const std::string &text, char sep, size_t from, size_t line,
                         size_t limit) {
    std::vector<Record> records;
    size_t i = from, n = text.size();
    while (i < n && records.size() < limit) {
        Record r;
        r.line = line;
        bool quoted = false, blank = true, field_start = true, filled = false;
        size_t fields = 1;
        for (; i < n; ++i) {
            char c = text[i];
            if (quoted) {
                if (c == '"')
                    quoted = false;
                else if (c == '\n')
                    ++line;
                continue;
            }
            if (c == '\n') {
                ++i;
                ++line;
                break;
            }
            if (c == sep) {  // ",," is a row of missing cells, not a blank line
                r.empty = r.empty || !filled;
                ++fields;
                field_start = true;
                filled = false;
                blank = false;
                continue;
            }
            if (c == '"') {
                quoted = true;
                blank = false;
                field_start = false;
                filled = true;
                continue;
            }
            if (space(c))
                continue;
            blank = false;
            filled = true;
            if (field_start) {
                bool signed_number = (c == '-' || c == '+' || c == '.') && i + 1 < n &&
                                     digit(text[i + 1]);
                r.numbers = r.numbers || digit(c) || signed_number;
                field_start = false;
            }
        }
        r.fields = blank ? 0 : fields;
        r.empty = !blank && (r.empty || !filled);
        r.end = i;
        records.push_back(r);
    }
    return records;
}

struct Run {
    size_t start = 0, end = 0;  // [start, end) of the records
    size_t length = 0, fields = 0;  // non-blank records, and their fields
};

// The table of the records: the longest run of non-blank records with the
// same number of fields, at least two, blank lines between them allowed (the
// reader skips them); the later of equal runs (metadata comes first).
Run longest_run(const std::vector<Record> &records) {
    Run best, current;
    for (size_t k = 0; k < records.size(); ++k) {
        const Record &r = records[k];
        if (r.fields == 0)
            continue;
        if (r.fields >= 2 && current.length > 0 && r.fields == current.fields) {
            ++current.length;
            current.end = k + 1;
        } else {
            current = r.fields >= 2 ? Run{k, k + 1, 1, r.fields} : Run{};
        }
        if (current.length >= 2 && current.length >= best.length)
            best = current;
    }
    return best;
}

// The header of the table `run` of `records`: its first record -- but the
// last header-like record (no numbers, no empty cells) before its first three
// data rows in a row, when lines of metadata with as many fields as the table
// run into it ("Station,ABC" above "date,tmean"); or the record just before
// the run, when the run begins with a data row and that record, header-like,
// has another number of fields (a header shorter or longer than its rows).
size_t table_header(const std::vector<Record> &records, const Run &run) {
    std::vector<size_t> rows;  // the run's non-blank records
    for (size_t k = run.start; k < run.end; ++k)
        if (records[k].fields > 0)
            rows.push_back(k);
    for (size_t j = 0; j + 2 < rows.size(); ++j) {
        if (!(records[rows[j]].data() && records[rows[j + 1]].data() &&
              records[rows[j + 2]].data()))
            continue;
        for (size_t h = j; h > 0; --h)
            if (!records[rows[h - 1]].data())
                return rows[h - 1];
        break;
    }
    size_t header = run.start;
    size_t before = header;
    while (before > 0 && records[before - 1].fields == 0)
        --before;
    if (before > 0 && !records[before - 1].data() && records[header].data())
        header = before - 1;
    return header;
}

// The separator the header line holds most often outside quotes (the
// earlier of , ; tab | on a tie); a comma when it holds none.
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
    size_t header_line = 0;   // 0-based physical line
    size_t header_begin = 0;  // byte offsets of the header record
    size_t header_end = 0;
    size_t fields = 0;        // of the table's rows (0: no table found)
};

// The separator and the header of delimited text (the file's first bytes).
//
// The table is the longest run of records with one number of fields (two
// or more), with the separator that makes it longest (then widest); its
// header is found by table_header.  Without such a run (a one-column file, a
// header without rows) the header is the first non-blank line and the
// separator the one it holds most often.
Layout find_layout(const std::string &text) {
    Layout layout;
    Run best;
    std::vector<Record> best_records;
    for (char sep : separators) {
        std::vector<Record> records = scan(text, sep, 0, 0, (size_t) -1);
        Run run = longest_run(records);
        if (run.length > best.length || (run.length == best.length && run.fields > best.fields)) {
            best = run;
            best_records = std::move(records);
            layout.separator = sep;
        }
    }
    size_t header = 0;
    if (best.length >= 2) {
        header = table_header(best_records, best);
        layout.fields = best.fields;
    } else {
        best_records = scan(text, ',', 0, 0, (size_t) -1);
        while (header < best_records.size() && best_records[header].fields == 0)
            ++header;
        if (header == best_records.size())
            return layout;  // nothing but blank lines: the parser says so
        layout.separator = most_frequent_separator(
            text, header == 0 ? 0 : best_records[header - 1].end);
    }
    layout.header_line = best_records[header].line;
    layout.header_begin = header == 0 ? 0 : best_records[header - 1].end;
    layout.header_end = best_records[header].end;
    return layout;
}

// The data rows of a table that a block of notes follows: exports end the
// table with a blank line and lines of free text ("Notes:", "Quality flag Y
// means ..."), which would otherwise become rows.  Such a block is found in
// the file's last bytes: the records after the last one with the table's
// number of fields, when a blank line opens them or none of them has more
// than one field.  The number of data rows before it (blank lines not
// counted, as the reader skips them), or -1 when the file ends with its
// table.
long rows_before_notes(nb::handle path, const std::string &sample, bool whole,
                       const Layout &layout) {
    if (layout.fields < 2)
        return -1;
    std::string tail;
    size_t from = 0;
    if (whole) {
        tail = sample;
        from = layout.header_end;
    } else {
        constexpr Py_ssize_t tail_bytes = 64 * 1024;
        nb::object open = host::from_import("builtins", "open");
        nb::object file = open(path, "rb");
        try {
            file.attr("seek")(-tail_bytes, 2);
        } catch (nb::python_error &) {  // a file shorter than that: from its start
            file.attr("seek")(0);
        }
        nb::object data = file.attr("read")();
        file.attr("close")();
        char *buffer = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(data.ptr(), &buffer, &size) != 0)
            throw nb::python_error();
        tail.assign(buffer, (size_t) size);
        size_t first = tail.find('\n');  // a whole record from here on
        from = first == std::string::npos ? tail.size() : first + 1;
    }
    std::vector<Record> records = scan(tail, layout.separator, from, 0, (size_t) -1);
    size_t last = records.size();
    for (size_t k = records.size(); k-- > 0;)
        if (records[k].fields == layout.fields) {
            last = k;
            break;
        }
    if (last == records.size() || last + 1 == records.size())
        return -1;
    bool opened_by_blank = records[last + 1].fields == 0;
    bool text_only = true, any = false;
    for (size_t k = last + 1; k < records.size(); ++k) {
        any = any || records[k].fields > 0;
        text_only = text_only && records[k].fields <= 1;
    }
    if (!any || !(opened_by_blank || text_only))
        return -1;
    // The rows up to the last one of the table, counted over the whole file.
    std::string text = whole ? sample : file_bytes(path, -1);
    size_t end_of_table = whole ? records[last].end
                                : text.size() - (tail.size() - records[last].end);
    size_t start = whole ? layout.header_end : 0;
    if (!whole) {  // the header's end in the whole file: the sample's offset plus its BOM
        size_t bom = text.compare(0, 3, "\xef\xbb\xbf") == 0 ? 3 : 0;
        start = layout.header_end + bom;
    }
    std::vector<Record> body = scan(text.substr(0, end_of_table), layout.separator, start, 0,
                                    (size_t) -1);
    long rows = 0;
    for (const Record &r : body)
        if (r.fields > 0)
            ++rows;
    return rows;
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

// ---------------------------------------------------------------------------
// Readers of each format

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
    source.header_line = layout.header_line + 1;
    source.encoding = encoding;

    nb::dict kwargs;
    kwargs["sep"] = nb::str(&layout.separator, 1);
    kwargs["engine"] = "c";
    kwargs["skipinitialspace"] = true;
    kwargs["index_col"] = false;
    if (layout.header_line > 0)
        kwargs["skiprows"] = nb::int_(layout.header_line);
    long rows = rows_before_notes(path, text, whole, layout);
    if (rows >= 0)
        kwargs["nrows"] = nb::int_(rows);

    if (nb::len(text_columns) > 0) {
        // Text columns are read as text by their labels as the file writes
        // them (padded or not).
        nb::bytes header_bytes(text.data() + layout.header_begin,
                               layout.header_end - layout.header_begin);
        nb::object header_text = header_bytes.attr("decode")(
            std::strcmp(encoding, "cp1252") == 0 ? "cp1252" : "utf-8", "replace");
        nb::object csv_reader = host::from_import("csv", "reader");
        nb::object rows = csv_reader(nb::make_tuple(header_text.attr("strip")("\r\n")),
                                     nb::arg("delimiter") = kwargs["sep"],
                                     nb::arg("skipinitialspace") = true);
        nb::object labels = host::from_import("builtins", "next")(rows, nb::list());
        nb::dict dtype;
        for (nb::handle label : labels)
            if (host::contains(text_columns, label.attr("strip")()))
                dtype[label] = "str";
        if (dtype.size() > 0)
            kwargs["dtype"] = dtype;
    }

    nb::object read_csv = pd.attr("read_csv");
    kwargs["encoding"] = encoding;
    try {
        return read_csv(path, **kwargs);
    } catch (nb::python_error &e) {
        if (std::strcmp(encoding, "utf-8-sig") != 0 || !host::error_is(e, PyExc_UnicodeDecodeError))
            throw;
    }
    // The first lines were UTF-8 but a later one is not.
    kwargs["encoding"] = "cp1252";
    source.encoding = "cp1252";
    return read_csv(path, **kwargs);
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

// The header row of a sheet: the rows' widths (up to their last filled cell)
// make the records the same rule as for text chooses from.
size_t sheet_header(nb::handle raw) {
    nb::object filled = raw.attr("notna")().attr("to_numpy")();
    nb::tuple shape = nb::borrow<nb::tuple>(filled.attr("shape"));
    size_t rows = nb::cast<size_t>(shape[0]), columns = nb::cast<size_t>(shape[1]);
    nb::list cells = nb::list(raw.attr("values").attr("tolist")());
    nb::list marks = nb::list(filled.attr("tolist")());
    std::vector<Record> records(rows);
    for (size_t i = 0; i < rows; ++i) {
        nb::list mark = nb::borrow<nb::list>(marks[i]);
        nb::list row = nb::borrow<nb::list>(cells[i]);
        size_t width = 0;
        for (size_t j = 0; j < columns; ++j) {
            if (!nb::cast<bool>(mark[j]))
                continue;
            width = j + 1;
            PyObject *cell = row[j].ptr();
            if (PyLong_Check(cell) || PyFloat_Check(cell))
                records[i].numbers = true;
        }
        records[i].fields = width;
        records[i].line = i;
    }
    Run run = longest_run(records);
    return run.length < 2 ? 0 : table_header(records, run);
}

nb::object read_excel(nb::handle pd, nb::handle path, TableSource &source) {
    nb::object raw = read_typed(
        [&] { return pd.attr("read_excel")(path, nb::arg("header") = nb::none(),
                                           nb::arg("nrows") = 256); },
        "Excel", "excel");
    size_t header = sheet_header(raw);
    source.header_line = header + 1;
    if (header == 0)
        return pd.attr("read_excel")(path);
    return pd.attr("read_excel")(path, nb::arg("header") = nb::int_(header));
}

nb::object strip_if_text(nb::handle label) {
    if (PyUnicode_Check(label.ptr()))
        return label.attr("strip")();
    return nb::borrow(label);
}

// Two labels that stripping made equal would make one label name two
// columns: a ValueError naming the label and both columns (1-based, as a
// spreadsheet counts them), with their labels as written.
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
        host::raise(PyExc_ValueError,
                    host::text("two columns of ", host::Repr{path}, " are labelled ",
                               host::Repr{label},
                               " once blanks around their labels are stripped: column ",
                               host::Str{nb::int_(i + 1)}, " (", host::Repr{originals[i]},
                               ") and column ", host::Str{nb::int_(j + 1)}, " (",
                               host::Repr{originals[j]}, ")"));
    }
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
        nb::object stripped = strip_if_text(label);
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
    // Skip to the line after the header: the header record itself first.
    size_t line = 0;
    while (from < text.size() && line + 1 < source.header_line) {
        if (text[from] == '\n')
            ++line;
        ++from;
    }
    std::vector<Record> records = scan(text, source.separator, from, line, (size_t) -1);
    for (size_t k = 1; k < records.size() && lines.size() < rows; ++k)
        if (records[k].fields > 0)
            lines.push_back(records[k].line + 1);
    return lines;
}

}  // namespace records
