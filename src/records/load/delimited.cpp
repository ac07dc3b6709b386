// Reading delimited text: its bytes decoded (UTF-8, Windows-1252 or
// UTF-16), where its table stands among its lines (the header, the lines
// above it, the notes after it), and what pandas is given to read: the
// table's lines only, every line kept where it is.
#include "host/host.hpp"
#include "records/load/encoding.hpp"
#include "records/load/formats.hpp"
#include "records/load/layout.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace records::load {

namespace {

// How much of a file the layout is found from.
constexpr size_t sample_bytes = 256 * 1024;
// How much of a file's end is looked at for notes before the whole file is.
constexpr size_t tail_bytes = 64 * 1024;
// How many rows above a block of notes tell what the table's text columns
// hold.
constexpr size_t tail_rows = 1000;

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

Text decode(nb::handle path, nb::object raw, TableSource &source, const std::string &declared) {
    std::string_view all = view_of(raw);
    Text out;
    if (declared == "cp1252" || declared == "latin-1") {
        // As farm.yaml says (a byte-order mark of UTF-8 is left out).
        out.bytes = raw;
        out.from = all.compare(0, 3, "\xef\xbb\xbf") == 0 ? 3 : 0;
        out.codec = declared == "cp1252" ? "cp1252" : "latin-1";
        source.encoding = out.codec;
        size_t at = declared == "cp1252" ? all.substr(out.from).find_first_of(undefined_in_1252)
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

// pandas.read_csv(file, **kwargs); when the first row is wider than the
// header, pandas would drop the cells beyond its labels with a warning: that
// is an error here.
nb::object parse(nb::handle pd, nb::handle file, nb::dict &kwargs, bool wider_rows,
                 nb::handle path, const Record *header, const Record *first_row) {
    nb::object read_csv = pd.attr("read_csv");
    if (!wider_rows)
        return read_csv(file, **kwargs);
    nb::object warnings = host::import("warnings");
    nb::object caught, table;
    host::with(warnings.attr("catch_warnings")(nb::arg("record") = true), [&](nb::handle log) {
        caught = nb::borrow(log);
        warnings.attr("simplefilter")("always");
        table = read_csv(file, **kwargs);
    });
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
    // Twice over the ranges: the size, then the bytes, written once into the
    // host's bytes object (a file may be large; its ranges are few).
    auto write = [&](char *out) {
        size_t size = 0, at = 0;
        auto put = [&](std::string_view piece) {
            if (out)
                std::memcpy(out + size, piece.data(), piece.size());
            size += piece.size();
        };
        for (auto [begin, end] : blanks) {
            begin = std::max(begin, at);
            if (begin >= end)
                continue;
            put(data.substr(at, begin - at));
            for (size_t i = begin; i < end; ++i)
                if (data[i] == '\n' || data[i] == '\r')
                    put(data.substr(i, 1));
            at = end;
        }
        put(data.substr(at));
        return size;
    };
    nb::object bytes = nb::steal(PyBytes_FromStringAndSize(nullptr, (Py_ssize_t) write(nullptr)));
    if (!bytes.is_valid())
        throw nb::python_error();
    char *out = PyBytes_AsString(bytes.ptr());
    if (!out)
        throw nb::python_error();
    write(out);
    return bytes;
}

}  // namespace

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
            size_t width = nb::len(stripped);
            if (first_row && first_row->fields > width)
                width = first_row->fields;
            std::vector<std::pair<nb::object, bool>> columns;
            for (size_t j = 0; j < width; ++j)
                columns.emplace_back(nb::int_(j), j < nb::len(stripped) &&
                                                      host::contains(text_columns, stripped[j]));
            read_text_as_text(kwargs, columns, nb::str("str"));
        }
    }

    // Lines of form feeds or vertical tabs alone are blank, as lines of
    // spaces are; pandas would read them as rows.
    std::string_view table = data.substr(table_begin, table_end - table_begin);
    bool odd_blanks = std::memchr(table.data(), '\f', table.size()) ||
                      std::memchr(table.data(), '\v', table.size());
    if (odd_blanks || want_lines) {
        // One walk over the table's records (the header's first), none kept.
        std::string_view upto = data.substr(0, table_end);
        size_t line = header ? header->line : 0;
        bool row = header == nullptr;
        Record r;
        for (size_t i = table_begin; i < upto.size(); row = true) {
            i = next_record(upto, i, line, layout.separator, r);
            line = r.last_line + 1;
            if (r.fields > 0) {
                if (want_lines && row)
                    source.lines.push_back(r.line + 1);
            } else if (odd_blanks && data.substr(r.begin, r.end - r.begin).find_first_of("\f\v") !=
                                         std::string_view::npos) {
                blanks.emplace_back(r.begin, r.end);
            }
        }
    }

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

}  // namespace records::load
