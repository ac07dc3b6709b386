// The weather file: what would give the model a wrong temperature signal
// (missing or non-numeric values, missing-value markers, impossible values,
// degrees Fahrenheit or kelvin) or a wrong calendar (dates that read both
// ways, stacked stations, hourly rows, missing days, one row a week).
#include "farm/check.hpp"

#include "host/capi.hpp"
#include "host/host.hpp"
#include "records/columns.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string_view>

namespace farm {

using host::checked;
using host::utf8;

namespace {

// What weather services write for a missing value.
const double markers[] = {-99.9, -999.0, -999.9, -9999.0, -99999.0, 999.9, 9999.0, 9999.9, 99999.0};
constexpr double lowest_celsius = -60.0, highest_celsius = 60.0;

bool is_marker(double v) {
    for (double m : markers)
        if (v == m)
            return true;
    return false;
}

std::string lowered(std::string text) {
    for (char &c : text)
        c = (char) std::tolower((unsigned char) c);
    return text;
}

// The unit a column's label names: 'F', 'K' or 0.
char unit_of_label(const std::string &label) {
    std::string l = lowered(label);
    for (const char *f : {"\xc2\xb0" "f", "degf", "deg f", "(f)", "[f]", "fahrenheit"})
        if (l.find(f) != std::string::npos)
            return 'F';
    for (const char *k : {"(k)", "[k]", "kelvin", "degk", "deg k"})
        if (l.find(k) != std::string::npos)
            return 'K';
    return 0;
}

// The UTC offset a timestamp ends with ("Z", "+02:00", "-0500", "+01"),
// after its time of day; empty when it ends with none.
std::string_view utc_offset(std::string_view cell) {
    while (!cell.empty() && cell.back() == ' ')
        cell.remove_suffix(1);
    size_t n = cell.size();
    auto time_before = [&](size_t at) {
        return at > 0 && std::isdigit((unsigned char) cell[at - 1]) &&
               cell.substr(0, at).find(':') != std::string_view::npos;
    };
    if (n > 0 && cell[n - 1] == 'Z' && time_before(n - 1))
        return cell.substr(n - 1);
    for (size_t length : {6, 5, 3}) {  // +HH:MM, +HHMM, +HH
        if (n < length)
            continue;
        std::string_view tail = cell.substr(n - length);
        bool shape = (tail[0] == '+' || tail[0] == '-') && std::isdigit((unsigned char) tail[1]) &&
                     std::isdigit((unsigned char) tail[2]);
        if (length == 6)
            shape = shape && tail[3] == ':' && std::isdigit((unsigned char) tail[4]) &&
                    std::isdigit((unsigned char) tail[5]);
        if (length == 5)
            shape = shape && std::isdigit((unsigned char) tail[3]) &&
                    std::isdigit((unsigned char) tail[4]);
        if (shape && time_before(n - length))
            return tail;
    }
    return std::string_view();
}

// Timestamps whose UTC offset changes within the file (daylight saving
// time: +01:00, then +02:00) read as the local times they write: the date
// is the calendar date as written.
nb::object local_times(nb::handle table, nb::handle label) {
    if (!records::has_column(table, label))
        return nb::borrow(table);
    nb::list cells = nb::list(table[label].attr("tolist")());
    std::string first;
    bool changes = false;
    for (nb::handle cell : cells) {
        if (!PyUnicode_Check(cell.ptr()))
            continue;
        std::string offset(utc_offset(utf8(cell)));
        if (offset.empty())
            continue;
        if (first.empty())
            first = offset;
        else if (offset != first)
            changes = true;
    }
    if (!changes)
        return nb::borrow(table);
    nb::list local;
    for (nb::handle cell : cells) {
        if (!PyUnicode_Check(cell.ptr())) {
            local.append(cell);
            continue;
        }
        std::string text = utf8(cell);
        std::string_view offset = utc_offset(text);
        std::string_view kept = std::string_view(text).substr(0, text.size() - offset.size());
        while (!offset.empty() && !kept.empty() && kept.back() == ' ')
            kept.remove_suffix(1);
        local.append(nb::str(kept.data(), kept.size()));
    }
    nb::dict replaced;
    replaced[label] = host::import("pandas").attr("Series")(
        local, nb::arg("index") = table.attr("index"), nb::arg("dtype") = "object");
    if (!PyUnicode_Check(label.ptr())) {
        nb::object copy = table.attr("copy")();
        copy[label] = replaced[label];
        return copy;
    }
    return table.attr("assign")(**replaced);
}

nb::str day_text(long long ordinal) {
    return host::str(host::from_import("datetime", "date").attr("fromordinal")(ordinal));
}

}  // namespace

void FarmCheck::check_weather(nb::handle path) {
    if (path.is_none())
        return;
    nb::dict fields = columns_of(Role::weather);
    nb::dict config = section(Role::weather);
    if (config.contains("dayfirst") && PyBool_Check(nb::handle(config["dayfirst"]).ptr()))
        fields["dayfirst"] = config["dayfirst"];
    // Labels as text and dayfirst as a bool: farm.yaml's check let nothing
    // else through.
    nb::object column_map = host::from_import("py_zelka.weather", "ColumnMap")(**fields);
    nb::object date_label = column_map.attr("date");
    RecordFile records = check_records(Role::weather, path, column_map,
                                       [&](nb::handle table) { return local_times(table, date_label); });
    if (!records.has_table())
        return;
    nb::object table = records.checked.table;
    if (records::has_column(table, date_label))
        ambiguous_dates(Role::weather, records, table[date_label], date_label);
    if (!records.has_data())
        return;
    nb::object data = records.checked.data;
    weather_ = data;
    bool heat_units = !column_map.attr("heat_units").is_none();
    nb::object source_label = heat_units ? nb::object(column_map.attr("heat_units"))
                                         : nb::object(column_map.attr("tmean"));
    std::vector<bool> usable;
    weather_signal(records, data, source_label, heat_units, usable);
    weather_dates(records, data, date_label, usable);

    try {
        provider_ = host::from_import("py_zelka.weather", "WeatherProvider")
                        .attr("from_table")(data, nb::arg("week_length_days") = week_length());
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_Exception))  // Ctrl-C, exits: not the file's
            throw;
        add(records.file, nb::none(), date_label, nb::none(), Rule::weather_period,
            error_text(error));
    }
}

