// Record files through their readers' checks: loading, the farm's column
// labels, the inventory, and the dated records (production, selection).
#include "farm/check.hpp"

#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/tags.hpp"

#include <algorithm>
#include <cctype>

namespace farm {

using host::utf8;

// The checked-file functions of the record files and the names their
// steps look up, as the role table calls them.
records::CheckedFile check_weather_role(State &s, nb::handle path, nb::handle columns, bool,
                                        const records::Declarations &declared) {
    return records::check_weather_file(s.reader(Role::weather).state, path, columns, declared);
}

records::CheckedFile check_inventory_role(State &s, nb::handle path, nb::handle columns, bool,
                                          const records::Declarations &declared) {
    return records::check_inventory_file(s.reader(Role::inventory).state, path, columns,
                                         declared);
}

records::CheckedFile check_production_role(State &s, nb::handle path, nb::handle columns,
                                           bool dayfirst, const records::Declarations &declared) {
    return records::check_production_file(s.reader(Role::production).state, path, columns,
                                          dayfirst, declared);
}

records::CheckedFile check_selection_role(State &s, nb::handle path, nb::handle columns,
                                          bool dayfirst, const records::Declarations &declared) {
    return records::check_selection_file(s.reader(Role::selection).state, path, columns,
                                         dayfirst, declared);
}

namespace {

// The per-row message of a reader's rule; `dayfirst`: how the file's dates
// were read; `hint`: farm.yaml's section as it must read, where one is given.
nb::str row_message(Rule rule, nb::handle column, nb::handle value, nb::handle message,
                    bool dayfirst, nb::handle hint) {
    switch (rule) {
    case Rule::date_parse:
        return host::text(host::Repr{value}, " is not a calendar date");
    case Rule::mixed_day_month:
        return dayfirst ? host::text(host::Repr{value},
                                     " can only be read month first, beside dates read day "
                                     "first; is the file written month first? Say so in "
                                     "farm.yaml: ",
                                     host::Str{hint})
                        : host::text(host::Repr{value},
                                     " can only be read day first, beside dates read month "
                                     "first; say so in farm.yaml: ",
                                     host::Str{hint});
    case Rule::duplicate_tag_date:
        return nb::str("another row has the same tag and date");
    case Rule::duplicate_date:
        return nb::str("another row has the same date");
    case Rule::negative_count:
        return host::text(host::Repr{column}, " is negative");
    case Rule::incomplete_harvest:
        return nb::str("a cut (> 0) without an age at cut");
    case Rule::cut_balance:
        return nb::str("'cut' differs from 'processed' + 'rejected'");
    case Rule::chain_values:
        return host::text(host::Repr{value},
                          " is not a chain: expected 'reproductive' or 'vegetative'");
    case Rule::population:
        return nb::str("the population is missing, not a number or negative");
    case Rule::age_weeks:
        return nb::str("the age is missing, not a whole number of weeks or negative");
    default:
        return nb::borrow<nb::str>(host::str(message));
    }
}

// A date written with numbers as D/M/Y or M/D/Y (separators - / or .,
// a time may follow): its first two numbers; false for any other form.
bool day_month(const std::string &cell, int &first, int &second) {
    size_t i = 0, n = cell.size();
    while (i < n && std::isspace((unsigned char) cell[i]))
        ++i;
    auto number = [&](int &out, size_t min, size_t max) {
        size_t start = i;
        out = 0;
        while (i < n && std::isdigit((unsigned char) cell[i]) && i - start < max)
            out = out * 10 + (cell[i++] - '0');
        return i - start >= min && !(i < n && std::isdigit((unsigned char) cell[i]));
    };
    if (!number(first, 1, 2) || i >= n)
        return false;
    char sep = cell[i];
    if (sep != '/' && sep != '-' && sep != '.')
        return false;
    ++i;
    if (!number(second, 1, 2) || i >= n || cell[i] != sep)
        return false;
    ++i;
    int year = 0;
    size_t start = i;
    if (!number(year, 2, 4) || i - start == 3)
        return false;
    return i == n || std::isspace((unsigned char) cell[i]) || cell[i] == 'T';
}

const char *const month_names[] = {"January", "February", "March",     "April",
                                   "May",     "June",     "July",      "August",
                                   "September", "October", "November", "December"};

// "1 February" and "2 January": the two readings of a cell.
std::string reading(int day, int month) {
    return std::to_string(day) + " " + month_names[month - 1];
}

}  // namespace

RecordFile FarmCheck::check_records(Role role, nb::handle path, nb::handle columns,
                                    const records::Declarations &declared) {
    RecordFile records;
    records.path = nb::borrow(path);
    records.file = name_of(path);
    read_files_[size_t(role)] = records.file;
    nb::str text_path = host::str(path);
    // The parsers' warnings are held back: what they say (a date format
    // guessed) the rules find anyway, and the loader refuses rows that do
    // not fit their header rather than let pandas warn of lost cells.
    nb::object warnings = host::import("warnings");
    try {
        host::with(warnings.attr("catch_warnings")(), [&](nb::handle) {
            warnings.attr("simplefilter")("ignore");
            records.checked = row_of(role).check(s_, text_path, columns,
                                                 this->declared(role).dayfirst == 1, declared);
            records.loaded = true;
        });
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_Exception))  // Ctrl-C, exits: not the file's
            throw;
        // The loader keeps the line of a parsing error with the error.
        nb::object value = nb::borrow(error.value());
        nb::object line = nb::getattr(value, "line", nb::none());
        if (!PyLong_Check(line.ptr()) || PyBool_Check(line.ptr()))
            line = nb::none();
        // A header the evidence does not settle: farm.yaml may say its line.
        nb::object candidates = nb::getattr(value, "header_lines", nb::none());
        if (!candidates.is_none() && nb::len(candidates) > 0 && this->declared(role).header == 0) {
            nb::object last = candidates[nb::len(candidates) - 1];
            nb::str hint = declaration(role, "header", last);
            std::string which;
            for (size_t k = 0; k < nb::len(candidates); ++k)
                which += (k == 0 ? "" : k + 1 == nb::len(candidates) ? " or " : ", ") +
                         utf8(host::str(candidates[k]));
            add(records.file, line, nb::none(), nb::none(), Rule::load,
                host::text(error_text(error), "; or say in farm.yaml which line holds the "
                           "labels (", which.c_str(), "), e.g. ", hint),
                hint);
            return records;
        }
        add(records.file, line, nb::none(), nb::none(), Rule::load, error_text(error));
        return records;
    }
    report_loading(role, records);
    return records;
}

