// py_zelka.readers._common -- what the four record-file readers share:
// loading a table from a file, the required-column check and the canonical
// form of a ribbon tag.
#include "host/function.hpp"
#include "host/host.hpp"
#include "records/tags.hpp"

#include <string>

namespace nb = nanobind;

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
    const char *text = suffix.c_str();
    if (!text) {  // lone surrogates (undecodable bytes of a file name): no suffix of ours
        PyErr_Clear();
        return std::string();
    }
    return std::string(text);
}

// The first line of the file, without its byte-order mark, decoded; and the
// encoding the rest of the file is to be read with.
struct Header {
    nb::object text;
    const char *encoding;
};

Header read_header(nb::handle path) {
    nb::object open = host::from_import("builtins", "open");
    nb::object file = open(path, "rb");
    nb::object line;
    try {
        line = file.attr("readline")();
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    nb::bytes raw(line);
    std::string bytes(raw.c_str(), raw.size());
    if (bytes.rfind("\xef\xbb\xbf", 0) == 0)
        bytes.erase(0, 3);
    nb::bytes body(bytes.data(), bytes.size());
    PyObject *decoded = PyUnicode_DecodeUTF8(bytes.data(), (Py_ssize_t) bytes.size(), "strict");
    if (decoded)
        return {nb::steal(decoded), "utf-8-sig"};
    PyErr_Clear();
    // Not UTF-8: spreadsheet programs on Windows write Windows-1252.
    return {body.attr("decode")("cp1252", "replace"), "cp1252"};
}

// The separator of a delimited file: the one of , ; tab | that the header line
// holds most often outside quotes (the earlier in that list on a tie); a comma
// when it holds none.
nb::str sniff_separator(const std::string &line) {
    const char candidates[] = {',', ';', '\t', '|'};
    size_t counts[4] = {0, 0, 0, 0};
    bool quoted = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (quoted)
            continue;
        for (int i = 0; i < 4; ++i)
            if (c == candidates[i])
                ++counts[i];
    }
    int best = 0;
    for (int i = 1; i < 4; ++i)
        if (counts[i] > counts[best])
            best = i;
    return nb::str(&candidates[best], 1);
}

using host::contains;

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
    nb::list originals = nb::list(written);
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

nb::object read_delimited(nb::handle pd, nb::handle path, nb::handle text_columns) {
    Header header = read_header(path);
    std::string line(nb::str(header.text).c_str());
    nb::str sep = sniff_separator(line);

    nb::dict kwargs;
    kwargs["sep"] = sep;
    kwargs["engine"] = "c";
    kwargs["skipinitialspace"] = true;
    kwargs["index_col"] = false;

    if (nb::len(text_columns) > 0) {
        // Text columns are read as text by their labels as the file writes
        // them (padded or not).
        nb::object csv_reader = host::from_import("csv", "reader");
        nb::object rows = csv_reader(nb::make_tuple(header.text.attr("rstrip")("\r\n")),
                                     nb::arg("delimiter") = sep,
                                     nb::arg("skipinitialspace") = true);
        nb::object labels = host::from_import("builtins", "next")(rows, nb::list());
        nb::dict dtype;
        for (nb::handle label : labels)
            if (contains(text_columns, label.attr("strip")()))
                dtype[label] = "str";
        if (dtype.size() > 0)
            kwargs["dtype"] = dtype;
    }

    nb::object read_csv = pd.attr("read_csv");
    kwargs["encoding"] = header.encoding;
    try {
        return read_csv(path, **kwargs);
    } catch (nb::python_error &e) {
        if (std::string(header.encoding) != "utf-8-sig" ||
            !host::error_is(e, PyExc_UnicodeDecodeError))
            throw;
    }
    // The header was UTF-8 but a later line is not.
    kwargs["encoding"] = "cp1252";
    return read_csv(path, **kwargs);
}

// A typed format through its pandas reader; the reader's ImportError (its
// optional library is not installed) becomes one that names our extra.
nb::object read_typed(nb::handle pd, const char *reader, nb::handle path, const char *what,
                      const char *extra) {
    try {
        return pd.attr(reader)(path);
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

nb::object read_table(host::State &, nb::handle path, nb::handle text_columns) {
    nb::object pd = host::import("pandas");
    std::string suffix = lowered_suffix(path);
    nb::object table;
    bool typed = true;
    if (is_excel(suffix)) {
        table = read_typed(pd, "read_excel", path, "Excel", "excel");
    } else if (suffix == ".parquet") {
        table = read_typed(pd, "read_parquet", path, "parquet", "parquet");
    } else {
        table = read_delimited(pd, path, text_columns);
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
            if (contains(table.attr("columns"), label))
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

void require_columns(host::State &, nb::handle table, nb::handle columns, nb::handle context,
                     nb::handle error_cls) {
    nb::object present = table.attr("columns");
    nb::list missing;
    for (nb::handle label : columns) {
        int r = PySequence_Contains(present.ptr(), label.ptr());
        if (r < 0)
            throw nb::python_error();
        if (r == 0)
            missing.append(label);
    }
    if (nb::len(missing) == 0)
        return;
    nb::object found = host::from_import("builtins", "list")(present);
    nb::str rest = host::text(" is missing required column(s) ", host::Str{missing},
                              "; found columns ", host::Str{found});
    nb::object message = nb::steal(PyNumber_Add(context.ptr(), rest.ptr()));
    if (!message.is_valid())
        throw nb::python_error();
    host::raise(error_cls, message);
}

nb::object normalize_tag(host::State &, nb::handle raw) { return records::normalize_tag(raw); }

void init(nb::module_ &m, host::State &s) {
    m.doc() = "Support functions shared by the record-file readers.";

    host::def<&read_table>(
        m, s, "_read_table",
        "(path: str | os.PathLike, text_columns: Iterable[str] = ()) -> pandas.DataFrame",
        "Load a record file into a DataFrame with a 0-based RangeIndex.\n\n"
          "By suffix: .xlsx/.xlsm/.xls through pandas.read_excel (extra 'excel'),\n"
          ".parquet through pandas.read_parquet (extra 'parquet'), anything else as\n"
          "delimited text: UTF-8 with or without a byte-order mark, or Windows-1252\n"
          "when the bytes are not UTF-8; the separator is the one of , ; tab | found\n"
          "in the header line (comma when none); blanks after a separator are\n"
          "skipped.  Header labels are stripped of surrounding blanks.  Columns named\n"
          "in text_columns are read as text; their empty cells stay missing.  Errors\n"
          "of opening and parsing the file pass through unchanged.");
    host::def<&require_columns>(
        m, s, "_require_columns",
        "(table: pandas.DataFrame, columns: list, *, context: str, error_cls: type[Exception])"
        " -> None",
        "Raise error_cls naming the file (context) when any of columns is not a\n"
          "column of table.");
    host::def<&normalize_tag>(
        m, s, "_normalize_tag", "(raw: Any) -> str",
        "The canonical ribbon tag label of a cell: stripped and lower-cased text;\n"
          "a missing or blank cell gives ''.");
}

}  // namespace

ZELKA_MODULE(_common, host::State, init)
