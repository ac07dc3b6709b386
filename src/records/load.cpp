// Loading a record file: the formats (delimited text in load/delimited.cpp,
// Excel workbooks in load/excel.cpp, parquet), the errors at a line every
// loader raises, and the header labels as every format gives them.  The
// records and cells of text are in load/tokens.cpp, where a table stands
// among them in load/layout.cpp, what bytes say of their encoding in
// load/encoding.cpp.
#include "records/load.hpp"

#include "host/host.hpp"
#include "records/load/formats.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace records {

namespace load {

// ---------------------------------------------------------------------------
// Errors at a line

void raise_at(nb::handle path, size_t line, const nb::str &message,
              const std::vector<size_t> &header) {
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

namespace {

bool noted(nb::handle value) {
    return nb::hasattr(value, "__notes__") && nb::len(nb::object(value.attr("__notes__"))) > 0;
}

}  // namespace

// pandas' parser says where in its message ("... in line 9, saw 22").
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

namespace {

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

}  // namespace

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
// Header labels

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

void read_text_as_text(nb::dict kwargs, const std::vector<std::pair<nb::object, bool>> &columns,
                       nb::handle text_dtype) {
    nb::dict dtype, missing;
    nb::list markers, empty;
    for (const char *marker : missing_markers)
        markers.append(nb::str(marker));
    empty.append(nb::str(""));
    for (const auto &[key, text] : columns) {
        if (text)
            dtype[key] = text_dtype;
        missing[key] = text ? empty : markers;
    }
    if (dtype.size() > 0) {
        kwargs["dtype"] = dtype;
        kwargs["keep_default_na"] = false;
        kwargs["na_values"] = missing;
    }
}

}  // namespace load

using namespace records::load;

namespace {

const char *const excel_suffixes[] = {".xlsx", ".xlsm", ".xls"};

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

}  // namespace records