// What loading skipped, the farm's labels, and the reader's failures.
void FarmCheck::report_loading(Role role, const RecordFile &records) {
    const records::TableSource &source = records.checked.source;
    nb::object file = records.file;
    const Declared &declared = this->declared(role);
    auto span = [](size_t first, size_t last) {
        return first == last ? "line " + std::to_string(first)
                             : "lines " + std::to_string(first) + "-" + std::to_string(last);
    };
    // Where the table stands and how its text was read come first in the
    // reads, before what was done to its rows.
    nb::list done = steps_[size_t(role)];
    steps_[size_t(role)] = nb::list();
    if (source.kind != records::TableSource::parquet) {
        std::string where = std::string(source.kind == records::TableSource::excel ? "row " : "line ") +
                            std::to_string(source.header_line);
        std::string text = "the header is " + where;
        if (declared.header > 0)
            text += ", as farm.yaml says";
        if (source.preamble_last > 0)
            text += "; " + span(source.preamble_first, source.preamble_last) + " above it " +
                    (source.preamble_first == source.preamble_last ? "is" : "are") + " not read";
        if (source.notes_last > 0)
            text += "; " + span(source.notes_first, source.notes_last) + " after the table " +
                    (source.notes_first == source.notes_last ? "is not a row" : "are not rows") +
                    " of it";
        nb::dict figures;
        figures["header"] = nb::int_(source.header_line);
        figures["skipped"] = nb::int_((source.preamble_last ? source.preamble_last - source.preamble_first + 1 : 0) +
                                      (source.notes_last ? source.notes_last - source.notes_first + 1 : 0));
        // A table from line 1 to the end of the file is read as it is.
        if (declared.header > 0 || source.header_line > 1 || source.preamble_last > 0 ||
            source.notes_last > 0)
            read_step(role, "table", nb::str(text.c_str()), figures);
        // Lines left out that nobody declared are worth a look: at the header
        // that lines above it make, or else at the first line after the table.
        if (declared.header == 0 && (source.preamble_last > 0 || source.notes_last > 0))
            add(file, nb::int_(source.preamble_last > 0 ? source.header_line : source.notes_first),
                nb::none(), nb::none(), Rule::skipped_lines,
                nb::str(("the table's header is " + where + (text.substr(text.find(';'))) + "").c_str()),
                declaration(role, "header", nb::int_(source.header_line)));
    }
    if (!source.sheet.empty())
        read_step(role, "sheet", host::text("the sheet ", host::Repr{nb::str(source.sheet.c_str())}));
    if (source.encoding != "utf-8" && source.encoding != "utf-8-sig") {
        const char *name = source.encoding == "cp1252"   ? "Windows-1252"
                           : source.encoding == "utf-16" ? "UTF-16 (its byte-order mark says so)"
                                                         : "Latin-1";
        read_step(role, "encoding",
                  host::text("read as ", name,
                             declared.encoding.empty() ? "" : ", as farm.yaml says"));
    }
    for (nb::handle step : done)
        steps_[size_t(role)].append(step);
    if (source.encoding == "cp1252" && source.legacy_line > 0) {
        char byte = (char) source.legacy_byte;
        nb::object shown = nb::bytes(&byte, 1).attr("decode")("cp1252");
        add(file, nb::int_(source.legacy_line), nb::none(), nb::none(), Rule::encoding,
            host::text(host::Repr{file}, " is not UTF-8: it is read as Windows-1252, the encoding "
                       "spreadsheet programs on Windows write (its first letter beyond ASCII, on "
                       "line ", std::to_string(source.legacy_line), ", reads ", host::Repr{shown},
                       "); if that is not the letter the file means, save the file as UTF-8"),
            declaration(role, "encoding", nb::str("cp1252")));
    }

    nb::dict mapping = columns_of(role);
    nb::object labels = records.checked.labels;
    nb::object header_line = source.kind == records::TableSource::parquet
                                 ? nb::object(nb::none())
                                 : nb::object(nb::int_(source.header_line));
    nb::str header = source.kind == records::TableSource::parquet
                         ? host::text("the file's columns are ", host::Str{labels})
                         : host::text("the header (line ", host::Str{nb::int_(source.header_line)},
                                      ") has ", host::Str{labels});
    nb::list unmapped;  // our columns whose label farm.yaml gives wrongly
    if (role != Role::weather)
        for (auto [ours, theirs] : mapping) {
            if (host::contains(labels, theirs))
                continue;
            unmapped.append(ours);
            nb::object close = host::from_import("difflib", "get_close_matches")(theirs, labels, 1);
            nb::object hint = nb::none();
            if (nb::len(close) > 0) {
                nb::dict columns, updates;
                columns[ours] = close[0];
                updates["columns"] = columns;
                hint = declaration(role, updates);
            }
            add(nb::str(farm_file),
                line_or_none(yaml_lines_, std::string(role_name(role)) + ".columns." + utf8(host::str(ours))),
                theirs, nb::none(), Rule::unmapped_column,
                host::text("farm.yaml maps ", host::Repr{ours}, " of ", role_name(role),
                           " to the column ", host::Repr{theirs}, ", which ", host::Str{file},
                           " does not have: ", header, "; name one of its labels",
                           hint.is_none() ? nb::str("") : host::text(", e.g. ", host::Str{hint})),
                hint);
        }

    bool dayfirst = declared.dayfirst == 1;
    nb::object table = records.checked.table;
    for (const records::Failure &failure : records.checked.failures) {
        Rule rule = failure.rule;
        nb::object column = failure.column, message = failure.message;
        const records::Rows &rows = failure.rows;
        if (rule == Rule::required_columns &&
            (host::contains(unmapped, column) || host::contains(twice_[size_t(role)], column)))
            continue;  // farm.yaml's mapping is the cause, and found as such
        nb::object label = column.is_none() || role == Role::weather
                               ? nb::object(column)
                               : file_column(role, column);
        if (rows.empty()) {
            if (rule != Rule::required_columns) {
                add(file, nb::none(), label, nb::none(), rule, host::str(message));
                continue;
            }
            // The header's label closest to ours, when one is close.
            nb::list free;
            for (nb::handle l : labels)
                if (!host::contains(mapping.attr("values")(), l))
                    free.append(l);
            nb::object close = host::from_import("difflib", "get_close_matches")(
                column, free, 1, nb::arg("cutoff") = 0.5);
            nb::object hint = nb::none();
            if (nb::len(close) > 0 && role != Role::weather) {
                nb::dict columns, updates;
                columns[column] = close[0];
                updates["columns"] = columns;
                hint = declaration(role, updates);
            }
            add(file, header_line, label, nb::none(), rule,
                hint.is_none()
                    ? host::text("required column ", host::Repr{label}, " is missing: ", header,
                                 "; if the file labels it otherwise, name that label in "
                                 "farm.yaml: ",
                                 role_name(role), ": {columns: {", host::Str{column},
                                 ": LABEL}} with LABEL one of the header's labels")
                    : host::text("required column ", host::Repr{label}, " is missing: ", header,
                                 "; if ", host::Repr{close[0]}, " holds it, say so in farm.yaml, ",
                                 host::Str{hint}),
                hint);
            continue;
        }
        nb::object cells = table.is_valid() && records::has_column(table, column)
                               ? nb::object(table[column].attr("tolist")())
                               : nb::object();
        // The farm.yaml of the rule's rows, made at the first row that needs it.
        nb::object reread;
        auto reread_hint = [&](bool first) {
            if (!reread.is_valid())
                reread = declaration(role, "dayfirst", nb::bool_(first));
            return reread;
        };
        for (size_t i : rows) {
            nb::object value = cells.is_valid() ? cell_text(cells[i]) : nb::object(nb::none());
            nb::object hint =
                rule == Rule::mixed_day_month ? reread_hint(!dayfirst) : nb::object(nb::none());
            nb::str text = row_message(rule, label, value, message, dayfirst, hint);
            int a = 0, b = 0;
            if (rule == Rule::date_parse && !dayfirst && !value.is_none() &&
                day_month(utf8(value), a, b) && a > 12 && a <= 31 && b >= 1 && b <= 12) {
                // A date only the day-first reading reads.
                hint = reread_hint(true);
                text = host::text(host::Repr{value}, " is not a calendar date read month first; "
                                  "it is one read day first: if the file writes dates so, say so "
                                  "in farm.yaml, ",
                                  host::Str{hint});
            }
            add(file, records.line_at(i), label, value, rule, text, hint);
        }
    }
    for (nb::handle n : records.checked.notices)
        notices_.attr("append")(n);
}

