#include "records/dates.hpp"

#include "host/host.hpp"
#include "records/columns.hpp"

#include <algorithm>
#include <cmath>

namespace records {

namespace {

// The text of a cell without surrounding ASCII blanks, or false when the
// cell is not text.
bool trimmed_text(nb::handle cell, const char *&begin, const char *&end) {
    if (!PyUnicode_Check(cell.ptr()))
        return false;
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(cell.ptr(), &size);
    if (utf8 == nullptr) {  // lone surrogates: not a date we know
        PyErr_Clear();
        return false;
    }
    begin = utf8;
    end = utf8 + size;
    while (begin < end && ascii_space((unsigned char) *begin))
        ++begin;
    while (end > begin && ascii_space((unsigned char) end[-1]))
        --end;
    return true;
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
bool day_month_year(nb::handle cell, int &first, int &second, char &sep) {
    const char *p, *end;
    if (!trimmed_text(cell, p, end) || !two_fields(p, end, 1, 2, first, second, sep))
        return false;
    int year;
    if (!digits(p, end, 4, 4, year))
        return false;
    return p == end || ascii_space((unsigned char) *p);
}

// YYYY-MM-DD (or / or .), then nothing or a blank or "T" and a time; or
// YYYYMMDD.
bool year_first(nb::handle cell) {
    const char *p, *end;
    if (!trimmed_text(cell, p, end))
        return false;
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

Rows contradicting_rows(nb::handle series, bool dayfirst) {
    const char separators[] = {'/', '-', '.'};
    // Per separator: the cells that only the other reading can read, and
    // whether a cell reads both ways (its first two fields 12 or less and
    // different).
    Rows only_other[3];
    bool ambiguous[3] = {false, false, false};
    nb::list raw = cells(series);
    size_t n = nb::len(raw);
    for (size_t i = 0; i < n; ++i) {
        int first, second;
        char sep;
        if (!day_month_year(raw[i], first, second, sep))
            continue;
        size_t k = 0;
        while (separators[k] != sep)
            ++k;
        int day_field = dayfirst ? second : first;  // > 12: only the other reading
        int other = dayfirst ? first : second;
        if (day_field > 12)
            only_other[k].push_back(i);
        else if (other <= 12 && first != second)
            ambiguous[k] = true;
    }
    Rows rows;
    for (size_t k = 0; k < 3; ++k)
        if (ambiguous[k])
            rows.insert(rows.end(), only_other[k].begin(), only_other[k].end());
    std::sort(rows.begin(), rows.end());
    return rows;
}

nb::object parse_dates(const Pandas &pd, nb::handle series, nb::handle options) {
    nb::object dtype = series.attr("dtype");
    bool numeric = is_real_numeric(pd, series) && !host::truth(pd.is_bool_dtype.get()(dtype));
    if (!numeric) {
        if (!options.is_valid() || options.is_none())
            return pd.to_datetime.get()(series);
        nb::dict given = nb::borrow<nb::dict>(options);
        nb::object parsed = pd.to_datetime.get()(series, **given);
        if (!given.contains("dayfirst") || !host::truth(given["dayfirst"]))
            return parsed;
        // Day first, except what is written year first.
        nb::list raw = cells(series);
        size_t n = nb::len(raw);
        nb::list as_written;
        bool any = false;
        for (size_t i = 0; i < n; ++i) {
            bool yes = year_first(raw[i]);
            any = any || yes;
            as_written.append(nb::bool_(yes));
        }
        if (!any)
            return parsed;
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
    return pd.to_datetime.get()(text, nb::arg("format") = "%Y%m%d");
}

[[noreturn]] void raise_date_parse_error(nb::handle error_cls, nb::handle label,
                                         nb::handle path, nb::python_error &caught,
                                         const char *hint) {
    host::raise_from(error_cls,
                     host::text("could not parse ", host::Repr{label}, " column in ",
                                host::Repr{path}, " as calendar dates: ",
                                host::Str{caught.value()}, hint),
                     caught);
}

nb::object parse_dates_or_raise(const Pandas &pd, nb::handle series, nb::handle label,
                                nb::handle path, nb::handle error_cls, const char *hint,
                                nb::handle options) {
    try {
        return parse_dates(pd, series, options);
    } catch (nb::python_error &e) {
        if (!host::error_is(e, PyExc_ValueError) && !host::error_is(e, PyExc_TypeError))
            throw;
        raise_date_parse_error(error_cls, label, path, e, hint);
    }
}

nb::object calendar_dates(nb::handle parsed) { return parsed.attr("dt").attr("date"); }

}  // namespace records
