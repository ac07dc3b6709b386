// Record files through their readers' checks: loading, the farm's column
// labels, the inventory, and the dated records (production, selection).
#include "farm/check.hpp"

#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/files/inventory.hpp"
#include "records/files/production.hpp"
#include "records/files/selection.hpp"
#include "records/files/weather.hpp"
#include "records/rules.hpp"

#include <algorithm>
#include <cctype>

namespace farm {

using host::utf8;

namespace {

const char *const reader_modules[role_count] = {
    nullptr,
    nullptr,
    "py_zelka.readers.climate_reader",
    "py_zelka.readers.inventory_reader",
    "py_zelka.readers.harvest_tag_reader",
    "py_zelka.readers.follower_choice_reader",
};

// The per-row message of a reader's rule; `dayfirst`: how the file's dates
// were read.
nb::str row_message(Rule rule, nb::handle column, nb::handle value, nb::handle message,
                    Role role, bool dayfirst) {
    switch (rule) {
    case Rule::date_parse:
        return host::text(host::Repr{value}, " is not a calendar date");
    case Rule::mixed_day_month:
        return dayfirst ? host::text(host::Repr{value},
                                     " can only be read month first, beside dates read day "
                                     "first; is the file written month first? Say so in "
                                     "farm.yaml: ",
                                     role_name(role), ": {dayfirst: false}")
                        : host::text(host::Repr{value},
                                     " can only be read day first, beside dates read month "
                                     "first; say so in farm.yaml: ",
                                     role_name(role), ": {dayfirst: true}");
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
                                    const records::Prepare &prepare) {
    RecordFile records;
    records.path = nb::borrow(path);
    records.file = name_of(path);
    nb::str text_path = host::str(path);
    // The parsers' warnings are held back: what they say (a date format
    // guessed) the rules find anyway, and the loader refuses rows that do
    // not fit their header rather than let pandas warn of lost cells.
    nb::object warnings = host::import("warnings");
    nb::object guard = warnings.attr("catch_warnings")();
    guard.attr("__enter__")();
    auto release = [&] { guard.attr("__exit__")(nb::none(), nb::none(), nb::none()); };
    try {
        warnings.attr("simplefilter")("ignore");
        switch (role) {
        case Role::weather:
            records.checked =
                records::check_weather_file(s_.weather.state, text_path, columns, prepare);
            break;
        case Role::inventory:
            records.checked =
                records::check_inventory_file(s_.inventory.state, text_path, columns);
            break;
        case Role::production:
            records.checked = records::check_production_file(
                s_.production.state, text_path, columns, dayfirst_given(role) &&
                                                            section(role)["dayfirst"].is(Py_True));
            break;
        case Role::selection:
            records.checked = records::check_selection_file(
                s_.selection.state, text_path, columns, dayfirst_given(role) &&
                                                           section(role)["dayfirst"].is(Py_True));
            break;
        default:
            break;
        }
        records.loaded = true;
        release();
    } catch (nb::python_error &error) {
        release();
        if (!host::error_is(error, PyExc_Exception))  // Ctrl-C, exits: not the file's
            throw;
        // The loader's note names the line of a parsing error.
        nb::object line = nb::none();
        nb::object value = nb::borrow(error.value());
        if (nb::hasattr(value, "__notes__"))
            for (nb::handle note : value.attr("__notes__")) {
                std::string text = utf8(note);
                size_t at = text.rfind(", at line ");
                if (at != std::string::npos)
                    line = nb::int_(std::stol(text.substr(at + 10)));
            }
        add(records.file, line, nb::none(), nb::none(), Rule::load, error_text(error));
        return records;
    }
    if (records.has_table())
        records.lines =
            records::row_lines(records.checked.source, nb::len(records.checked.table));
    report_loading(role, records);
    return records;
}

// What loading skipped, the farm's labels, and the reader's failures.
void FarmCheck::report_loading(Role role, const RecordFile &records) {
    const records::TableSource &source = records.checked.source;
    nb::object file = records.file;
    if (source.preamble_last > 0 || source.notes_last > 0) {
        nb::str header = host::text("the table's header is line ",
                                    host::Str{nb::int_(source.header_line)});
        nb::str above = source.preamble_last > 0
                            ? host::text("; lines ", host::Str{nb::int_(source.preamble_first)},
                                         "-", host::Str{nb::int_(source.preamble_last)},
                                         " above it are not read")
                            : nb::str("");
        nb::str below = source.notes_last > 0
                            ? host::text("; lines ", host::Str{nb::int_(source.notes_first)}, "-",
                                         host::Str{nb::int_(source.notes_last)},
                                         " after the table are not rows of it")
                            : nb::str("");
        add(file, nb::int_(source.header_line), nb::none(), nb::none(), Rule::skipped_lines,
            host::text(header, above, below));
    }

    if (source.encoding == "cp1252") {
        char byte = (char) source.legacy_byte;
        nb::object shown = nb::bytes(&byte, 1).attr("decode")("cp1252");
        add(file, nb::int_(source.legacy_line), nb::none(), nb::none(), Rule::encoding,
            host::text(host::Repr{file}, " is not UTF-8: it is read as Windows-1252, the encoding "
                       "spreadsheet programs on Windows write (its first letter beyond ASCII, on "
                       "line ", std::to_string(source.legacy_line), ", reads ", host::Repr{shown},
                       "); if that is not the letter the file means, save the file as UTF-8"));
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
            nb::str example = nb::len(close) > 0
                                  ? host::text(", e.g. ", role_name(role), ": {columns: {",
                                               host::Str{ours}, ": ", host::Str{close[0]}, "}}")
                                  : nb::str("");
            add(nb::str(farm_file), nb::none(), theirs, nb::none(), Rule::unmapped_column,
                host::text("farm.yaml maps ", host::Repr{ours}, " of ", role_name(role),
                           " to the column ", host::Repr{theirs}, ", which ", host::Str{file},
                           " does not have: ", header, "; name one of its labels", example));
        }

    nb::dict config = section(role);
    bool dayfirst = config.contains("dayfirst") && nb::handle(config["dayfirst"]).is(Py_True);
    nb::object table = records.checked.table;
    for (const records::Failure &failure : records.checked.failures) {
        Rule rule = Rule::load;
        if (!rule_named(failure.rule.c_str(), rule))
            rule = Rule::load;
        nb::object column = failure.column, message = failure.message;
        const records::Rows &rows = failure.rows;
        if (rule == Rule::required_columns && host::contains(unmapped, column))
            continue;  // farm.yaml's label is the cause, and found above
        nb::object label = column.is_none() || role == Role::weather
                               ? nb::object(column)
                               : file_column(role, column);
        if (rows.empty()) {
            nb::str text = rule == Rule::required_columns
                               ? host::text("required column ", host::Repr{label},
                                            " is missing: ", header,
                                            "; if the file labels it otherwise, name that label "
                                            "in farm.yaml: ",
                                            role_name(role), ": {columns: {", host::Str{column},
                                            ": LABEL}} with LABEL one of the header's labels")
                               : nb::borrow<nb::str>(host::str(message));
            add(file, rule == Rule::required_columns ? header_line : nb::object(nb::none()), label,
                nb::none(), rule, text);
            continue;
        }
        nb::object cells = table.is_valid() && records::has_column(table, column)
                               ? nb::object(table[column].attr("tolist")())
                               : nb::object();
        for (size_t i : rows) {
            nb::object value = cells.is_valid() ? cell_text(cells[i]) : nb::object(nb::none());
            add(file, records.line_at(i), label, value, rule,
                row_message(rule, label, value, message, role, dayfirst));
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
    const char *name = role_name(role);
    add(records.file, records.line_at(examples[0]), label, cell_text(values[examples[0]]),
        Rule::ambiguous_dates,
        host::text("every date of ", host::Repr{label},
                   " reads both day first and month first (", parts,
                   "): say how the file writes them in farm.yaml, ", name,
                   ": {dayfirst: true} for day first or ", name,
                   ": {dayfirst: false} for month first"));
}

RecordFile FarmCheck::check_record_file(Role role, nb::handle path) {
    nb::dict columns = columns_of(role);
    return check_records(role, path, nb::len(columns) > 0 ? nb::object(columns) : nb::none());
}

bool FarmCheck::weeks_of(const RecordFile &records, nb::handle dates, nb::handle written,
                         nb::handle label, std::vector<nb::object> &weeks) {
    bool all = true;
    nb::list cells = nb::list(dates.attr("tolist")());
    nb::list as_written = nb::list(written.attr("tolist")());
    nb::object week_of = provider_.attr("week_index_for_date");
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
        try {
            weeks.push_back(week_of(cells[i]));
        } catch (nb::python_error &error) {
            if (!host::error_is(error, PyExc_Exception))  // Ctrl-C, exits: not the file's
                throw;
            add(records.file, records.line_at(i), label, cell_text(cells[i]), Rule::weather_period,
                host::str(error.value()));
            weeks.push_back(nb::none());
            all = false;
        }
    }
    return all;
}

void FarmCheck::same_week_warnings(const RecordFile &records, nb::handle label,
                                   const std::vector<std::pair<nb::object, nb::object>> &keys,
                                   nb::handle date_cells, const char *what) {
    nb::list dates = nb::list(date_cells.attr("tolist")());
    // Rows in file order, grouped by key: every row but the last of a group
    // is replaced by a later one.
    nb::dict groups;
    for (size_t i = 0; i < keys.size(); ++i) {
        if (keys[i].second.is_none())
            continue;
        nb::object key = nb::make_tuple(keys[i].first, keys[i].second);
        if (!groups.contains(key))
            groups[key] = nb::list();
        nb::borrow<nb::list>(groups[key]).append(nb::int_(i));
    }
    for (auto [key, rows] : groups) {
        size_t count = nb::len(rows);
        if (count < 2)
            continue;
        // Rows of one date are the duplicate rule's: only rows of several
        // dates are news here.
        std::vector<std::string> days;
        std::string where;
        for (size_t k = 0; k < count; ++k) {
            size_t row = nb::cast<size_t>(rows[k]);
            days.push_back(utf8(dates[row]));
            where += (k == 0 ? "" : k + 1 == count ? " and " : ", ") + utf8(records.line_at(row));
        }
        if (std::all_of(days.begin(), days.end(), [&](const std::string &d) { return d == days[0]; }))
            continue;
        nb::object last = records.line_at(nb::cast<size_t>(rows[count - 1]));
        for (size_t k = 0; k + 1 < count; ++k) {
            size_t row = nb::cast<size_t>(rows[k]);
            add(records.file, records.line_at(row), label, cell_text(dates[row]), Rule::same_week,
                host::text(what, " fall in model week ", host::Str{nb::handle(key)[1]},
                           " (lines ", where.c_str(), "); the later row (line ", host::Str{last},
                           ") wins"));
        }
    }
}

nb::object FarmCheck::dated_records(Role role, const char *cls, const RecordFile &records,
                                    bool by_tag, const char *what) {
    if (!records.has_table())
        return nb::object();
    nb::object table = records.checked.table;
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
    same_week_warnings(records, label, keys, table["date"], what);
    if (!placed || !records.has_data())
        return nb::object();
    // Every row has its week: the provider answers the data class as it
    // answered above.
    return host::from_import(reader_modules[size_t(role)], cls)(records.checked.data, provider_);
}

namespace {

// What the check makes of each optional record file: what is left out of
// the model without it, and for a dated file the data class built from it,
// whether its rows are keyed by tag, and what rows of one week are.
struct OptionalFile {
    const char *absent;
    const char *cls;
    bool by_tag;
    const char *what;
};

const OptionalFile optional_files[role_count] = {
    {},
    {},
    {},
    {"; the model starts without a population inventory", nullptr, false, nullptr},
    {"; no harvest records are compared with the model", "RibbonProductionData", true,
     "rows of one tag"},
    {"; no sucker selection records are compared with the model", "SuckerSelectionData", false,
     "selection dates"},
};

}  // namespace

void FarmCheck::check_optional(Role role, nb::handle path) {
    const OptionalFile &kind = optional_files[size_t(role)];
    const char *name = role_name(role);
    if (path.is_none()) {
        notice(name, host::text("no ", name, " file in ", host::Repr{host::str(folder_)},
                                kind.absent));
        return;
    }
    RecordFile records = check_record_file(role, path);
    nb::object &kept = role == Role::inventory    ? inventory_
                       : role == Role::production ? production_
                                                  : selection_;
    nb::object data = kind.cls ? dated_records(role, kind.cls, records, kind.by_tag, kind.what)
                               : records.has_data() ? records.checked.data
                                                    : nb::object();
    if (data.is_valid())
        kept = data;
}

}  // namespace farm