void FarmCheck::ambiguous_dates(Role role, const RecordFile &records, nb::handle cells,
                                nb::handle label) {
    if (dayfirst_given(role))
        return;
    nb::list values = nb::list(cells.attr("tolist")());
    std::vector<size_t> examples;  // rows whose two readings differ
    size_t n = nb::len(values);
    for (size_t i = 0; i < n; ++i) {
        nb::handle cell = values[i];
        if (host::is_missing(cell))
            continue;
        if (!PyUnicode_Check(cell.ptr()))
            return;  // a typed date (a sheet's) or a number: read one way only
        int a = 0, b = 0;
        if (!day_month(utf8(cell), a, b) || a < 1 || b < 1 || a > 12 || b > 12)
            return;  // a cell only one reading reads, or another form
        if (a != b && examples.size() < 2)
            examples.push_back(i);
    }
    if (examples.empty())
        return;
    nb::str parts("");
    for (size_t k = 0; k < examples.size(); ++k) {
        size_t i = examples[k];
        int a = 0, b = 0;
        std::string cell = utf8(values[i]);
        day_month(cell, a, b);
        parts = host::text(parts, k == 0 ? "" : "; ", "line ", host::Str{records.line_at(i)}, " ",
                           host::Repr{values[i]}, " is ", reading(b, a), " month first or ",
                           reading(a, b), " day first");
    }
    nb::str day = declaration(role, "dayfirst", nb::bool_(true)),
            month = declaration(role, "dayfirst", nb::bool_(false));
    add(records.file, records.line_at(examples[0]), label, cell_text(values[examples[0]]),
        Rule::ambiguous_dates,
        host::text("every date of ", host::Repr{label},
                   " reads both day first and month first (", parts,
                   "): say how the file writes them in farm.yaml, ", day, " for day first or ",
                   month, " for month first"),
        day);
}

