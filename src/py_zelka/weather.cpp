// py_zelka.weather -- which columns of a weather file hold what, and the
// model's week numbering of calendar dates.
#include "host/capi.hpp"
#include "host/classes.hpp"
#include "host/host.hpp"

#include <cstdint>

namespace nb = nanobind;

namespace {

struct State : host::State {
    host::Ref date_type{this};      // datetime.date
    host::Ref datetime_type{this};  // datetime.datetime
    host::Ref weather_error{this};  // py_zelka.exceptions.WeatherError
    host::Ref s_toordinal{this};
    host::Ref s_start{this};
    host::Ref s_end{this};
    host::Ref s_week_length_days{this};
    host::Ref s_start_ordinal{this};
    host::Ref s_end_ordinal{this};
};

nb::object get(nb::handle obj, const host::Ref &name) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

void set(nb::handle obj, const host::Ref &name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) != 0)
        throw nb::python_error();
}

bool is_instance(nb::handle value, const host::Ref &type) {
    int r = PyObject_IsInstance(value.ptr(), type.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

// An int attribute of the provider's state, as a long long.
long long state_value(nb::handle value) {
    long long v = PyLong_AsLongLong(value.ptr());
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

int64_t ordinal_of(const State &s, nb::handle date) {
    PyObject *args[] = {date.ptr()};
    nb::object ordinal = nb::steal(PyObject_VectorcallMethod(
        s.s_toordinal.ptr(), args, 1, nullptr));
    if (!ordinal.is_valid())
        throw nb::python_error();
    long long v = PyLong_AsLongLong(ordinal.ptr());
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    return (int64_t) v;
}

nb::object date_from_ordinal(const State &s, int64_t ordinal) {
    return s.date_type.get().attr("fromordinal")(ordinal);
}

// The calendar date of a date-like argument of the constructor: a
// datetime.date, or the date part of a datetime / pandas Timestamp.
nb::object as_date(const State &s, nb::handle value, const char *what) {
    if (host::is_missing(value) && !value.is_none())
        host::raise(PyExc_ValueError,
                    host::text(what, " must be a calendar date, not the missing value ",
                               host::Repr{value}));
    if (!is_instance(value, s.date_type))
        host::raise(PyExc_TypeError,
                    host::text(what, " must be a datetime.date, not ",
                               host::Repr{nb::handle((PyObject *) Py_TYPE(value.ptr())).attr("__name__")}));
    if (is_instance(value, s.datetime_type))
        return value.attr("date")();
    return nb::borrow(value);
}

nb::str period_text(const State &s, nb::handle self) {
    nb::object end = get(self, s.s_end);
    nb::object start = get(self, s.s_start);
    if (end.is_none())
        return host::text(host::Str{start}, " onwards");
    return host::text(host::Str{start}, " to ", host::Str{end});
}

void provider_init(State &s, nb::handle self, nb::handle start, nb::handle week_length_days,
                   nb::handle end) {
    nb::object start_date = as_date(s, start, "start");
    if (PyBool_Check(week_length_days.ptr()))
        host::raise(PyExc_TypeError, host::text("week_length_days must be an int, not bool"));
    nb::object length = nb::steal(PyNumber_Index(week_length_days.ptr()));
    if (!length.is_valid())
        throw nb::python_error();
    long long days = PyLong_AsLongLong(length.ptr());
    if ((days == -1 && PyErr_Occurred()) || days < 1) {
        PyErr_Clear();
        host::raise(PyExc_ValueError,
                    host::text("week_length_days must be a positive number of days, not ",
                               host::Repr{length}));
    }
    int64_t start_ordinal = ordinal_of(s, start_date);
    nb::object end_date = nb::none();
    nb::object end_ordinal = nb::none();
    if (!end.is_none()) {
        end_date = as_date(s, end, "end");
        int64_t e = ordinal_of(s, end_date);
        if (e < start_ordinal)
            host::raise(PyExc_ValueError, host::text("end ", host::Str{end_date},
                                                     " lies before start ", host::Str{start_date}));
        end_ordinal = nb::int_(e);
    }
    set(self, s.s_start, start_date);
    set(self, s.s_end, end_date);
    set(self, s.s_week_length_days, length);
    set(self, s.s_start_ordinal, nb::int_(start_ordinal));
    set(self, s.s_end_ordinal, end_ordinal);
}

nb::object week_index_for_date(State &s, nb::handle self, nb::handle date) {
    PyObject *type = (PyObject *) Py_TYPE(date.ptr());
    bool plain_date = type == s.date_type.ptr() || type == s.datetime_type.ptr();
    if (!plain_date && host::is_missing(date))
        host::raise(s.weather_error, host::text("cannot place the missing date ", host::Repr{date},
                                                " in the weather period ", period_text(s, self)));
    if (!plain_date && !is_instance(date, s.date_type))
        host::raise(PyExc_TypeError,
                    host::text("week_index_for_date() expects a datetime.date, not ",
                               host::Repr{nb::handle((PyObject *) Py_TYPE(date.ptr())).attr("__name__")}));
    int64_t ordinal = ordinal_of(s, date);
    nb::object start_ordinal = get(self, s.s_start_ordinal);
    nb::object end_ordinal = get(self, s.s_end_ordinal);
    int64_t start = state_value(start_ordinal);
    bool after_end = !end_ordinal.is_none() && ordinal > state_value(end_ordinal);
    if (ordinal < start || after_end)
        host::raise(s.weather_error, host::text("date ", host::Str{date_from_ordinal(s, ordinal)},
                                                " lies outside the weather period ",
                                                period_text(s, self)));
    nb::object length_days = get(self, s.s_week_length_days);
    int64_t length = state_value(length_days);
    long long days;
    if (length > 0 && !__builtin_sub_overflow((long long) ordinal, (long long) start, &days))
        return nb::int_(days / length);
    // A length that is not positive: the host's floor division, and its error.
    nb::object elapsed = nb::steal(
        PyNumber_Subtract(nb::int_(ordinal).ptr(), start_ordinal.ptr()));
    if (!elapsed.is_valid())
        throw nb::python_error();
    nb::object week = nb::steal(PyNumber_FloorDivide(elapsed.ptr(), length_days.ptr()));
    if (!week.is_valid())
        throw nb::python_error();
    return week;
}

nb::object from_table(State &s, nb::handle cls, nb::handle data, nb::handle week_length_days) {
    nb::object present = data["date"].attr("dropna")();
    if (nb::len(present) == 0)
        host::raise(s.weather_error,
                    host::text("the weather table holds no dates, so it defines no weather period"));
    nb::object start = present.attr("min")();
    nb::object end = present.attr("max")();
    return cls(start, nb::arg("week_length_days") = week_length_days, nb::arg("end") = end);
}

nb::object provider_repr(State &s, nb::handle self) {
    return host::text("WeatherProvider(start=", host::Repr{get(self, s.s_start)},
                      ", week_length_days=", host::Repr{get(self, s.s_week_length_days)},
                      ", end=", host::Repr{get(self, s.s_end)}, ")");
}

nb::object provider_start(State &s, nb::handle self) { return get(self, s.s_start); }
nb::object provider_end(State &s, nb::handle self) { return get(self, s.s_end); }
nb::object provider_week_length(State &s, nb::handle self) {
    return get(self, s.s_week_length_days);
}

nb::object interned(const char *text) { return nb::steal(host::interned(text)); }

void init(nb::module_ &m, State &s) {
    m.doc() =
        "Weather-file column labels and the model's week numbering of calendar dates.";

    s.date_type = host::from_import("datetime", "date");
    s.datetime_type = host::from_import("datetime", "datetime");
    s.weather_error = host::from_import("py_zelka.exceptions", "WeatherError");
    s.s_toordinal = interned("toordinal");
    s.s_start = interned("_start");
    s.s_end = interned("_end");
    s.s_week_length_days = interned("_week_length_days");
    s.s_start_ordinal = interned("_start_ordinal");
    s.s_end_ordinal = interned("_end_ordinal");

    host::publish(
        m, "ColumnMap",
        host::ClassBuilder(s, "ColumnMap",
                           "Which columns of a weather file hold what.\n\n"
                           "date        label of the calendar-date column\n"
                           "tmean       label of the mean-temperature column, or None\n"
                           "heat_units  label of the heat-units column, or None; when set it is\n"
                           "            used instead of tmean\n"
                           "dayfirst    the file writes dates day first (31/12/2024)")
            .field("date", "str", nb::str("date"))
            .field("tmean", "str | None", nb::str("tmean"))
            .field("heat_units", "str | None", nb::none())
            .field("dayfirst", "bool", nb::bool_(false))
            .record());

    nb::object slots = nb::make_tuple("_start", "_end", "_week_length_days", "_start_ordinal",
                                      "_end_ordinal");
    host::publish(
        m, "WeatherProvider",
        host::ClassBuilder(s, "WeatherProvider",
                           "The model's week numbering of calendar dates.\n\n"
                           "WeatherProvider(start, *, week_length_days=7, end=None): week 0 begins\n"
                           "on the date start; every week_length_days days a new week begins.  A\n"
                           "provider with an end knows no date after it.")
            .attr("__slots__", slots)
            .method<&provider_init>(
                "__init__",
                "(self, /, start: datetime.date, *, week_length_days: int = 7, "
                "end: datetime.date | None = None) -> None",
                "Number the weeks from start (a datetime.date; a datetime counts by its "
                    "date).")
            .method<&provider_repr>("__repr__", "(self, /) -> str",
                                    "The provider as its constructor call.")
            .property<&provider_start>("start", "datetime.date", "The first day of week 0.")
            .property<&provider_end>("end", "datetime.date | None",
                                     "The last day the provider knows, or None.")
            .property<&provider_week_length>("week_length_days", "int",
                                             "The length of a model week in days.")
            .method<&week_index_for_date>(
                "week_index_for_date", "(self, /, date: datetime.date) -> int",
                "The model week of a calendar date: (date - start).days // "
                    "week_length_days.\n\n"
                    "A datetime or pandas Timestamp counts by its date.  A missing date, or\n"
                    "one before start or after end, raises WeatherError; anything that is\n"
                    "not a date raises TypeError.")
            .class_method<&from_table>(
                "from_table",
                "(cls, /, data: pandas.DataFrame, *, week_length_days: int = 7) -> WeatherProvider",
                "A provider for the period of a weather table.\n\n"
                          "data is a table with a 'date' column, such as\n"
                          "WeatherFileReader.read returns: start and end are its earliest and\n"
                          "latest dates (missing dates are ignored).  A table without any date\n"
                          "raises WeatherError.")
            .make());
}

}  // namespace

ZELKA_MODULE(weather, State, init)
