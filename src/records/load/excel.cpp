// Reading an Excel workbook: the sheet farm.yaml names (or the first), its
// header found among its rows as in delimited text, its text cells kept as
// text and its empty rows left out.
#include "host/host.hpp"
#include "records/load/formats.hpp"
#include "records/load/layout.hpp"

#include <string>
#include <vector>

namespace records::load {

namespace {

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
nb::object sheet_named(nb::handle book, nb::handle path, nb::handle sheet) {
    nb::list names = nb::list(book.attr("sheet_names"));
    if (PyUnicode_Check(sheet.ptr()) ? host::contains(names, sheet)
                                     : nb::cast<size_t>(sheet) < nb::len(names))
        return PyUnicode_Check(sheet.ptr()) ? nb::borrow(sheet) : nb::object(names[nb::cast<size_t>(sheet)]);
    host::raise(PyExc_ValueError,
                host::text("the workbook ", host::Repr{path}, " has no sheet ", host::Repr{sheet},
                           ": its sheets are ", host::Str{names},
                           " (by name, or by position from 0)"));
}

// The table of a sheet of the open workbook `book`.
nb::object read_sheet(nb::handle pd, nb::handle book, nb::handle path, nb::handle text_columns,
                      TableSource &source, bool want_lines, const LoadOptions &options) {
    nb::object sheet = options.sheet.is_valid() ? sheet_named(book, path, options.sheet)
                                                : nb::object(nb::int_(0));
    if (PyUnicode_Check(sheet.ptr()))
        source.sheet = host::utf8(sheet);
    nb::object raw = pd.attr("read_excel")(book, nb::arg("sheet_name") = sheet,
                                           nb::arg("header") = nb::none(), nb::arg("nrows") = 256);
    std::vector<Record> records = sheet_records(raw);
    size_t header = 0;
    if (options.header_line > 0) {
        header = options.header_line - 1;
    } else {
        HeaderChoice choice = choose_header(records);
        if (choice.problem != HeaderChoice::none)
            raise_problem(path, choice, "row");
        header = choice.header == (size_t) -1 ? 0 : choice.header;
    }
    source.header_line = header + 1;
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
        std::vector<std::pair<nb::object, bool>> columns;
        for (nb::handle label : raw.attr("iloc")[nb::int_(header)].attr("tolist")())
            if (PyUnicode_Check(label.ptr()))
                columns.emplace_back(nb::borrow(label),
                                     host::contains(text_columns, stripped_text(label)));
        read_text_as_text(kwargs, columns, host::from_import("builtins", "object"));
    }
    nb::object table = pd.attr("read_excel")(book, **kwargs);
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

}  // namespace

nb::object read_excel(nb::handle pd, nb::handle path, nb::handle text_columns, TableSource &source,
                      bool want_lines, const LoadOptions &options) {
    // The workbook opened once: its sheets, the rows its header is found
    // in, and the table.
    nb::object table;
    host::with(read_typed([&] { return pd.attr("ExcelFile")(path); }, "Excel", "excel"),
               [&](nb::handle book) {
                   table = read_sheet(pd, book, path, text_columns, source, want_lines, options);
               });
    return table;
}

}  // namespace records::load