void FarmCheck::weather_signal(const RecordFile &records, nb::handle data,
                               nb::handle source_label, bool heat_units,
                               std::vector<bool> &usable) {
    nb::object file = records.file;
    nb::object pd = host::import("pandas");
    nb::object signal_label = nb::str(data.attr("columns")[1]);
    nb::object signal = data[signal_label];
    nb::list raw = nb::list(signal.attr("tolist")());
    nb::object numbers = pd.attr("to_numeric")(signal, nb::arg("errors") = "coerce");
    nb::list converted = nb::list(numbers.attr("astype")("float64").attr("tolist")());
    size_t n = nb::len(raw);
    usable.assign(n, false);
    std::vector<double> values(n, std::nan(""));
    size_t numeric = 0;
    for (size_t i = 0; i < n; ++i) {
        values[i] = nb::cast<double>(converted[i]);
        numeric += !std::isnan(values[i]);
    }
    if (n > 0 && numeric == 0) {
        add(file, nb::none(), source_label, nb::none(), Rule::empty_signal,
            host::text("every value of ", host::Repr{source_label},
                       " is missing or not a number: the weather gives the model no ",
                       host::Str{signal_label},
                       "; fill the column or name the right one in farm.yaml, e.g. weather: "
                       "{columns: {",
                       host::Str{signal_label}, ": LABEL}}"));
        return;
    }
    // Cells that are text but no number: a decimal comma, or text.
    for (size_t i = 0; i < n; ++i) {
        if (host::is_missing(raw[i]) || !std::isnan(values[i]))
            continue;
        std::string text = utf8(raw[i]);
        std::string probe = text;
        for (char &c : probe)
            if (c == ',')
                c = '.';
        char *end = nullptr;
        std::strtod(probe.c_str(), &end);
        bool decimal_comma =
            text.find(',') != std::string::npos && !probe.empty() && end && *end == '\0';
        add(file, records.line_at(i), source_label, raw[i], Rule::non_numeric_signal,
            decimal_comma
                ? host::text(host::Repr{raw[i]},
                             " is not a number: a decimal comma? Write the decimal point (",
                             probe.c_str(), ") or export the file with one")
                : host::text(host::Repr{raw[i]},
                             " is not a number; write the number, or leave the cell empty where "
                             "the value is missing"));
    }
    // Markers, then the unit of the whole column, then values one by one.
    std::vector<double> plain;
    for (size_t i = 0; i < n; ++i) {
        double v = values[i];
        if (std::isnan(v))
            continue;
        if (is_marker(v)) {
            add(file, records.line_at(i), source_label, cell_text(raw[i]), Rule::missing_marker,
                host::text(host::Repr{cell_text(raw[i])},
                           " is a missing-value marker, not a measurement: leave the cell empty "
                           "where the value is missing"));
            continue;
        }
        usable[i] = true;
        plain.push_back(v);
    }
    if (plain.empty())
        return;
    if (heat_units) {
        for (size_t i = 0; i < n; ++i)
            if (usable[i] && values[i] < 0.0)
                add(file, records.line_at(i), source_label, cell_text(raw[i]),
                    Rule::negative_heat_units,
                    host::text("heat units of ", host::Repr{cell_text(raw[i])},
                               " are negative: heat units are 0 or more"));
        return;
    }
    std::vector<double> sorted = plain;
    std::sort(sorted.begin(), sorted.end());
    size_t m = sorted.size();
    double median = m % 2 ? sorted[m / 2] : (sorted[m / 2 - 1] + sorted[m / 2]) / 2.0;
    nb::object shown = nb::float_(std::round(median * 10.0) / 10.0);
    char unit = unit_of_label(utf8(source_label));
    if (!unit && median > 200.0)
        unit = 'K';
    else if (!unit && median > 40.0)
        unit = 'F';
    if (unit) {
        bool by_label = unit_of_label(utf8(source_label)) != 0;
        const char *name = unit == 'F' ? "degrees Fahrenheit" : "kelvin";
        const char *formula = unit == 'F' ? "(F - 32) / 1.8" : "K - 273.15";
        add(file, nb::none(), source_label, nb::none(), Rule::temperature_units,
            by_label ? host::text("the label ", host::Repr{source_label}, " says ", name,
                                  ": the model reads degrees Celsius; convert the column (",
                                  formula, ")")
                     : host::text("the values of ", host::Repr{source_label}, " look like ", name,
                                  " (median ", host::Repr{shown},
                                  "): the model reads degrees Celsius; convert the column (",
                                  formula, ")"));
        return;
    }
    for (size_t i = 0; i < n; ++i)
        if (usable[i] && (values[i] < lowest_celsius || values[i] > highest_celsius))
            add(file, records.line_at(i), source_label, cell_text(raw[i]),
                Rule::implausible_value,
                host::text(host::Repr{cell_text(raw[i])},
                           " is no mean temperature in degrees Celsius (they lie from -60 to "
                           "60): correct it, or leave the cell empty where it is missing"));
}