RecordFile FarmCheck::check_record_file(Role role, nb::handle path) {
    nb::dict columns = columns_of(role);
    return check_records(role, path, nb::len(columns) > 0 ? nb::object(columns) : nb::none(),
                         declarations(role));
}

bool FarmCheck::weeks_of(const RecordFile &records, nb::handle dates, nb::handle written,
                         nb::handle label, std::vector<nb::object> &weeks) {
    bool all = true;
    nb::list cells = nb::list(dates.attr("tolist")());
    nb::list as_written = nb::list(written.attr("tolist")());
    nb::object week_of = provider_.attr("week_index_for_date");
    // A date's week, or (as a 1-tuple) the provider's refusal: asked once a
    // date, as rows of many tags share their dates.
    nb::dict known;
    auto answer = [&](nb::handle date) {
        PyObject *hit = PyDict_GetItemWithError(known.ptr(), date.ptr());
        if (hit)
            return nb::borrow(hit);
        if (PyErr_Occurred())
            throw nb::python_error();
        nb::object out;
        try {
            out = week_of(date);
        } catch (nb::python_error &error) {
            if (!host::error_is(error, PyExc_Exception))  // Ctrl-C, exits: not the file's
                throw;
            out = nb::make_tuple(host::str(error.value()));
        }
        known[date] = out;
        return out;
    };
    for (size_t i = 0; i < nb::len(cells); ++i) {
        if (host::is_missing(cells[i])) {
            // A cell the parser cannot read is a date_parse finding already.
            if (host::is_missing(as_written[i]) || utf8(host::str(as_written[i])).find_first_not_of(
                                                       " \t") == std::string::npos)
                add(records.file, records.line_at(i), label, nb::none(), Rule::date_parse,
                    nb::str("the date is missing: every row records the day it was taken"));
            weeks.push_back(nb::none());
            all = false;
            continue;
        }
        nb::object week = answer(cells[i]);
        if (nb::isinstance<nb::tuple>(week)) {
            add(records.file, records.line_at(i), label, cell_text(cells[i]), Rule::weather_period,
                nb::borrow<nb::str>(nb::handle(week[0])));
            weeks.push_back(nb::none());
            all = false;
        } else {
            weeks.push_back(week);
        }
    }
    return all;
}

