#include "records/dates.hpp"

#include "host/host.hpp"
#include "records/columns.hpp"
#include "records/text_column.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <unordered_map>

namespace records {

namespace {

// `text` without surrounding ASCII blanks.
void trim(const char *&begin, const char *&end) {
    while (begin < end && ascii_space((unsigned char) *begin))
        ++begin;
    while (end > begin && ascii_space((unsigned char) end[-1]))
        --end;
}

// Calls f(row, begin, end) with the text of each text cell of the column,
// blanks around it stripped: from the column's own buffers when it is a
// column of text (see TextColumn), cell by cell otherwise (a cell that is
// no str, or holds lone surrogates, is skipped).
template <typename F>
void each_text(const Pandas &pd, nb::handle series, F &&f) {
    TextColumn text;
    if (text.open(pd, series)) {
        for (size_t i = 0; i < text.size(); ++i) {
            if (text.missing(i))
                continue;
            std::string_view cell = text[i];
            const char *begin = cell.data(), *end = cell.data() + cell.size();
            trim(begin, end);
            f(i, begin, end);
        }
        return;
    }
    nb::list raw = cells(series);
    size_t n = nb::len(raw);
    for (size_t i = 0; i < n; ++i) {
        PyObject *cell = PyList_GetItem(raw.ptr(), (Py_ssize_t) i);
        if (!PyUnicode_Check(cell))
            continue;
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(cell, &size);
        if (utf8 == nullptr) {  // lone surrogates: not a date we know
            PyErr_Clear();
            continue;
        }
        const char *begin = utf8, *end = utf8 + size;
        trim(begin, end);
        f(i, begin, end);
    }
}

// Reads between min_digits and max_digits decimal digits at p.
bool digits(const char *&p, const char *end, int min_digits, int max_digits, int &value) {
    int count = 0;
    value = 0;
    while (p < end && count < max_digits && *p >= '0' && *p <= '9') {
        value = value * 10 + (*p - '0');
        ++p;
        ++count;
    }
    return count >= min_digits;
}

bool date_separator(char c) { return c == '/' || c == '-' || c == '.'; }

// A field, a separator, a field, the same separator: the first two fields
// of a numeric date; p is left after the second separator.
bool two_fields(const char *&p, const char *end, int min_digits, int max_digits, int &first,
                int &second, char &sep) {
    if (!digits(p, end, min_digits, max_digits, first) || p == end || !date_separator(*p))
        return false;
    sep = *p++;
    if (!digits(p, end, 1, 2, second) || p == end || *p != sep)
        return false;
    ++p;
    return true;
}

// D/M/YYYY (or M/D/YYYY) with one separator, then nothing or a blank and
// a time.
bool day_month_year(const char *p, const char *end, int &first, int &second, char &sep) {
    if (!two_fields(p, end, 1, 2, first, second, sep))
        return false;
    int year;
    if (!digits(p, end, 4, 4, year))
        return false;
    return p == end || ascii_space((unsigned char) *p);
}

// YYYY-MM-DD (or / or .), then nothing or a blank or "T" and a time; or
// YYYYMMDD.
bool year_first(const char *p, const char *end) {
    const char *start = p;
    int year, month, day;
    char sep;
    if (digits(p, end, 8, 8, year) && p == end)
        return true;
    p = start;
    if (!two_fields(p, end, 4, 4, year, month, sep) || !digits(p, end, 1, 2, day))
        return false;
    return p == end || *p == 'T' || ascii_space((unsigned char) *p);
}

}  // namespace

Rows contradicting_rows(const Pandas &pd, nb::handle series, bool dayfirst) {
    const char separators[] = {'/', '-', '.'};
    // Per separator: the cells that only the other reading can read, and
    // whether a cell reads both ways (its first two fields 12 or less and
    // different).
    Rows only_other[3];
    bool ambiguous[3] = {false, false, false};
    each_text(pd, series, [&](size_t i, const char *begin, const char *end) {
        int first, second;
        char sep;
        if (!day_month_year(begin, end, first, second, sep))
            return;
        size_t k = 0;
        while (separators[k] != sep)
            ++k;
        int day_field = dayfirst ? second : first;  // > 12: only the other reading
        int other = dayfirst ? first : second;
        if (day_field > 12)
            only_other[k].push_back(i);
        else if (other <= 12 && first != second)
            ambiguous[k] = true;
    });
    Rows rows;
    for (size_t k = 0; k < 3; ++k)
        if (ambiguous[k])
            rows.insert(rows.end(), only_other[k].begin(), only_other[k].end());
    std::sort(rows.begin(), rows.end());
    return rows;
}

// ---------------------------------------------------------------------------
// Dates in C++

int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

Civil civil_from_days(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = (unsigned) (z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {(int64_t) yoe + era * 400 + (m <= 2), m, d};
}

namespace {

bool leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool valid_day(int64_t y, int64_t m, int64_t d) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    // Years every unit of the parser's holds (nanoseconds reach 1677-2262).
    if (y < 1678 || y > 2261 || m < 1 || m > 12 || d < 1)
        return false;
    return d <= days[m - 1] + (m == 2 && leap(y));
}

int two(std::string_view s, size_t at) { return (s[at] - '0') * 10 + (s[at + 1] - '0'); }

bool digits_at(std::string_view s, size_t at, size_t count) {
    for (size_t k = at; k < at + count; ++k)
        if (s[k] < '0' || s[k] > '9')
            return false;
    return true;
}

// An ISO date cell -- YYYY-MM-DD, alone or followed by "T" or a blank and
// HH:MM or HH:MM:SS -- as seconds since 1970; `layout` tells its form (what
// the parser's inferred format would be).  False for anything else,
// surrounding blanks included, and for a day or time that does not exist.
bool iso_cell(std::string_view s, int &layout, int64_t &seconds) {
    size_t n = s.size();
    if (n != 10 && n != 16 && n != 19)
        return false;
    if (!digits_at(s, 0, 4) || s[4] != '-' || !digits_at(s, 5, 2) || s[7] != '-' ||
        !digits_at(s, 8, 2))
        return false;
    int64_t y = (s[0] - '0') * 1000 + (s[1] - '0') * 100 + two(s, 2);
    int64_t m = two(s, 5), d = two(s, 8);
    if (!valid_day(y, m, d))
        return false;
    int64_t hh = 0, mm = 0, ss = 0;
    layout = 0;
    if (n > 10) {
        if ((s[10] != 'T' && s[10] != ' ') || !digits_at(s, 11, 2) || s[13] != ':' ||
            !digits_at(s, 14, 2))
            return false;
        hh = two(s, 11);
        mm = two(s, 14);
        layout = s[10] == 'T' ? 1 : 2;
        if (n == 19) {
            if (s[16] != ':' || !digits_at(s, 17, 2))
                return false;
            ss = two(s, 17);
            layout += 2;
        }
        if (hh > 23 || mm > 59 || ss > 59)
            return false;
    }
    seconds = days_from_civil(y, m, d) * 86400 + hh * 3600 + mm * 60 + ss;
    return true;
}

constexpr int64_t nat = INT64_MIN;

// Ticks per second of a datetime64 unit ("s", "ms", "us", "ns"); 0 for another.
int64_t ticks_per_second(const std::string &unit) {
    if (unit == "s")
        return 1;
    if (unit == "ms")
        return 1000;
    if (unit == "us")
        return 1000000;
    if (unit == "ns")
        return 1000000000;
    return 0;
}

// The unit of a datetime64 dtype's text ("datetime64[us]" -> "us"), or "".
std::string unit_of(nb::handle dtype) {
    std::string text = nb::str(host::str(dtype)).c_str();
    size_t open = text.find('[');
    if (text.rfind("datetime64[", 0) != 0 || open == std::string::npos || text.back() != ']')
        return std::string();
    return text.substr(open + 1, text.size() - open - 2);
}

// A datetime64 series of int64 ticks (NaT for `nat`), with the index and name
// of `like`.
nb::object datetime_series(const Pandas &pd, nb::handle like, const std::vector<int64_t> &ticks,
                           const std::string &unit) {
    nb::object typed = numpy_array(ticks, "int64").attr("view")(nb::str(("datetime64[" + unit + "]").c_str()));
    return pd.series.get()(typed, nb::arg("index") = like.attr("index"),
                           nb::arg("name") = like.attr("name"), nb::arg("copy") = false);
}

// What the parser makes of the first present cell alone: its unit, and its
// value in ticks, which must be what C++ made of it.
bool probe(const Pandas &pd, nb::handle one_cell, nb::handle options, int64_t expected_seconds,
           std::string &unit, int64_t &per_second) {
    nb::dict kwargs;
    if (options.is_valid() && !options.is_none())
        kwargs = nb::borrow<nb::dict>(options.attr("copy")());
    nb::object parsed = pd.to_datetime.get()(one_cell, **kwargs);
    unit = unit_of(parsed.attr("dtype"));
    per_second = ticks_per_second(unit);
    if (!per_second)
        return false;
    nb::object ticks = parsed.attr("to_numpy")().attr("view")("int64");
    return nb::cast<int64_t>(ticks[nb::int_(0)]) == expected_seconds * per_second;
}

// `pd.to_datetime(series, **options)` of a text column whose present cells
// are all ISO dates (see iso_cell) -- of one form, as an inferred format
// demands, or of any when the options say format="mixed" --, computed in
// C++: the parser's values, unit, missing cells (empty text among them),
// index and name.  Empty when the column is not such a column (the parser
// then reads it).
nb::object iso_dates(const Pandas &pd, nb::handle series, nb::handle options) {
    TextColumn text;
    if (!text.open(pd, series))
        return nb::object();
    bool mixed = false, dayfirst = false;
    if (options.is_valid() && !options.is_none()) {
        nb::dict given = nb::borrow<nb::dict>(options);
        mixed = given.contains("format") && host::str(given["format"]).equal(nb::str("mixed"));
        dayfirst = given.contains("dayfirst") && host::truth(given["dayfirst"]);
    }
    size_t n = text.size();
    std::vector<int64_t> ticks(n, nat);
    int first_layout = -1;
    size_t first = n;
    for (size_t i = 0; i < n; ++i) {
        if (text.missing(i) || text[i].empty())
            continue;
        int layout;
        int64_t seconds;
        if (!iso_cell(text[i], layout, seconds))
            return nb::object();
        if (first == n) {
            first = i;
            first_layout = layout;
        } else if (!mixed && layout != first_layout) {
            return nb::object();  // the parser refuses a second form
        }
        ticks[i] = seconds;
    }
    if (first == n)
        return nb::object();
    // Day first, the parser may take the first cell for YYYY-DD-MM (and hold
    // every cell to that); the probe below tells only when month and day
    // differ.
    std::string_view head = text[first];
    if (dayfirst && head.substr(5, 2) == head.substr(8, 2))
        return nb::object();
    std::string unit;
    int64_t per_second;
    nb::object one = series.attr("iloc")[nb::slice(nb::int_(first), nb::int_(first + 1), nb::none())];
    if (!probe(pd, one, options, ticks[first], unit, per_second))
        return nb::object();
    for (int64_t &t : ticks)
        if (t != nat)
            t *= per_second;
    return datetime_series(pd, series, ticks, unit);
}

}  // namespace

nb::object parse_dates(const Pandas &pd, nb::handle series, nb::handle options) {
    nb::object dtype = series.attr("dtype");
    bool numeric = is_real_numeric(pd, series) && !host::truth(pd.is_bool_dtype.get()(dtype));
    if (!numeric) {
        nb::object fast = iso_dates(pd, series, options);
        if (fast.is_valid())
            return fast;
        if (!options.is_valid() || options.is_none())
            return pd.to_datetime.get()(series);
        nb::dict given = nb::borrow<nb::dict>(options);
        nb::object parsed = pd.to_datetime.get()(series, **given);
        if (!given.contains("dayfirst") || !host::truth(given["dayfirst"]))
            return parsed;
        // Day first, except what is written year first.
        std::vector<bool> written(length(series), false);
        bool any = false;
        each_text(pd, series, [&](size_t i, const char *begin, const char *end) {
            written[i] = year_first(begin, end);
            any = any || written[i];
        });
        if (!any)
            return parsed;
        nb::list as_written;
        for (bool yes : written)
            as_written.append(nb::bool_(yes));
        nb::dict plain = nb::borrow<nb::dict>(given.attr("copy")());
        plain["dayfirst"] = false;
        nb::object year_first_dates =
            pd.to_datetime.get()(series.attr("where")(as_written), **plain);
        return parsed.attr("mask")(as_written,
                                   year_first_dates.attr("astype")(parsed.attr("dtype")).attr("array"));
    }
    // YYYYMMDD written as a number: a whole number of eight digits.
    {
        Float64Values values(pd, series);
        for (size_t i = 0; i < values.size(); ++i) {
            double v = values[i];
            if (std::isnan(v))
                continue;
            if (v == std::floor(v) && v >= 10000000.0 && v <= 99999999.0)
                continue;
            nb::object one = series.attr("iloc")[nb::slice(nb::int_(i), nb::int_(i + 1), nb::none())];
            nb::object value = one.attr("tolist")()[0];
            host::raise(PyExc_ValueError,
                        host::text("number ", host::Repr{value}, " at position ",
                                   host::Str{nb::int_(i)},
                                   " is not a date written as YYYYMMDD"));
        }
    }
    nb::object text = series.attr("astype")("Int64").attr("astype")("string");
    // The numbers in C++ when every one is a day; the parser otherwise (its
    // error names the one that is not).
    {
        Float64Values values(pd, series);
        size_t n = values.size(), first = n;
        std::vector<int64_t> ticks(n, nat);
        bool days = true;
        for (size_t i = 0; i < n && days; ++i) {
            double v = values[i];
            if (std::isnan(v))
                continue;
            int64_t number = (int64_t) v;
            int64_t y = number / 10000, m = number / 100 % 100, d = number % 100;
            days = valid_day(y, m, d);
            ticks[i] = days_from_civil(y, m, d) * 86400;
            if (first == n)
                first = i;
        }
        std::string unit;
        int64_t per_second;
        nb::dict format;
        format["format"] = "%Y%m%d";
        if (days && first < n &&
            probe(pd, text.attr("iloc")[nb::slice(nb::int_(first), nb::int_(first + 1), nb::none())],
                  format, ticks[first], unit, per_second)) {
            for (int64_t &t : ticks)
                if (t != nat)
                    t *= per_second;
            return datetime_series(pd, series, ticks, unit);
        }
    }
    return pd.to_datetime.get()(text, nb::arg("format") = "%Y%m%d");
}

nb::object calendar_dates(const Pandas &pd, nb::handle parsed) {
    std::string unit = unit_of(parsed.attr("dtype"));
    int64_t per_second = ticks_per_second(unit);
    nb::object array;
    BufferValues ticks;
    if (per_second)
        array = parsed.attr("to_numpy")().attr("view")("int64");
    if (!per_second || !ticks.open(array, "lq"))
        return parsed.attr("dt").attr("date");
    // The parser's own `dt.date`, made in C++.  A column of mostly distinct
    // days with none missing becomes date objects in numpy's own loop; any
    // other gets one date object per day (dates are immutable: rows of one
    // day share it) and NaT for a missing timestamp.
    int64_t per_day = per_second * 86400;
    size_t n = ticks.size();
    // A column of missing timestamps only: pandas' own accessor, which
    // gives such a column the dtype its version infers for NaT cells (a
    // datetime64 column, not objects).
    {
        bool any_present = false;
        for (size_t i = 0; i < n && !any_present; ++i)
            any_present = ticks.at<int64_t>(i) != nat;
        if (n > 0 && !any_present)
            return parsed.attr("dt").attr("date");
    }
    size_t changes = 0;
    bool plain = true;  // none missing, every day one a date object holds
    const int64_t first_day = -719162, last_day = 2932896;  // 0001-01-01, 9999-12-31
    for (size_t i = 0; i < n && plain; ++i) {
        int64_t t = ticks.at<int64_t>(i);
        int64_t day = t / per_day;
        plain = t != nat && day > first_day && day < last_day;
        changes += i > 0 && day != ticks.at<int64_t>(i - 1) / per_day;
    }
    if (plain && changes * 2 > n) {
        nb::object days = parsed.attr("to_numpy")().attr("astype")("datetime64[D]");
        return pd.series.get()(days.attr("astype")("object"),
                               nb::arg("index") = parsed.attr("index"),
                               nb::arg("name") = parsed.attr("name"), nb::arg("dtype") = "object",
                               nb::arg("copy") = false);
    }
    nb::object from_ordinal = host::from_import("datetime", "date").attr("fromordinal");
    nb::object missing = pd.module.get().attr("NaT");
    std::unordered_map<int64_t, nb::object> days;
    nb::list out = nb::steal<nb::list>(PyList_New((Py_ssize_t) n));
    if (!out.is_valid())
        throw nb::python_error();
    for (size_t i = 0; i < n; ++i) {
        int64_t t = ticks.at<int64_t>(i);
        PyObject *cell;
        if (t == nat) {
            cell = missing.ptr();
        } else {
            int64_t day = t / per_day - (t % per_day < 0 ? 1 : 0);  // floor
            auto found = days.find(day);
            if (found == days.end())
                found = days.emplace(day, from_ordinal(nb::int_(day + epoch_ordinal))).first;
            cell = found->second.ptr();
        }
        PyList_SetItem(out.ptr(), (Py_ssize_t) i, Py_NewRef(cell));
    }
    return pd.series.get()(out, nb::arg("index") = parsed.attr("index"),
                           nb::arg("name") = parsed.attr("name"), nb::arg("dtype") = "object");
}

}  // namespace records