void FarmCheck::weather_dates(const RecordFile &records, nb::handle data, nb::handle date_label,
                              const std::vector<bool> &usable) {
    nb::object file = records.file;
    nb::object table = records.checked.table;
    nb::list written = nb::list(table[date_label].attr("tolist")());
    nb::list stamps = nb::list(data["date"].attr("tolist")());
    nb::list signal = nb::list(data[nb::str(data.attr("columns")[1])].attr("tolist")());
    size_t n = nb::len(stamps);
    std::map<long long, size_t> first_of_stamp, first_of_day;
    std::vector<long long> days(n, 0);
    std::vector<bool> dated(n, false);
    nb::object previous;
    size_t previous_row = 0;
    for (size_t i = 0; i < n; ++i) {
        nb::handle stamp = stamps[i];
        if (host::is_missing(stamp))
            continue;
        long long value = nb::cast<long long>(stamp.attr("value"));
        long long day = nb::cast<long long>(stamp.attr("toordinal")());
        days[i] = day;
        dated[i] = true;
        auto seen = first_of_stamp.find(value);
        if (seen != first_of_stamp.end()) {
            size_t first = seen->second;
            bool same = host::is_missing(signal[i]) ? host::is_missing(signal[first])
                                                    : nb::handle(signal[i]).equal(signal[first]);
            if (same)
                add(file, records.line_at(i), date_label, cell_text(written[i]),
                    Rule::duplicate_row,
                    host::text("the same date and value as line ",
                               host::Str{records.line_at(first)}, ": a repeated row"));
            else
                add(file, records.line_at(i), date_label, cell_text(written[i]),
                    Rule::stacked_rows,
                    host::text("the same date as line ", host::Str{records.line_at(first)},
                               " with another value: are several stations stacked in the file? "
                               "The model reads one row a day"));
        } else {
            first_of_stamp[value] = i;
            auto same_day = first_of_day.find(day);
            if (same_day != first_of_day.end())
                add(file, records.line_at(i), date_label, cell_text(written[i]), Rule::sub_daily,
                    host::text("a second row for the day of line ",
                               host::Str{records.line_at(same_day->second)},
                               ": hourly rows? The model reads one row a day (the daily mean)"));
            else
                first_of_day[day] = i;
        }
        if (previous.is_valid() && host::truth(nb::steal(checked(PyObject_RichCompare(
                                       stamp.ptr(), previous.ptr(), Py_LT)))))
            add(file, records.line_at(i), date_label, cell_text(written[i]),
                Rule::unsorted_dates,
                host::text("earlier than the date of line ",
                           host::Str{records.line_at(previous_row)}, ": the dates are not in order"));
        previous = nb::borrow(stamp);
        previous_row = i;
    }
    std::vector<bool> counted(n, false);
    for (size_t i = 0; i < n; ++i)
        counted[i] = dated[i] && i < usable.size() && usable[i];
    // Gaps and spacing mean something only of a signal and a calendar read
    // one way: an empty signal and dates that read both ways are findings
    // of their own.
    if (!has_finding(file, Rule::empty_signal) && !has_finding(file, Rule::ambiguous_dates))
        weather_gaps(records, date_label, days, counted);
}