namespace {

// The count columns of a dated file's data, as its reader names them.
std::vector<const char *> counts_of(Role role) {
    if (role == Role::production)
        return {"bagged", "cut", "age_at_cut", "field_losses", "rejected", "processed"};
    return {"parous", "nulliparous"};
}

// The counts of each row of a dated file's table (our labels), NaN where a
// cell holds none; columns the file lacks are left out.
std::vector<std::vector<double>> table_counts(Role role, nb::handle table) {
    std::vector<const char *> names;
    if (role == Role::production)
        names = {"bagged", "cut", "age_at_cut", "field_losses", "rejected", "processed"};
    else
        names = {"parous_count", "nulliparous_count"};
    std::vector<std::vector<double>> out;
    for (const char *name : names)
        if (records::has_column(table, nb::str(name)))
            out.push_back(numbers_of(table[name]));
    return out;
}

double or_zero(double v) { return std::isnan(v) || v < 0.0 ? 0.0 : v; }

// The rows of each key (a tag or the file, and a model week), in the order
// of their first rows; rows without a week are left out.
std::vector<std::vector<size_t>> groups_of(const std::vector<std::pair<nb::object, nb::object>> &keys) {
    nb::dict index;  // key -> its group's number
    std::vector<std::vector<size_t>> groups;
    for (size_t i = 0; i < keys.size(); ++i) {
        if (keys[i].second.is_none())
            continue;
        nb::object key = nb::make_tuple(keys[i].first, keys[i].second);
        PyObject *found = PyDict_GetItemWithError(index.ptr(), key.ptr());
        if (found) {
            groups[PyLong_AsSize_t(found)].push_back(i);
            continue;
        }
        if (PyErr_Occurred())
            throw nb::python_error();
        index[key] = nb::int_(groups.size());
        groups.push_back({i});
    }
    return groups;
}

}  // namespace

