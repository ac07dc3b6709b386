#include "records/weeks.hpp"

#include "host/host.hpp"
#include "records/columns.hpp"

namespace records {

WeekIndexer::WeekIndexer(nb::handle weather) : weather_(nb::borrow(weather)) {
    PyObject *name = PyUnicode_InternFromString("week_index_for_date");
    if (!name)
        throw nb::python_error();
    method_name_ = nb::steal(name);
}

void WeekIndexer::require_whole(nb::handle date, nb::handle week) const {
    // What the host's operator.index accepts: int and its subclasses (an
    // IntEnum), numpy integers, anything with __index__ -- but a bool, which
    // is a truth value and no week (numpy's bool has no __index__).
    if (!PyBool_Check(week.ptr())) {
        PyObject *index = PyNumber_Index(week.ptr());
        if (index) {
            Py_DECREF(index);
            return;
        }
        if (!PyErr_ExceptionMatches(PyExc_TypeError))  // an error of __index__ itself
            throw nb::python_error();
        PyErr_Clear();
    }
    host::raise(PyExc_TypeError,
                host::text("weather.week_index_for_date(", host::Repr{date}, ") returned ",
                           host::Repr{week}, " of type ",
                           host::Str{nb::handle((PyObject *) Py_TYPE(week.ptr())).attr("__qualname__")},
                           ", not a whole week number; make the weather provider return the "
                           "model week of every date as an int"));
}

nb::object WeekIndexer::week_of(nb::handle date) {
    // A spare slot in front, so that the callee may use args[-1].
    PyObject *args[3] = {nullptr, weather_.ptr(), date.ptr()};
    PyObject *week = PyObject_VectorcallMethod(method_name_.ptr(), args + 1,
                                               2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!week)
        throw nb::python_error();
    nb::object result = nb::steal(week);
    long long value = 0;
    bool exact_int = false;
    if (PyLong_CheckExact(result.ptr())) {
        int overflow = 0;
        value = PyLong_AsLongLongAndOverflow(result.ptr(), &overflow);
        exact_int = overflow == 0;
        if (value == -1 && PyErr_Occurred())
            throw nb::python_error();
    } else {
        require_whole(date, result);
    }
    if (exact_int && previous_.is_valid() && value == previous_value_)
        result = previous_;
    if (exact_int) {
        previous_ = result;
        previous_value_ = value;
    } else {
        previous_ = nb::object();
    }
    if (ints_only_ && exact_int) {
        if (!least_.is_valid()) {
            least_ = greatest_ = result;
            least_value_ = greatest_value_ = value;
        } else if (value < least_value_) {
            least_ = result;
            least_value_ = value;
        } else if (value > greatest_value_) {
            greatest_ = result;
            greatest_value_ = value;
        }
        return result;
    }
    ints_only_ = false;
    weeks_.append(result);
    return result;
}

namespace {

// `fn(weeks)`, the weeks being `head` (when there is one) followed by `rest`.
nb::object over_weeks(const char *fn, const nb::object &head, const nb::list &rest) {
    if (!head.is_valid() && nb::len(rest) == 0)
        return nb::none();
    nb::list all;
    if (head.is_valid())
        all.append(head);
    for (nb::handle week : rest)
        all.append(week);
    return host::from_import("builtins", fn)(all);
}

}  // namespace

nb::object WeekIndexer::first_week() const { return over_weeks("min", least_, weeks_); }

nb::object WeekIndexer::last_week() const { return over_weeks("max", greatest_, weeks_); }

void set_week_range(nb::handle self, const WeekIndexer &weeks) {
    set_attr(self, "_first_week", weeks.first_week());
    set_attr(self, "_last_week", weeks.last_week());
}

nb::object week_is_covered(nb::handle self, nb::handle week_index) {
    nb::object first = self.attr("_first_week");
    if (first.is_none())
        return nb::bool_(false);
    nb::object low = nb::steal(PyObject_RichCompare(first.ptr(), week_index.ptr(), Py_LE));
    if (!low.is_valid())
        throw nb::python_error();
    if (!host::truth(low))
        return low;
    nb::object last = self.attr("_last_week");
    nb::object high = nb::steal(PyObject_RichCompare(week_index.ptr(), last.ptr(), Py_LE));
    if (!high.is_valid())
        throw nb::python_error();
    return high;
}

nb::object data_from_read(nb::handle read_result_cls, nb::handle cls, nb::handle result,
                          nb::handle weather) {
    nb::object data = cls(result.attr("data"), weather);
    return read_result_cls(nb::arg("data") = data, nb::arg("notices") = result.attr("notices"));
}

}  // namespace records
