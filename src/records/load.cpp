// Loading a record file: the formats (delimited text, Excel, parquet), how
// text is decoded, and what pandas is given to read.  The records and cells
// of text are in load/tokens.cpp, where a table stands among them in
// load/layout.cpp, what bytes say of their encoding in load/encoding.cpp.
#include "records/load.hpp"

#include "host/host.hpp"
#include "records/load/encoding.hpp"
#include "records/load/layout.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace records {

using namespace records::load;

namespace {

const char *const excel_suffixes[] = {".xlsx", ".xlsm", ".xls"};

// How much of a file the layout is found from.
constexpr size_t sample_bytes = 256 * 1024;
// How much of a file's end is looked at for notes before the whole file is.
constexpr size_t tail_bytes = 64 * 1024;
// How many rows above a block of notes tell what the table's text columns
// hold.
constexpr size_t tail_rows = 1000;

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

// The bytes of a file, as a bytes object.
nb::object file_bytes(nb::handle path) {
    nb::object file = host::from_import("builtins", "open")(path, "rb");
    nb::object data;
    try {
        data = file.attr("read")();
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    if (!PyBytes_Check(data.ptr()))
        host::raise(PyExc_TypeError, nb::str("a file opened in binary mode read as no bytes"));
    return data;
}

std::string_view view_of(nb::handle bytes) {
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0)
        throw nb::python_error();
    return std::string_view(data, (size_t) size);
}

// ---------------------------------------------------------------------------
// Errors at a line

// A ValueError with its note "while reading <path>, at line N"; `header`,
// when given, the lines (1-based) that could be the header, as the error's
// attribute header_lines (a farm names one in farm.yaml's header:).
[[noreturn]] void raise_at(nb::handle path, size_t line, const nb::str &message,
                           const std::vector<size_t> &header = {}) {
    nb::object error = nb::handle(PyExc_ValueError)(message);
    error.attr("line") = nb::int_(line);
    if (!header.empty()) {
        nb::list lines;
        for (size_t h : header)
            lines.append(nb::int_(h));
        error.attr("header_lines") = lines;
    }
    error.attr("add_note")(
        host::text("while reading ", host::Repr{path}, ", at line ", std::to_string(line)));
    PyErr_SetObject(PyExc_ValueError, error.ptr());
    throw nb::python_error();
}

bool noted(nb::handle value) {
    return nb::hasattr(value, "__notes__") && nb::len(nb::object(value.attr("__notes__"))) > 0;
}

// Adds "while reading <path>[, at line N]" to a loading error, N taken from
// the parser's message ("... in line 9, saw 22").
void note_error(nb::python_error &error, nb::handle path) {
    nb::object value = nb::borrow(error.value());
    if (!nb::hasattr(value, "add_note") || noted(value))
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
    // The line as a field too, for whoever reports the error.
    if (!where.empty() && PyObject_SetAttrString(value.ptr(), "line", nb::int_(std::stol(where)).ptr()) != 0)
        PyErr_Clear();
}

// "line 4", "lines 1-10", "lines 2, 5-9 and 12" (1-based from 0-based,
// sorted).
std::string spans(const char *word, const std::vector<size_t> &lines) {
    std::vector<std::pair<size_t, size_t>> runs;
    for (size_t line : lines) {
        if (!runs.empty() && line == runs.back().second + 1)
            runs.back().second = line;
        else
            runs.emplace_back(line, line);
    }
    std::string out = std::string(word) + (lines.size() > 1 ? "s " : " ");
    for (size_t k = 0; k < runs.size(); ++k) {
        if (k > 0)
            out += k + 1 == runs.size() ? " and " : ", ";
        out += std::to_string(runs[k].first + 1);
        if (runs[k].second > runs[k].first)
            out += "-" + std::to_string(runs[k].second + 1);
    }
    return out;
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

// The header choice's problem as a ValueError at the first line it names;
// `word` is "line" or "row".
void raise_problem(nb::handle path, const HeaderChoice &choice, const char *word) {
    std::vector<size_t> named;
    for (size_t line : choice.lines)
        named.push_back(line + 1);
    if (choice.problem == HeaderChoice::rows_above)
        raise_at(path, named.front(),
                 host::text(spans(word, choice.lines), " of ", host::Repr{path},
                            choice.lines.size() > 1 ? " look" : " looks",
                            " like rows of the table: is the header missing above ",
                            choice.lines.size() > 1 ? "them" : "it", "? The header is ", word,
                            " ", std::to_string(choice.rows_from + 1), "; put the header above "
                            "every row, or delete what repeats rows below it"),
                 {choice.rows_from + 1});
    std::string which = numbered(word, choice.lines);
    if (choice.problem == HeaderChoice::repeated)
        raise_at(path, named.front(),
                 host::text(host::Repr{path}, " holds its header more than once: ", which,
                            " hold the same labels, as when one export is appended to "
                            "another; keep one table per file (delete the repeated header "
                            "and the rows it repeats)"));
    if (choice.rows_from > 0)
        raise_at(path, named.front(),
                 host::text("cannot tell which ", word, " of ", host::Repr{path},
                            " is its header: ", which, " hold labels right above its "
                            "rows (", word, " ", std::to_string(choice.rows_from + 1), " on)",
                            choice.between.empty()
                                ? std::string()
                                : ", and " + spans(word, choice.between) + " above them " +
                                      (choice.between.size() > 1 ? "look" : "looks") +
                                      " like rows of the table",
                            "; delete the ", word, "s that are not the header (units, "
                            "a title), or put a blank ", word, " under a title"),
                 named);
    raise_at(path, named.front(),
             host::text("cannot tell which ", word, " of ", host::Repr{path},
                        " is its header: ", which, " both hold labels where its rows hold "
                        "values, with rows between them",
                        choice.between.empty() ? std::string() : " (" + spans(word, choice.between) + ")",
                        "; if the later one is a row, correct its cells, and keep one table per "
                        "file"),
             named);
}

// ---------------------------------------------------------------------------
// Decoding

// The text of a file as pandas is to decode it: its bytes (UTF-8 or
// Windows-1252), with the byte-order mark (when there is one) in front.
struct Text {
    nb::object bytes;
    size_t from = 0;  // after the byte-order mark
    const char *codec = "utf-8";
};

// An excerpt of the line around byte `at` (at most 60 bytes), decoded.
nb::object excerpt(std::string_view text, size_t at, const char *codec) {
    size_t begin = at, end = at;
    while (begin > 0 && text[begin - 1] != '\n' && text[begin - 1] != '\r' && at - begin < 30)
        --begin;
    while (end < text.size() && text[end] != '\n' && text[end] != '\r' && end - at < 30)
        ++end;
    return nb::bytes(text.data() + begin, end - begin).attr("decode")(codec, "replace");
}

nb::str byte_text(unsigned char c) {
    static const char digits[] = "0123456789ABCDEF";
    char hex[5] = {'0', 'x', digits[c >> 4], digits[c & 15], 0};
    return nb::str(hex);
}

// The first byte of `text` that Windows-1252 does not define, or npos.
size_t undefined_in_1252(std::string_view text) {
    return text.find_first_of(std::string_view("\x81\x8d\x8f\x90\x9d", 5));
}

Text decode(nb::handle path, nb::object raw, TableSource &source, const std::string &declared) {
    std::string_view all = view_of(raw);
    Text out;
    if (declared == "cp1252" || declared == "latin-1") {
        // As farm.yaml says (a byte-order mark of UTF-8 is left out).
        out.bytes = raw;
        out.from = all.compare(0, 3, "\xef\xbb\xbf") == 0 ? 3 : 0;
        out.codec = declared == "cp1252" ? "cp1252" : "latin-1";
        source.encoding = out.codec;
        size_t at = declared == "cp1252" ? undefined_in_1252(all.substr(out.from))
                                         : std::string_view::npos;
        if (at != std::string_view::npos) {
            std::string_view text = all.substr(out.from);
            size_t line = line_at(text, at);
            raise_at(path, line,
                     host::text(host::Repr{path}, " is not Windows-1252, as farm.yaml says: line ",
                                std::to_string(line), " holds the byte ",
                                byte_text((unsigned char) text[at]), " (",
                                host::Repr{excerpt(text, at, "latin-1")},
                                "), which it does not have; say encoding: latin-1, or save the "
                                "file as UTF-8"));
        }
        return out;
    }
    if (all.compare(0, 2, "\xff\xfe") == 0 || all.compare(0, 2, "\xfe\xff") == 0) {
        // UTF-16 with its byte-order mark (a spreadsheet's "Unicode text"):
        // the same text as UTF-8, whose lines are the same.
        try {
            out.bytes = raw.attr("decode")("utf-16").attr("encode")("utf-8");
        } catch (nb::python_error &error) {
            if (!host::error_is(error, PyExc_UnicodeDecodeError))
                throw;
            size_t at = nb::cast<size_t>(error.value().attr("start"));
            nb::object before = nb::bytes(all.data(), at)
                                    .attr("decode")("utf-16", "replace")
                                    .attr("encode")("utf-8");
            std::string_view decoded = view_of(before);
            size_t line = line_at(decoded, decoded.size());
            raise_at(path, line,
                     host::text(host::Repr{path}, " is UTF-16 (its byte-order mark says so), but "
                                "line ", std::to_string(line), " holds bytes that are not (",
                                host::Str{error.value().attr("reason")},
                                "): the file ends inside a character, cut short?"));
        }
        source.encoding = "utf-16";
        return out;
    }
    out.bytes = raw;
    out.from = all.compare(0, 3, "\xef\xbb\xbf") == 0 ? 3 : 0;
    source.encoding = out.from ? "utf-8-sig" : "utf-8";
    std::string_view text = all.substr(out.from);
    Survey s = survey(text);
    if (s.utf8())
        return out;
    size_t line = line_at(text, s.bad);
    unsigned char bad = (unsigned char) text[s.bad];
    if (declared == "utf-8")
        raise_at(path, line,
                 host::text(host::Repr{path}, " is not UTF-8, as farm.yaml says: line ",
                            std::to_string(line), " holds the byte ", byte_text(bad), " (",
                            host::Repr{excerpt(text, s.bad, "utf-8")},
                            "); say the file's encoding (cp1252 or latin-1), or save it as "
                            "UTF-8"));
    if (out.from > 0 || s.multibyte != Survey::none) {
        nb::str evidence =
            out.from > 0
                ? nb::str("it begins with the byte-order mark of UTF-8")
                : host::text("line ", std::to_string(line_at(text, s.multibyte)), " holds UTF-8 (",
                             host::Repr{excerpt(text, s.multibyte, "utf-8")}, ")");
        raise_at(path, line,
                 host::text(host::Repr{path}, " is not UTF-8 throughout: line ",
                            std::to_string(line), " holds the byte ", byte_text(bad), " (",
                            host::Repr{excerpt(text, s.bad, "utf-8")},
                            "), which UTF-8 does not allow there, while ", evidence,
                            "; a file has one encoding: save it again as UTF-8"));
    }
    if (s.undefined != Survey::none) {
        size_t at = line_at(text, s.undefined);
        raise_at(path, at,
                 host::text(host::Repr{path}, " is neither UTF-8 nor Windows-1252: line ",
                            std::to_string(at), " holds the byte ",
                            byte_text((unsigned char) text[s.undefined]), " (",
                            host::Repr{excerpt(text, s.undefined, "latin-1")},
                            "), which neither encoding has; save the file again as UTF-8"));
    }
    // No byte sequence of the file is UTF-8 beyond ASCII: what spreadsheet
    // programs on Windows write.
    out.codec = "cp1252";
    source.encoding = "cp1252";
    source.legacy_line = line_at(text, s.high);
    source.legacy_byte = (unsigned char) text[s.high];
    return out;
}

// ---------------------------------------------------------------------------
// Notes after the table

struct Notes {
    size_t begin = (size_t) -1;            // byte offset of the block, -1 when none
    size_t first_line = 0, last_line = 0;  // 1-based, 0 when none
};

// Whether the last bytes of a file may end in notes: they are read as
// records from their first line end, once as they come and once as the rest
// of a quoted cell, since the cut may fall inside one.
bool may_end_in_notes(std::string_view data, char sep, const Columns &columns) {
    std::string_view tail = data.substr(data.size() > tail_bytes ? data.size() - tail_bytes : 0);
    size_t first = tail.find_first_of("\r\n");
    tail.remove_prefix(first == std::string_view::npos ? tail.size() : first + 1);
    std::string quoted = "\"" + std::string(tail);
    for (std::string_view text : {tail, std::string_view(quoted)}) {
        std::vector<Record> records = scan(text, sep, 0, 0);
        Columns own = columns;
        if (records.size() > 1 && notes_start(text, sep, records, 1, own) < records.size())
            return true;
    }
    return false;
}

Notes find_notes(std::string_view data, std::string_view sample, bool whole, Layout &layout) {
    Notes notes;
    // Without rows that show what the table's columns hold, any line after
    // the header may be a row.
    if (layout.header == (size_t) -1 || layout.records[layout.header].fields < 2 ||
        layout.choice.columns.width() == 0)
        return notes;
    char sep = layout.separator;
    Columns columns = layout.choice.columns;
    std::vector<Record> full;
    std::vector<Record> *records = &layout.records;
    size_t from = layout.header + 1;
    std::string_view text = sample;
    if (!whole) {
        if (!may_end_in_notes(data, sep, columns))
            return notes;
        // The whole file, from the header on, where every quote is known.
        const Record &header = layout.records[layout.header];
        full = scan(data, sep, header.begin, header.line);
        records = &full;
        from = 1;
        text = data;
    }
    size_t start = notes_start(text, sep, *records, std::max(from, records->size() > tail_rows
                                                                      ? records->size() - tail_rows
                                                                      : from),
                               columns);
    if (start == records->size())
        return notes;
    notes.begin = (*records)[start].begin;
    notes.first_line = (*records)[start].line + 1;
    for (size_t k = records->size(); k-- > start;)
        if ((*records)[k].fields > 0) {
            notes.last_line = (*records)[k].last_line + 1;
            break;
        }
    return notes;
}

// The header a farm declares, at its line: the record that begins there.
void declare_header(nb::handle path, Layout &layout, size_t line, bool whole) {
    for (size_t k = 0; k < layout.records.size(); ++k) {
        const Record &r = layout.records[k];
        if (r.line + 1 < line)
            continue;
        if (r.line + 1 > line || r.fields == 0)
            break;
        layout.choice = declared_header(layout.records, k);
        layout.header = k;
        return;
    }
    bool past = whole && (layout.records.empty() || layout.records.back().last_line + 1 < line);
    raise_at(path, line,
             host::text("line ", std::to_string(line), " of ", host::Repr{path},
                        past ? " is past the end of the file"
                        : whole ? " holds no labels (it is blank, or inside a record above it)"
                                : " is beyond the first 256 KiB of the file, where its header is "
                                  "looked for",
                        ": farm.yaml's header names the line that holds the table's labels"));
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

// A label without the blanks around it, nor a byte-order mark in front (one
// left inside the text when a file that begins with one was appended to
// another).
nb::object stripped_text(nb::handle label) {
    if (PyUnicode_Check(label.ptr()))
        return label.attr("strip")().attr("lstrip")("\ufeff").attr("strip")();
    return nb::borrow(label);
}

// pandas.read_csv(file, **kwargs); when the first row is wider than the
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

// The bytes of `data` with the lines of `blanks` (byte ranges) emptied: their
// line ends kept, so that every line stays where it is.
nb::object blanked(std::string_view data, std::vector<std::pair<size_t, size_t>> blanks) {
    std::sort(blanks.begin(), blanks.end());
    std::string out;
    out.reserve(data.size());
    size_t at = 0;
    for (auto [begin, end] : blanks) {
        begin = std::max(begin, at);
        if (begin >= end)
            continue;
        out.append(data.substr(at, begin - at));
        for (size_t i = begin; i < end; ++i)
            if (data[i] == '\n' || data[i] == '\r')
                out += data[i];
        at = end;
    }
    out.append(data.substr(at));
    return nb::bytes(out.data(), out.size());
}

nb::object read_delimited(nb::handle pd, nb::handle path, nb::handle text_columns,
                          TableSource &source, bool want_lines, const LoadOptions &options) {
    Text decoded = decode(path, file_bytes(path), source, options.encoding);
    std::string_view data = view_of(decoded.bytes).substr(decoded.from);
    bool whole = data.size() <= sample_bytes;
    std::string_view sample = data.substr(0, sample_bytes);
    if (!whole) {  // a whole number of lines, so that no character is cut
        size_t last = sample.find_last_of("\r\n");
        if (last != std::string_view::npos)
            sample = sample.substr(0, last + 1);
    }
    Layout layout = find_layout(sample);
    if (options.header_line > 0)
        declare_header(path, layout, options.header_line, whole);
    source.separator = layout.separator;
    source.header_line = 1;

    nb::dict kwargs;
    kwargs["sep"] = nb::str(&layout.separator, 1);
    kwargs["engine"] = "c";
    kwargs["skipinitialspace"] = true;
    kwargs["index_col"] = false;
    const Record *header = nullptr, *first_row = nullptr;
    std::vector<std::pair<size_t, size_t>> blanks;  // what pandas is not to read
    size_t table_begin = 0, table_end = data.size();
    if (layout.header != (size_t) -1) {
        if (layout.choice.problem != HeaderChoice::none)
            raise_problem(path, layout.choice, "line");
        header = &layout.records[layout.header];
        source.header_line = header->line + 1;
        table_begin = header->begin;
        for (size_t k = 0; k < layout.header; ++k)
            if (layout.records[k].fields > 0) {
                if (source.preamble_first == 0)
                    source.preamble_first = layout.records[k].line + 1;
                source.preamble_last = layout.records[k].last_line + 1;
            }
        // Lines above the header pandas is not to read: the preamble, and
        // lines of blanks it would take for a header (a form feed alone).
        if (data.substr(0, table_begin).find_first_not_of("\r\n") != std::string_view::npos)
            blanks.emplace_back(0, table_begin);
        for (size_t k = layout.header + 1; k < layout.records.size() && !first_row; ++k)
            if (layout.records[k].fields > 0)
                first_row = &layout.records[k];
        Notes notes = find_notes(data, sample, whole, layout);
        if (notes.begin != (size_t) -1) {
            table_end = notes.begin;
            blanks.emplace_back(table_end, data.size());
            source.notes_first = notes.first_line;
            source.notes_last = notes.last_line;
        }

        // The labels as written: two made equal by stripping are refused
        // (pandas would strip the leading blanks and rename the second).
        nb::list written, stripped;
        for (const std::string &cell : cells_as_written(sample, layout.separator, *header)) {
            nb::object label =
                nb::bytes(cell.data(), cell.size()).attr("decode")(decoded.codec, "replace");
            written.append(label);
            stripped.append(stripped_text(label));
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

    // Lines of form feeds or vertical tabs alone are blank, as lines of
    // spaces are; pandas would read them as rows.
    std::string_view table = data.substr(table_begin, table_end - table_begin);
    std::vector<Record> rows;  // the table's records, when needed
    bool odd_blanks = std::memchr(table.data(), '\f', table.size()) ||
                      std::memchr(table.data(), '\v', table.size());
    if (odd_blanks || want_lines) {
        rows = scan(data.substr(0, table_end), layout.separator, table_begin,
                    header ? header->line : 0);
        for (const Record &r : rows)
            if (r.fields == 0 && odd_blanks &&
                data.substr(r.begin, r.end - r.begin).find_first_of("\f\v") !=
                    std::string_view::npos)
                blanks.emplace_back(r.begin, r.end);
    }
    if (want_lines)
        for (size_t k = header ? 1 : 0; k < rows.size(); ++k)
            if (rows[k].fields > 0)
                source.lines.push_back(rows[k].line + 1);

    nb::object buffer = blanks.empty() ? decoded.bytes : blanked(data, blanks);
    bool with_bom = blanks.empty() && decoded.from > 0;
    kwargs["encoding"] = with_bom ? "utf-8-sig" : decoded.codec;
    nb::object stream = host::from_import("io", "BytesIO")(buffer);
    bool wider = header && first_row && first_row->filled > header->fields;
    try {
        return parse(pd, stream, kwargs, wider, path, header, first_row);
    } catch (nb::python_error &error) {
        // A quoted cell the file never closes: where it opens.
        std::string message = host::utf8(host::str(error.value()));
        if (message.find("EOF inside string") == std::string::npos)
            throw;
        std::vector<Record> records =
            scan(data.substr(0, table_end), layout.separator, table_begin, header ? header->line : 0);
        if (records.empty() || !records.back().unclosed)
            throw;
        size_t line = records.back().line + 1;
        raise_at(path, line,
                 host::text("line ", std::to_string(line), " of ", host::Repr{path},
                            " opens a quoted cell (\") that the file never closes: the file ends "
                            "inside it -- cut short, or a stray quote?"));
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
        r.classified = true;
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
            } else if (PyObject_IsInstance(cell.ptr(), times.ptr()) == 1) {
                type = cell_date;
            } else if (PyNumber_Check(cell.ptr()) || PyBool_Check(cell.ptr())) {
                type = cell_number;
                word = host::utf8(host::str(cell));
            } else {
                word = host::utf8(host::str(cell));
            }
            r.types.push_back(type);
            r.words.push_back(word);
        }
        settle_label(r);
        r.fields = r.filled;
        r.types.resize(r.filled);
        r.words.resize(r.filled);
    }
    return records;
}

// The sheet of a workbook a farm names: its name, or a ValueError naming
// the workbook's sheets.
nb::object sheet_named(nb::handle pd, nb::handle path, nb::handle sheet) {
    nb::object book = read_typed([&] { return pd.attr("ExcelFile")(path); }, "Excel", "excel");
    nb::list names = nb::list(book.attr("sheet_names"));
    book.attr("close")();
    if (PyUnicode_Check(sheet.ptr()) ? host::contains(names, sheet)
                                     : nb::cast<size_t>(sheet) < nb::len(names))
        return PyUnicode_Check(sheet.ptr()) ? nb::borrow(sheet) : nb::object(names[nb::cast<size_t>(sheet)]);
    host::raise(PyExc_ValueError,
                host::text("the workbook ", host::Repr{path}, " has no sheet ", host::Repr{sheet},
                           ": its sheets are ", host::Str{names},
                           " (by name, or by position from 0)"));
}

nb::object read_excel(nb::handle pd, nb::handle path, nb::handle text_columns, TableSource &source,
                      bool want_lines, const LoadOptions &options) {
    nb::object sheet = options.sheet.is_valid() ? sheet_named(pd, path, options.sheet)
                                                : nb::object(nb::int_(0));
    if (PyUnicode_Check(sheet.ptr()))
        source.sheet = host::utf8(sheet);
    nb::object raw = read_typed(
        [&] { return pd.attr("read_excel")(path, nb::arg("header") = nb::none(),
                                           nb::arg("nrows") = 256,
                                           nb::arg("sheet_name") = sheet); },
        "Excel", "excel");
    size_t header = 0;
    if (options.header_line > 0) {
        header = options.header_line - 1;
    } else {
        std::vector<Record> records = sheet_records(raw);
        HeaderChoice choice = choose_header(records);
        if (choice.problem != HeaderChoice::none)
            raise_problem(path, choice, "row");
        header = choice.header == (size_t) -1 ? 0 : choice.header;
    }
    source.header_line = header + 1;
    std::vector<Record> records = sheet_records(raw);
    for (size_t k = 0; k < header && k < records.size(); ++k)
        if (records[k].fields > 0) {
            if (source.preamble_first == 0)
                source.preamble_first = k + 1;
            source.preamble_last = k + 1;
        }
    // Text columns as text, only their empty cells missing ("NA" is a tag);
    // the other columns with pandas' missing markers.
    nb::dict kwargs;
    kwargs["header"] = nb::int_(header);
    kwargs["sheet_name"] = sheet;
    if (nb::len(text_columns) > 0 && header < (size_t) nb::len(raw)) {
        nb::list labels = nb::list(raw.attr("iloc")[nb::int_(header)].attr("tolist")());
        nb::dict dtype, missing;
        nb::list markers, empty;
        for (const char *marker : missing_markers)
            markers.append(nb::str(marker));
        empty.append(nb::str(""));
        for (nb::handle label : labels) {
            if (!PyUnicode_Check(label.ptr()))
                continue;
            bool text_column = host::contains(text_columns, stripped_text(label));
            if (text_column)
                dtype[label] = host::from_import("builtins", "object");
            missing[label] = text_column ? empty : markers;
        }
        if (dtype.size() > 0) {
            kwargs["dtype"] = dtype;
            kwargs["keep_default_na"] = false;
            kwargs["na_values"] = missing;
        }
    }
    nb::object table = pd.attr("read_excel")(path, **kwargs);
    // Rows as text has them: empty sheet rows are no rows, and a block of
    // notes at the end that cannot be rows is left out.
    std::vector<Record> rows = sheet_records(table);
    size_t width = nb::cast<size_t>(nb::borrow<nb::tuple>(table.attr("shape"))[1]);
    Columns columns = body_columns(rows, width);
    size_t end = columns.any_values() ? notes_start(std::string_view(), ',', rows, 0, columns)
                                      : rows.size();
    for (size_t k = end; k < rows.size(); ++k)
        if (rows[k].fields > 0) {
            if (source.notes_first == 0)
                source.notes_first = source.header_line + 1 + k;
            source.notes_last = source.header_line + 1 + k;
        }
    nb::list kept;
    for (size_t k = 0; k < end; ++k)
        if (rows[k].fields > 0) {
            kept.append(nb::int_(k));
            if (want_lines)
                source.lines.push_back(source.header_line + 1 + k);
        }
    if (nb::len(kept) < rows.size())
        table = table.attr("iloc")[kept].attr("reset_index")(nb::arg("drop") = true);
    return table;
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

nb::object load_file(nb::handle path, nb::handle text_columns, TableSource &source, bool want_lines,
                     const LoadOptions &options) {
    nb::object pd = host::import("pandas");
    std::string suffix = lowered_suffix(path);
    nb::object table;
    bool typed = true;
    if (is_excel(suffix)) {
        source.kind = TableSource::excel;
        table = read_excel(pd, path, text_columns, source, want_lines, options);
    } else if (suffix == ".parquet") {
        source.kind = TableSource::parquet;
        table = read_typed([&] { return pd.attr("read_parquet")(path); }, "parquet", "parquet");
    } else {
        source.kind = TableSource::delimited;
        table = read_delimited(pd, path, text_columns, source, want_lines, options);
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

nb::object read_table(nb::handle path, nb::handle text_columns, TableSource *source,
                      const LoadOptions *options) {
    TableSource own;
    LoadOptions none;
    try {
        return load_file(path, text_columns, source ? *source : own, source != nullptr,
                         options ? *options : none);
    } catch (nb::python_error &error) {
        // What the loading raised, with the file (and line) it was about.
        note_error(error, path);
        throw;
    }
}

std::vector<size_t> row_lines(const TableSource &source, size_t rows) {
    return std::vector<size_t>(source.lines.begin(),
                               source.lines.begin() + (ptrdiff_t) std::min(rows, source.lines.size()));
}

}  // namespace records