void FarmCheck::empty_counts(Role role, const RecordFile &records,
                             const std::vector<std::vector<double>> &counts) {
    if (counts.empty())
        return;
    size_t n = counts.front().size();
    for (size_t i = 0; i < n; ++i) {
        bool none = true;
        for (const auto &column : counts)
            none = none && std::isnan(column[i]);
        if (none)
            add(records.file, records.line_at(i), nb::none(), nb::none(), Rule::empty_counts,
                nb::str(role == Role::production
                            ? "the row holds no count (bagged, cut, age at cut): write its "
                              "counts, or delete the row"
                            : "the row holds no count (parous, nulliparous): write its counts, "
                              "or delete the row"));
    }
}

void FarmCheck::week_rows(Role role, const RecordFile &records, nb::handle label,
                          const std::vector<std::pair<nb::object, nb::object>> &keys,
                          nb::handle date_cells, const char *what,
                          const std::vector<std::vector<double>> &counts) {
    nb::list dates;   // the date cells, taken at the first week of several rows
    nb::object hint;  // and farm.yaml's weekly: sum
    for (const std::vector<size_t> &rows : groups_of(keys)) {
        size_t count = rows.size();
        if (count < 2)
            continue;
        if (!hint.is_valid()) {
            dates = nb::list(date_cells.attr("tolist")());
            hint = declaration(role, "weekly", nb::str("sum"));
        }
        // Rows of one date are the duplicate rule's: only rows of several
        // dates are news here.
        std::vector<std::string> days;
        std::string where;
        for (size_t k = 0; k < count; ++k) {
            days.push_back(utf8(host::str(dates[rows[k]])));
            where += (k == 0 ? "" : k + 1 == count ? " and " : ", ") +
                     utf8(host::str(records.line_at(rows[k])));
        }
        if (std::all_of(days.begin(), days.end(), [&](const std::string &d) { return d == days[0]; }))
            continue;
        size_t last_row = rows.back();
        nb::object last = records.line_at(last_row);
        bool identical = true;
        for (const auto &column : counts)
            for (size_t k = 1; k < count; ++k) {
                double a = column[rows[0]], b = column[rows[k]];
                identical = identical && (a == b || (std::isnan(a) && std::isnan(b)));
            }
        const nb::object &week = keys[rows[0]].second;
        if (identical) {
            for (size_t k = 0; k + 1 < count; ++k)
                add(records.file, records.line_at(rows[k]), label, cell_text(dates[rows[k]]),
                    Rule::same_week,
                    host::text(what, " fall in model week ", host::Str{week}, " (lines ",
                               where.c_str(), ") with the same counts; the later row (line ",
                               host::Str{last}, ") is kept"));
            continue;
        }
        // What the model would lose.
        std::string loss;
        if (role == Role::production) {
            size_t which = 1;  // cut, else bagged
            double total = 0.0;
            for (size_t r : rows)
                total += or_zero(counts[which][r]);
            if (total == 0.0) {
                which = 0;
                for (size_t r : rows)
                    total += or_zero(counts[which][r]);
            }
            loss = number_text(or_zero(counts[which][last_row])) + " of " + number_text(total) +
                   (which == 1 ? " bunches cut" : " bunches bagged");
        } else {
            double total = 0.0, kept = 0.0;
            for (size_t r : rows)
                for (const auto &column : counts)
                    total += or_zero(column[r]);
            for (const auto &column : counts)
                kept += or_zero(column[last_row]);
            loss = number_text(kept) + " of " + number_text(total) + " suckers selected";
        }
        std::string whose = role == Role::production
                                ? "rows of tag " + utf8(host::repr(keys[rows[0]].first))
                                : std::string("selection rows");
        add(records.file, records.line_at(rows[0]), label, cell_text(dates[rows[0]]),
            Rule::weekly_rows,
            host::text(whose.c_str(), " in model week ", host::Str{week}, " (lines ", where.c_str(),
                       ") hold different counts: the model keeps the later row (line ",
                       host::Str{last}, ") only, ", loss.c_str(),
                       "; to add them up, say so in farm.yaml, ", host::Str{hint}),
            hint);
    }
}

