// The weather file: what would give the model a wrong temperature signal
// (missing or non-numeric values, missing-value markers, impossible values,
// a unit or scale not said) or a wrong calendar (dates that read both ways,
// stacked stations, hourly rows, missing days, one row a week), and the
// weather as the model reads it: the declared scale and unit applied, one row
// a day (the day's mean where farm.yaml says so).  The climate archives'
// checks of the daily values are in quality.cpp.
#include "farm/check.hpp"

#include "host/capi.hpp"
#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/dates.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace farm {

using host::checked;
using host::utf8;

namespace {

// What weather services write for a missing value.
const double markers[] = {-99.9, -999.0, -999.9, -9999.0, -99999.0, 999.9, 9999.0, 9999.9, 99999.0};

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

// The words of a label: split at what is no letter or digit, and where a
// lower-case letter is followed by an upper-case one ("TempF": Temp, F;
// "tmean_F": tmean, F; "T (K)": T, K; "°F": F).
std::vector<std::string> label_words(const std::string &label) {
    std::vector<std::string> words;
    std::string word;
    for (size_t i = 0; i < label.size(); ++i) {
        unsigned char c = (unsigned char) label[i];
        if (!std::isalnum(c)) {
            if (!word.empty())
                words.push_back(word);
            word.clear();
            continue;
        }
        if (!word.empty() && std::isupper(c) && std::islower((unsigned char) word.back())) {
            words.push_back(word);
            word.clear();
        }
        word += (char) c;
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

// The unit a column's label names: 'F', 'K', 'C' or 0.
char unit_of_label(const std::string &label) {
    std::string l = lowered(label);
    for (const char *degree : {"\xc2\xb0", "\xc2\xba"})  // "°F", "º C"
        for (size_t at = l.find(degree); at != std::string::npos; at = l.find(degree, at + 1)) {
            size_t next = l.find_first_not_of(' ', at + 2);
            char unit = next == std::string::npos ? 0 : l[next];
            if (unit == 'f' || unit == 'c')
                return (char) std::toupper((unsigned char) unit);
        }
    std::vector<std::string> words = label_words(label);
    for (size_t k = 0; k < words.size(); ++k) {
        std::string w = lowered(words[k]);
        bool after_deg = k > 0 && lowered(words[k - 1]) == "deg";
        if (w == "fahrenheit" || w == "degf" || (words[k] == "F" && (words.size() > 1 || after_deg)))
            return 'F';
        if (w == "kelvin" || w == "degk" || (words[k] == "K" && (words.size() > 1 || after_deg)))
            return 'K';
        if (w == "celsius" || w == "degc" || (words[k] == "C" && (words.size() > 1 || after_deg)))
            return 'C';
    }
    return 0;
}

// A marker as farm.yaml would list it: -999 (an int when it is whole).
nb::object marker_value(double v) {
    if (v == std::floor(v) && std::fabs(v) < 1e15)
        return nb::int_((long long) v);
    return nb::float_(v);
}

constexpr long long day_nanos = 86400LL * 1000000000LL;

// The dates of a column as nanoseconds since 1970 of their wall time (a
// zone's dates read as they are written), no_stamp where there is none: one
// pass of numpy, not a call per row.
std::vector<long long> nanos_of(nb::handle dates) {
    nb::object pd = host::import("pandas");
    nb::object index = pd.attr("DatetimeIndex")(dates);
    if (!index.attr("tz").is_none())
        index = index.attr("tz_localize")(nb::none());
    records::Int64Values values(pd.attr("Index")(index.attr("as_unit")("ns").attr("asi8")));
    std::vector<long long> out(values.size());
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = values[i];  // NaT is INT64_MIN, as no_stamp
    return out;
}

// The day's ordinal of a date in nanoseconds, 0 when there is none.
long long ordinal_of(long long nanos) {
    if (nanos == no_stamp)
        return 0;
    long long days = nanos / day_nanos - (nanos % day_nanos < 0);
    return days + records::epoch_ordinal;
}

}  // namespace

std::string number_text(double v) {
    if (v == std::floor(v) && std::fabs(v) < 1e15)
        return std::to_string((long long) v);
    return utf8(host::repr(nb::float_(v)));
}

void FarmCheck::check_weather(nb::handle path) {
    if (path.is_none())
        return;
    const Declared &declared = this->declared(Role::weather);
    nb::dict fields = columns_of(Role::weather);
    for (const char *extra : {"tmin", "tmax"})
        if (fields.contains(extra))
            PyDict_DelItemString(fields.ptr(), extra);
    nb::object mean_label = nb::none();
    if (nb::len(declared.mean_of) == 2) {
        mean_label = host::text("mean of ", host::Str{declared.mean_of[0]}, " and ",
                                host::Str{declared.mean_of[1]});
        fields["tmean"] = mean_label;
    }
    if (declared.dayfirst >= 0)
        fields["dayfirst"] = nb::bool_(declared.dayfirst == 1);
    // Labels as text and dayfirst as a bool: farm.yaml's check let nothing
    // else through.
    nb::object column_map = host::from_import("py_zelka.weather", "ColumnMap")(**fields);
    nb::object date_label = column_map.attr("date");
    RecordFile records = check_records(Role::weather, path, column_map,
                                       declarations(Role::weather, date_label, mean_label));
    if (!records.has_table())
        return;
    nb::object table = records.checked.table;
    if (records::has_column(table, date_label))
        ambiguous_dates(Role::weather, records, table[date_label], date_label);
    if (!records.has_data())
        return;
    nb::object data = records.checked.data;
    bool heat_units = !column_map.attr("heat_units").is_none();
    nb::object source_label = heat_units ? nb::object(column_map.attr("heat_units"))
                                         : nb::object(column_map.attr("tmean"));
    WeatherSeries rows = weather_values(records, data, source_label, heat_units);
    weather_rows(records, rows, date_label);
    WeatherSeries days = declared.daily ? daily_means(records, rows) : std::move(rows);
    // Gaps and spacing mean something only of a signal and a calendar read
    // one way: an empty signal and dates that read both ways are findings
    // of their own.
    nb::object file = records.file;
    if (!has_finding(file, Rule::empty_signal) && !has_finding(file, Rule::ambiguous_dates))
        weather_gaps(records, days, date_label);
    // The archives' checks read one value a day, in a known unit.
    bool one_a_day = !has_finding(file, Rule::sub_daily) && !has_finding(file, Rule::stacked_rows) &&
                     !has_finding(file, Rule::not_daily);
    if (!heat_units && !units_refused_ && one_a_day && !has_finding(file, Rule::empty_signal))
        weather_quality(records, days, date_label);

    // The weather as the model reads it.
    nb::object pd = host::import("pandas");
    nb::list values;
    for (size_t k = 0; k < days.values.size(); ++k)
        values.append(nb::float_(days.usable[k] ? days.values[k] : std::nan("")));
    nb::dict columns;
    columns["date"] = pd.attr("to_datetime")(days.stamps);
    columns[heat_units ? "heat_units" : "tmean"] = pd.attr("array")(values, nb::arg("dtype") = "float64");
    weather_ = pd.attr("DataFrame")(columns);
    try {
        provider_ = host::from_import("py_zelka.weather", "WeatherProvider")
                        .attr("from_table")(weather_, nb::arg("week_length_days") = week_length());
    } catch (nb::python_error &error) {
        if (!host::error_is(error, PyExc_Exception))  // Ctrl-C, exits: not the file's
            throw;
        add(records.file, nb::none(), date_label, nb::none(), Rule::weather_period,
            error_text(error));
    }
}

WeatherSeries FarmCheck::weather_values(const RecordFile &records, nb::handle data,
                                        nb::handle source_label, bool heat_units) {
    const Declared &declared = this->declared(Role::weather);
    nb::object file = records.file;
    nb::object table = records.checked.table;
    nb::object signal_label = nb::str(data.attr("columns")[1]);
    nb::object signal = data[signal_label];
    nb::list raw = nb::list(signal.attr("tolist")());
    std::vector<double> converted = numbers_of(signal);
    size_t n = nb::len(raw);
    WeatherSeries out;
    out.cells = raw;
    out.stamps = nb::list(data["date"].attr("tolist")());
    out.nanos = nanos_of(data["date"]);
    out.values.assign(n, std::nan(""));
    out.usable.assign(n, false);
    size_t numeric = 0;
    for (size_t i = 0; i < n; ++i) {
        out.rows.push_back(i);
        out.days.push_back(ordinal_of(out.nanos[i]));
        out.values[i] = converted[i];
        numeric += !std::isnan(out.values[i]);
    }
    if (n > 0 && numeric == 0) {
        // The mean of a maximum and a minimum column, where the file has them.
        nb::object hint = nb::none();
        nb::object high, low;
        for (nb::handle label : host::as_list(table.attr("columns"))) {
            if (!PyUnicode_Check(label.ptr()))
                continue;
            std::string l = lowered(utf8(label));
            if (!high.is_valid() && (l.find("max") != std::string::npos || l == "tx"))
                high = nb::borrow(label);
            if (!low.is_valid() && (l.find("min") != std::string::npos || l == "tn"))
                low = nb::borrow(label);
        }
        std::string advice = "fill the column or name the right one in farm.yaml";
        if (high.is_valid() && low.is_valid()) {
            nb::dict mean, columns, updates;
            nb::list pair;
            pair.append(high);
            pair.append(low);
            mean["mean_of"] = pair;
            columns["tmean"] = mean;
            updates["columns"] = columns;
            hint = declaration(Role::weather, updates);
            advice = "the file has " + utf8(host::repr(high)) + " and " + utf8(host::repr(low)) +
                     ": take their mean in farm.yaml, " + utf8(hint);
        } else {
            advice += ", e.g. weather: {columns: {tmean: LABEL}}";
        }
        add(file, nb::none(), source_label, nb::none(), Rule::empty_signal,
            host::text("every value of ", host::Repr{source_label},
                       " is missing or not a number: the weather gives the model no ",
                       host::Str{signal_label}, "; ", advice.c_str()),
            hint);
        return out;
    }
    // Cells that are text but no number: a decimal comma, or text.
    for (size_t i = 0; i < n; ++i) {
        if (host::is_missing(raw[i]) || !std::isnan(out.values[i]))
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
    // Markers farm.yaml does not list, as written.
    std::vector<size_t> marked;
    nb::list found;
    for (size_t i = 0; i < n; ++i) {
        double v = out.values[i];
        if (std::isnan(v))
            continue;
        if (is_marker(v)) {
            marked.push_back(i);
            nb::object m = marker_value(v);
            if (!host::contains(found, m))
                found.append(m);
            continue;
        }
        out.usable[i] = true;
    }
    if (!marked.empty()) {
        nb::list listed;
        for (nb::handle m : declared.missing)
            listed.append(m);
        for (nb::handle m : found)
            listed.append(m);
        nb::object hint = declaration(Role::weather, "missing", listed);
        for (size_t i : marked)
            add(file, records.line_at(i), source_label, out.shown(i), Rule::missing_marker,
                host::text(host::Repr{out.shown(i)},
                           " is a missing-value marker, not a measurement: say so in farm.yaml, ",
                           host::Str{hint}, ", or leave the cell empty"),
                hint);
    }

    // The unit: as farm.yaml declares it, else as the label or the values say.
    double scale = declared.scaled ? declared.scale : 1.0;
    char unit = declared.units;
    if (!heat_units && unit == 0) {
        std::vector<double> sorted;
        for (size_t i = 0; i < n; ++i)
            if (out.usable[i])
                sorted.push_back(out.values[i] * scale);
        if (!sorted.empty()) {
            std::sort(sorted.begin(), sorted.end());
            size_t m = sorted.size();
            double median = m % 2 ? sorted[m / 2] : (sorted[m / 2 - 1] + sorted[m / 2]) / 2.0;
            unit = units_of(records, source_label, median);
        }
    }
    if (units_refused_)
        return out;
    // The model's units: the scale, then degrees Celsius.
    auto convert = [&](double v) {
        v *= scale;
        if (heat_units)
            return unit == 'F' ? v / 1.8 : v;
        return unit == 'F' ? (v - 32.0) / 1.8 : unit == 'K' ? v - 273.15 : v;
    };
    size_t changed = 0;
    for (size_t i = 0; i < n; ++i)
        if (!std::isnan(out.values[i])) {
            double v = convert(out.values[i]);
            changed += v != out.values[i];
            out.values[i] = v;
        }
    if (declared.scaled || (unit != 0 && unit != 'C')) {
        std::string what = std::to_string(changed) + (changed == 1 ? " cell" : " cells");
        if (declared.scaled)
            what += " multiplied by " + number_text(declared.scale);
        if (unit == 'F')
            what += std::string(declared.scaled ? " and" : "") + " converted from degrees Fahrenheit";
        else if (unit == 'K')
            what += std::string(declared.scaled ? " and" : "") + " converted from kelvin";
        nb::dict figures;
        figures["cells"] = nb::int_(changed);
        figures["scale"] = nb::float_(scale);
        figures["units"] = nb::str(unit == 'F' ? "degF" : unit == 'K' ? "K" : "degC");
        read_step(Role::weather, "units", nb::str((what + " to the model's " +
                                                   (heat_units ? "heat units in degC" : "degrees Celsius")).c_str()),
                  figures);
    }
    if (heat_units) {
        for (size_t i = 0; i < n; ++i)
            if (out.usable[i] && out.values[i] < 0.0)
                add(file, records.line_at(i), source_label, out.shown(i),
                    Rule::negative_heat_units,
                    host::text("heat units of ", host::Repr{out.shown(i)},
                               " are negative: heat units are 0 or more"));
        return out;
    }
    bool site = thresholds_.low != records::limits.low || thresholds_.high != records::limits.high;
    bool shown_converted = declared.scaled || unit == 'F' || unit == 'K';
    out.flagged.assign(n, false);
    for (size_t i = 0; i < n; ++i)
        if (out.usable[i] && (out.values[i] < thresholds_.low || out.values[i] > thresholds_.high) &&
            (out.flagged[i] = true))
            add(file, records.line_at(i), source_label, out.shown(i), Rule::implausible_value,
                host::text(host::Repr{out.shown(i)}, " is no mean temperature in degrees Celsius",
                           shown_converted ? " (it reads " + number_text(std::round(out.values[i] * 10) / 10) + " once converted)"
                                           : std::string(),
                           " (they lie from ", number_text(thresholds_.low).c_str(), " to ",
                           number_text(thresholds_.high).c_str(),
                           site ? " at this site, as farm.yaml says)" : ")",
                           ": correct it, or leave the cell empty where it is missing"));
    // The day's minimum and maximum, where farm.yaml names them.
    nb::dict fields = columns_of(Role::weather);
    for (const char *bound : {"tmin", "tmax"}) {
        if (!fields.contains(bound))
            continue;
        nb::object label = fields[bound];
        if (!records::has_column(table, label)) {
            add(nb::str(farm_file), line_or_none(yaml_lines_, std::string("weather.columns.") + bound),
                label, nb::none(), Rule::unmapped_column,
                host::text("farm.yaml maps '", bound, "' of weather to the column ",
                           host::Repr{label}, ", which ", host::Str{file}, " does not have: its "
                           "header has ", host::Str{records.checked.labels}));
            continue;
        }
        bool low = std::strcmp(bound, "tmin") == 0;
        std::vector<double> cells = numbers_of(table[label]);
        nb::object written;  // the bound's cells, taken at the first finding
        for (size_t i = 0; i < n && i < cells.size(); ++i) {
            double b = cells[i];
            if (!out.usable[i] || std::isnan(b) || is_marker(b))
                continue;
            b = convert(b);
            if (low ? out.values[i] >= b - 1e-9 : out.values[i] <= b + 1e-9)
                continue;
            if (!written.is_valid())
                written = table[label].attr("tolist")();
            add(file, records.line_at(i), source_label, out.shown(i), Rule::min_max,
                host::text("the mean ", host::Repr{out.shown(i)}, low ? " is below" : " is above",
                           " the day's ", low ? "minimum " : "maximum ",
                           host::Repr{cell_text(written[i])}, " (", host::Repr{label}, ")"));
        }
    }
    return out;
}

char FarmCheck::units_of(const RecordFile &records, nb::handle label, double median) {
    nb::object file = records.file;
    char by_label = unit_of_label(utf8(host::str(label)));
    nb::object shown = nb::float_(std::round(median * 10.0) / 10.0);
    auto refuse = [&](Rule rule, nb::str message, nb::handle hint) {
        add(file, nb::none(), label, nb::none(), rule, message, hint);
        units_refused_ = true;
    };
    if (by_label == 'F' || by_label == 'K') {
        nb::str hint = declaration(Role::weather, "units", nb::str(by_label == 'F' ? "degF" : "K"));
        refuse(Rule::temperature_units,
               host::text("the label ", host::Repr{label}, " says ",
                          by_label == 'F' ? "degrees Fahrenheit" : "kelvin",
                          ": the model reads degrees Celsius; say so in farm.yaml, ", hint,
                          ", and the values are converted"),
               hint);
        return 0;
    }
    if (by_label == 'C' || median <= 40.0)
        return 'C';
    nb::str fahrenheit = declaration(Role::weather, "units", nb::str("degF"));
    nb::str kelvin = declaration(Role::weather, "units", nb::str("K"));
    nb::str tenths = declaration(Role::weather, "scale", nb::float_(0.1));
    if (median <= 120.0) {
        refuse(Rule::temperature_units,
               host::text("the values of ", host::Repr{label}, " look like degrees Fahrenheit "
                          "(median ", host::Repr{shown}, "): the model reads degrees Celsius; say "
                          "so in farm.yaml, ", fahrenheit, " (or ", tenths,
                          " if they are tenths of a degree)"),
               fahrenheit);
    } else if (median <= 200.0 || (median > 330.0 && median <= 600.0)) {
        refuse(Rule::temperature_units,
               host::text("the values of ", host::Repr{label}, " look like tenths of a degree "
                          "Celsius (median ", host::Repr{shown}, "): say so in farm.yaml, ",
                          tenths),
               tenths);
    } else if (median <= 330.0) {
        refuse(Rule::temperature_units,
               host::text("the values of ", host::Repr{label}, " (median ", host::Repr{shown},
                          ") read as kelvin or as tenths of a degree Celsius: say which in "
                          "farm.yaml, ",
                          kelvin, " or ", tenths),
               kelvin);
    } else {
        refuse(Rule::not_a_temperature,
               host::text("the values of ", host::Repr{label}, " (median ", host::Repr{shown},
                          ") are no temperatures: a pressure in hPa? Name the temperature column "
                          "in farm.yaml, e.g. weather: {columns: {tmean: LABEL}}"),
               nb::none());
    }
    return 0;
}

void FarmCheck::weather_rows(const RecordFile &records, const WeatherSeries &rows,
                             nb::handle date_label) {
    nb::object file = records.file;
    const Declared &declared = this->declared(Role::weather);
    nb::object table = records.checked.table;
    nb::list written = records::has_column(table, date_label)
                           ? nb::list(table[date_label].attr("tolist")())
                           : nb::list();
    auto written_at = [&](size_t i) {
        return i < nb::len(written) ? cell_text(written[i]) : nb::object(nb::none());
    };
    size_t n = rows.rows.size();
    // The column that tells stacked stations apart: each of its values holds
    // every date once (not a column of measurements).
    bool split_sought = false;
    nb::object hint = nb::none(), best;
    std::string apart;
    size_t best_count = 0;
    nb::list skipped;
    nb::dict fields = columns_of(Role::weather);
    for (const char *field : {"tmean", "heat_units", "tmin", "tmax"})
        if (fields.contains(field))
            skipped.append(fields[field]);
    for (nb::handle label : declared.mean_of)
        skipped.append(label);
    auto split = [&] {
        split_sought = true;
        for (nb::handle label : host::as_list(table.attr("columns"))) {
            if (label.equal(date_label) || host::contains(skipped, label) ||
                label.equal(nb::str(nb::handle(records.checked.data.attr("columns")[1]))))
                continue;
            nb::list cells = nb::list(table[label].attr("tolist")());
            std::map<std::string, std::pair<size_t, std::set<long long>>> groups;
            std::vector<std::string> order;
            bool clean = nb::len(cells) == n;
            for (size_t i = 0; i < n && clean; ++i) {
                if (rows.nanos[i] == no_stamp)
                    continue;
                nb::handle cell = cells[i];
                if (host::is_missing(cell) ||
                    (PyFloat_Check(cell.ptr()) &&
                     nb::cast<double>(cell) != std::floor(nb::cast<double>(cell)))) {
                    clean = false;  // a measurement, not a name
                    break;
                }
                std::string key = utf8(host::str(cell));
                auto &group = groups[key];
                if (group.first == 0)
                    order.push_back(key);
                ++group.first;
                clean = group.second.insert(rows.nanos[i]).second &&
                        // more names than stations, or than the best column has
                        groups.size() <= 50 && !(best.is_valid() && groups.size() >= best_count);
            }
            for (const auto &[key, group] : groups)
                clean = clean && group.first >= 2;
            if (!clean || groups.size() < 2 || groups.size() > 50 ||
                (best.is_valid() && groups.size() >= best_count))
                continue;
            best = nb::borrow(label);
            best_count = groups.size();
            apart.clear();
            for (size_t k = 0; k < order.size() && k < 4; ++k)
                apart += (k ? ", " : "") + order[k] + ": " +
                         std::to_string(groups[order[k]].first) + " rows";
            if (order.size() > 4)
                apart += ", ...";
            nb::object first_value = nb::none();
            for (size_t i = 0; i < n; ++i)
                if (!host::is_missing(cells[i]) && utf8(host::str(cells[i])) == order[0]) {
                    first_value = nb::borrow(cells[i]);
                    break;
                }
            nb::dict where;
            where[label] = first_value;
            hint = declaration(Role::weather, "where", where);
        }
    };
    std::map<long long, size_t> first_of_stamp, first_of_day;
    nb::object daily;  // the hint of sub-daily rows, made at the first
    long long previous = no_stamp;
    size_t previous_row = 0;
    for (size_t i = 0; i < n; ++i) {
        if (rows.nanos[i] == no_stamp) {
            // A cell the parser cannot read is a date_parse finding already;
            // a row without its date is one too (the model cannot place it).
            nb::object shown = written_at(i);
            if (shown.is_none() || utf8(shown).find_first_not_of(" \t") == std::string::npos)
                add(file, records.line_at(i), date_label, nb::none(), Rule::date_parse,
                    nb::str("the date is missing: every row records the day it was taken"));
            continue;
        }
        long long value = rows.nanos[i];
        long long day = rows.days[i];
        auto seen = first_of_stamp.find(value);
        if (seen != first_of_stamp.end()) {
            size_t first = seen->second;
            bool same = rows.usable[i] == rows.usable[first] &&
                        (!rows.usable[i] || rows.values[i] == rows.values[first]) &&
                        (rows.usable[i] || nb::handle(rows.shown(i)).equal(rows.shown(first)));
            if (same) {
                add(file, records.line_at(i), date_label, written_at(i), Rule::duplicate_row,
                    host::text("the same date and value as line ", host::Str{records.line_at(first)},
                               ": a repeated row"));
            } else {
                if (!split_sought)
                    split();
                add(file, records.line_at(i), date_label, written_at(i), Rule::stacked_rows,
                    best.is_valid()
                        ? host::text("the same date as line ", host::Str{records.line_at(first)},
                                     " with another value: the model reads one row a day, and the "
                                     "column ",
                                     host::Repr{best}, " tells ", std::to_string(best_count),
                                     " stations apart (", apart.c_str(), "); keep one in farm.yaml, ",
                                     host::Str{hint})
                        : host::text("the same date as line ", host::Str{records.line_at(first)},
                                     " with another value: are several stations stacked in the "
                                     "file? The model reads one row a day"),
                    hint);
            }
        } else {
            first_of_stamp[value] = i;
            auto same_day = first_of_day.find(day);
            if (same_day != first_of_day.end()) {
                if (!declared.daily) {
                    if (!daily.is_valid())  // the same for every row
                        daily = declaration(Role::weather, "daily", nb::str("mean"));
                    add(file, records.line_at(i), date_label, written_at(i), Rule::sub_daily,
                        host::text("a second row for the day of line ",
                                   host::Str{records.line_at(same_day->second)},
                                   ": hourly rows? The model reads one row a day; say so in "
                                   "farm.yaml to read the day's mean, ",
                                   host::Str{daily}),
                        daily);
                }
            } else {
                first_of_day[day] = i;
            }
        }
        if (previous != no_stamp && value < previous)
            add(file, records.line_at(i), date_label, written_at(i), Rule::unsorted_dates,
                host::text("earlier than the date of line ",
                           host::Str{records.line_at(previous_row)}, ": the dates are not in order"));
        previous = value;
        previous_row = i;
    }
}

WeatherSeries FarmCheck::daily_means(const RecordFile &records, const WeatherSeries &rows) {
    (void) records;
    // The rows of each calendar day, in the order the days first come.
    std::map<long long, std::vector<size_t>> of_day;
    std::vector<long long> order;
    for (size_t i = 0; i < rows.rows.size(); ++i) {
        long long day = rows.days[i];
        if (day == 0)
            continue;  // no date: a finding of its own
        auto &members = of_day[day];
        if (members.empty())
            order.push_back(day);
        members.push_back(i);
    }
    // What a day usually has: the median count of readings of the days.
    std::vector<size_t> counts;
    for (const auto &[day, members] : of_day) {
        size_t readings = 0;
        for (size_t i : members)
            readings += rows.usable[i];
        counts.push_back(readings);
    }
    std::sort(counts.begin(), counts.end());
    size_t usual = counts.empty() ? 0 : counts[counts.size() / 2];
    WeatherSeries out;
    size_t short_days = 0;
    nb::object timestamp = host::from_import("pandas", "Timestamp");
    for (long long day : order) {
        const std::vector<size_t> &members = of_day[day];
        double total = 0.0;
        size_t readings = 0;
        for (size_t i : members)
            if (rows.usable[i]) {
                total += rows.values[i];
                ++readings;
            }
        bool enough = readings > 0 && readings * 4 >= usual * 3;
        short_days += !enough && readings < usual;
        out.rows.push_back(rows.rows[members.front()]);
        out.days.push_back(day);
        out.stamps.append(timestamp(host::from_import("datetime", "date").attr("fromordinal")(day)));
        out.nanos.push_back((day - records::epoch_ordinal) * day_nanos);
        out.values.push_back(enough ? total / (double) readings : std::nan(""));
        out.usable.push_back(enough);
        out.flagged.push_back(false);
    }
    nb::dict figures;
    figures["rows"] = nb::int_(rows.rows.size());
    figures["days"] = nb::int_(order.size());
    figures["short"] = nb::int_(short_days);
    figures["usual"] = nb::int_(usual);
    read_step(Role::weather, "daily",
              host::text(std::to_string(rows.rows.size()), " rows into ",
                         std::to_string(order.size()), " days, each the mean of its values",
                         short_days ? "; " + std::to_string(short_days) +
                                          (short_days == 1 ? " day has" : " days have") +
                                          " fewer than three quarters of the usual " +
                                          std::to_string(usual) +
                                          " readings and counts as missing"
                                    : std::string()),
              figures);
    return out;
}

void FarmCheck::weather_gaps(const RecordFile &records, const WeatherSeries &series,
                             nb::handle date_label) {
    // The days with a row, and the days with a value.
    std::map<long long, size_t> rows_of_day, values_of_day;
    for (size_t k = 0; k < series.days.size(); ++k) {
        if (series.days[k] == 0)
            continue;
        rows_of_day.emplace(series.days[k], k);
        if (series.usable[k])
            values_of_day.emplace(series.days[k], k);
    }
    if (rows_of_day.size() < 2)
        return;
    auto line_of = [&](size_t k) { return records.line_at(series.rows[k]); };
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
        add(records.file, line_of(second->second), date_label, nb::none(), Rule::not_daily,
            host::text("the weather has one row every ", host::Str{nb::int_(spacing)},
                       " days (lines ", host::Str{line_of(first->second)}, " and ",
                       host::Str{line_of(second->second)},
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
        return line_of(rows_of_day.lower_bound(day)->second);
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
        long long last_day = std::min(start + next_week * length - 1, end);
        nb::str weeks = empty_from == empty_to
                            ? host::text("model week ", std::to_string(empty_from), " (",
                                         span(first_day, last_day), ") has no value on any of its ",
                                         std::to_string(empty_days), " days")
                            : host::text("model weeks ", std::to_string(empty_from), " to ",
                                         std::to_string(empty_to), " (", span(first_day, last_day),
                                         ") have no value on any of their ",
                                         std::to_string(empty_days), " days");
        add(records.file, row_at(first_day), date_label, nb::none(), Rule::missing_week,
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
        add(records.file, row_at(missing.front()), date_label, nb::none(),
            short_week ? Rule::missing_week : Rule::missing_days,
            host::text("model week ", std::to_string(week), " (", span(first, last),
                       ") has no value on ", std::to_string(count), " of its ",
                       std::to_string(days), " days (", which, ")",
                       short_week ? ": its degree-days would be short by more than two days' "
                                    "worth; fill in the missing days"
                                  : "; fill in the missing days"));
    }
    flush_empty((end - start) / length + 1);
}

}  // namespace farm