void FarmCheck::weather_gaps(const RecordFile &records, nb::handle date_label,
                             const std::vector<long long> &days,
                             const std::vector<bool> &usable) {
    // The days with a row, and the days with a value.
    std::map<long long, size_t> rows_of_day, values_of_day;
    for (size_t i = 0; i < days.size(); ++i) {
        if (days[i] == 0)
            continue;
        rows_of_day.emplace(days[i], i);
        if (usable[i])
            values_of_day.emplace(days[i], i);
    }
    if (rows_of_day.size() < 2)
        return;
    // One row every few days: the spacing most rows have.
    std::vector<long long> steps;
    long long last = rows_of_day.begin()->first;
    for (auto it = std::next(rows_of_day.begin()); it != rows_of_day.end(); ++it) {
        steps.push_back(it->first - last);
        last = it->first;
    }
    std::vector<long long> sorted = steps;
    std::sort(sorted.begin(), sorted.end());
    long long spacing = sorted[sorted.size() / 2];
    if (spacing > 1) {
        auto first = rows_of_day.begin(), second = std::next(first);
        add(records.file, records.line_at(second->second), date_label, nb::none(), Rule::not_daily,
            host::text("the weather has one row every ", host::Str{nb::int_(spacing)},
                       " days (lines ", host::Str{records.line_at(first->second)}, " and ",
                       host::Str{records.line_at(second->second)},
                       "), not one a day: the model reads one row a day; export daily weather"));
        return;
    }
    // Each model week (week 0 begins on the first date) as the model sums
    // it: a week missing more than two of its days (or all of them) has
    // degree-days short by more than a few days' worth -- an error; one or
    // two missing days are a warning.  Weeks wholly without weather, one
    // after another, are one finding.
    long long start = rows_of_day.begin()->first, end = rows_of_day.rbegin()->first;
    long long length = week_length();
    auto row_at = [&](long long day) {
        // The row of the day (it has no value), or the first row after it.
        return rows_of_day.lower_bound(day)->second;
    };
    auto span = [](long long first, long long last) {
        return first == last ? host::text(day_text(first))
                             : host::text(day_text(first), " to ", day_text(last));
    };
    long long empty_from = -1, empty_to = -1, empty_days = 0;
    auto flush_empty = [&](long long next_week) {
        if (empty_from < 0)
            return;
        long long first_day = start + empty_from * length;
        long long last_day = std::min(start + (next_week)*length - 1, end);
        nb::str weeks = empty_from == empty_to
                            ? host::text("model week ", std::to_string(empty_from), " (",
                                         span(first_day, last_day), ") has no value on any of its ",
                                         std::to_string(empty_days), " days")
                            : host::text("model weeks ", std::to_string(empty_from), " to ",
                                         std::to_string(empty_to), " (", span(first_day, last_day),
                                         ") have no value on any of their ",
                                         std::to_string(empty_days), " days");
        add(records.file, records.line_at(row_at(first_day)), date_label, nb::none(),
            Rule::missing_week,
            host::text(weeks, ": the model would have no degree-days for ",
                       empty_from == empty_to ? "it" : "them", "; fill in the missing days"));
        empty_from = -1;
        empty_days = 0;
    };
    for (long long week = 0; start + week * length <= end; ++week) {
        long long first = start + week * length, last = std::min(first + length - 1, end);
        std::vector<long long> missing;
        for (long long day = first; day <= last; ++day)
            if (!values_of_day.count(day))
                missing.push_back(day);
        long long days = last - first + 1, count = (long long) missing.size();
        if (count == days) {
            if (empty_from < 0)
                empty_from = week;
            empty_to = week;
            empty_days += days;
            continue;
        }
        flush_empty(week);
        if (count == 0)
            continue;
        // The missing days as runs: "2024-01-16 to 2024-01-18 and 2024-01-20".
        nb::str which("");
        for (size_t k = 0; k < missing.size();) {
            size_t j = k;
            while (j + 1 < missing.size() && missing[j + 1] == missing[j] + 1)
                ++j;
            bool final = j + 1 == missing.size();
            which = host::text(which, k == 0 ? "" : final ? " and " : ", ",
                               span(missing[k], missing[j]));
            k = j + 1;
        }
        bool short_week = count > 2;
        add(records.file, records.line_at(row_at(missing.front())), date_label, nb::none(),
            short_week ? Rule::missing_week : Rule::missing_days,
            host::text("model week ", std::to_string(week), " (", span(first, last),
                       ") has no value on ", std::to_string(count), " of its ",
                       std::to_string(days), count == 1 ? " days (" : " days (", which, ")",
                       short_week ? ": its degree-days would be short by more than two days' "
                                    "worth; fill in the missing days"
                                  : "; fill in the missing days"));
    }
    flush_empty((end - start) / length + 1);
}

}  // namespace farm