nb::object FarmCheck::weekly_sum(Role role, const RecordFile &records,
                                 const std::vector<std::pair<nb::object, nb::object>> &keys) {
    nb::object data = records.checked.data;
    std::vector<const char *> names = counts_of(role);
    nb::object pd = host::import("pandas");
    std::vector<std::vector<double>> counts;
    for (const char *name : names)
        counts.push_back(numbers_of(data[name]));
    nb::list dates = nb::list(data["date"].attr("tolist")());
    nb::list tags = role == Role::production ? nb::list(data["tag"].attr("tolist")()) : nb::list();
    // The groups in the order of their first row (every row has its week).
    std::vector<std::vector<size_t>> groups = groups_of(keys);
    std::vector<nb::list> columns(names.size());
    nb::list tag_column, date_column;
    for (const std::vector<size_t> &rows : groups) {
        if (role == Role::production)
            tag_column.append(tags[rows.front()]);
        date_column.append(dates[rows.front()]);
        for (size_t c = 0; c < names.size(); ++c) {
            bool any = false;
            double total = 0.0;
            for (size_t r : rows)
                if (!std::isnan(counts[c][r])) {
                    any = true;
                    total += counts[c][r];
                }
            double value = any ? total : std::nan("");
            if (role == Role::production && std::strcmp(names[c], "age_at_cut") == 0) {
                // The age at cut of the week: the mean of the rows' ages,
                // each weighed by what it cut.
                double weighed = 0.0, cut = 0.0, ages = 0.0;
                size_t aged = 0;
                for (size_t r : rows) {
                    double age = counts[c][r], cuts = or_zero(counts[1][r]);
                    if (std::isnan(age))
                        continue;
                    weighed += age * cuts;
                    cut += cuts;
                    ages += age;
                    ++aged;
                }
                value = cut > 0.0 ? weighed / cut : aged ? ages / (double) aged : std::nan("");
            }
            columns[c].append(nb::float_(value));
        }
    }
    nb::dict out;
    if (role == Role::production)
        out["tag"] = pd.attr("array")(tag_column, nb::arg("dtype") = data["tag"].attr("dtype"));
    out["date"] = pd.attr("array")(date_column, nb::arg("dtype") = "object");
    for (size_t c = 0; c < names.size(); ++c)
        out[names[c]] = pd.attr("array")(columns[c], nb::arg("dtype") = "float64");
    nb::object summed = pd.attr("DataFrame")(out);
    if (role == Role::selection)
        summed["total"] = summed["parous"].attr("add")(summed["nulliparous"],
                                                       nb::arg("fill_value") = 0.0);
    nb::dict figures;
    figures["rows"] = nb::int_(keys.size());
    figures["weeks"] = nb::int_(groups.size());
    read_step(role, "weekly",
              host::text(std::to_string(keys.size()), " rows into ", std::to_string(groups.size()),
                         role == Role::production ? " tag-weeks" : " weeks",
                         ", their counts added up",
                         role == Role::production ? " (the age at cut weighed by what was cut)" : ""),
              figures);
    return summed;
}

nb::object FarmCheck::dated_records(Role role, const char *cls, const RecordFile &records,
                                    bool by_tag, const char *what) {
    if (!records.has_table())
        return nb::object();
    nb::object table = records.checked.table;
    // The counts of each row, NaN where a cell holds none.
    std::vector<std::vector<double>> counts = table_counts(role, table);
    empty_counts(role, records, counts);
    nb::object label = file_column(role, nb::str("date"));
    if (records::has_column(table, nb::str("date")))
        ambiguous_dates(role, records, table["date"], label);
    if (!records.checked.dates.is_valid() || (by_tag && !records.checked.tags.is_valid()) ||
        provider_.is_none())
        return nb::object();
    std::vector<nb::object> weeks;
    bool placed = weeks_of(records, records.checked.dates, table["date"], label, weeks);
    nb::list tags = by_tag ? nb::list(records.checked.tags.attr("tolist")()) : nb::list();
    std::vector<std::pair<nb::object, nb::object>> keys;
    for (size_t i = 0; i < weeks.size(); ++i)
        keys.emplace_back(by_tag ? nb::borrow(tags[i]) : nb::object(nb::str(role_name(role))),
                          weeks[i]);
    bool weekly = declared(role).weekly;
    if (!weekly)
        week_rows(role, records, label, keys, table["date"], what, counts);
    if (!placed || !records.has_data())
        return nb::object();
    nb::object data = weekly ? weekly_sum(role, records, keys) : records.checked.data;
    // Every row has its week: the provider answers the data class as it
    // answered above.
    return host::from_import(row_of(role).reader, cls)(data, provider_);
}

void FarmCheck::check_optional(Role role, nb::handle path) {
    const RoleRow &row = row_of(role);
    if (path.is_none()) {
        notice(row.name, host::text("no ", row.name, " file in ", host::Repr{host::str(folder_)},
                                    row.absent));
        return;
    }
    RecordFile records = check_record_file(role, path);
    nb::object data =
        row.data_class ? dated_records(role, row.data_class, records, row.by_tag, row.week_rows)
        : records.has_data() ? records.checked.data
                             : nb::object();
    if (data.is_valid())
        data_[size_t(role)] = data;
    // The legend writes a tag as the file first does ("Red", not "red"):
    // the first of its spellings, in the table's (renamed) tag column.
    if (role == Role::production && records.has_table()) {
        nb::str label("tag");
        if (records::has_column(records.checked.table, label))
            for (nb::handle cell : records.checked.table[label].attr("unique")()) {
                nb::object tag = records::normalize_tag(cell);
                if (nb::len(tag) > 0 && !spellings_.contains(tag))
                    spellings_[tag] = host::str(cell).attr("strip")();
            }
    }
}

}  // namespace farm
