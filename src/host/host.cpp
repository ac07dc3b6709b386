#include "host/host.hpp"

#include <cmath>

namespace host {

nb::object import(const char *name) { return nb::module_::import_(name); }

nb::object from_import(const char *module, const char *name) {
    return import(module).attr(name);
}

nb::object publish(nb::module_ &m, const char *name, nb::handle value) {
    m.attr(name) = value;
    return nb::borrow(value);
}

// ---------------------------------------------------------------------------
// Text

namespace {

// The text a host call returned; its error when it raised.
nb::str checked_text(PyObject *text) {
    if (!text)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

}  // namespace

nb::str repr(nb::handle value) { return checked_text(PyObject_Repr(value.ptr())); }

nb::str str(nb::handle value) { return checked_text(PyObject_Str(value.ptr())); }

std::string utf8(nb::handle value) {
    nb::str text = str(value);
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) {
        PyErr_Clear();
        return "?";
    }
    return std::string(data, (size_t) size);
}

nb::str format(nb::handle value) { return checked_text(PyObject_Format(value.ptr(), nullptr)); }

nb::str format(nb::handle value, const char *spec) {
    return checked_text(PyObject_Format(value.ptr(), nb::str(spec).ptr()));
}

namespace detail {

void append(std::vector<nb::object> &parts, const char *literal) { parts.push_back(nb::str(literal)); }
void append(std::vector<nb::object> &parts, const std::string &literal) {
    parts.push_back(nb::str(literal.data(), literal.size()));
}
void append(std::vector<nb::object> &parts, const nb::str &text) { parts.push_back(text); }
void append(std::vector<nb::object> &parts, const Repr &piece) { parts.push_back(host::repr(piece.value)); }
void append(std::vector<nb::object> &parts, const Str &piece) { parts.push_back(host::str(piece.value)); }
void append(std::vector<nb::object> &parts, const Format &piece) {
    parts.push_back(host::format(piece.value));
}

nb::str join(const std::vector<nb::object> &parts) {
    nb::list list;
    for (const nb::object &part : parts)
        list.append(part);
    nb::str empty("");
    return checked_text(PyUnicode_Join(empty.ptr(), list.ptr()));
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Errors

namespace {

// `cls(message)`, which `raise` then raises: an exception, or the TypeError
// of `raise` when the call made something else.
nb::object exception_of(nb::handle cls, nb::handle message) {
    nb::object exc = cls(message);
    if (!PyExceptionInstance_Check(exc.ptr())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        throw nb::python_error();
    }
    return exc;
}

}  // namespace

[[noreturn]] void raise(nb::handle cls, nb::handle message) {
    nb::object exc = exception_of(cls, message);
    PyErr_SetObject((PyObject *) Py_TYPE(exc.ptr()), exc.ptr());
    throw nb::python_error();
}

[[noreturn]] void raise_from(nb::handle cls, nb::handle message, nb::python_error &cause) {
    raise_from(cls, message, cause.value());
}

[[noreturn]] void raise_from(nb::handle cls, nb::handle message, nb::handle cause) {
    nb::object exc = exception_of(cls, message);
    nb::object value = nb::borrow(cause);
    // Both references are stolen; setting the cause also sets
    // __suppress_context__, exactly as `raise ... from cause` does.
    PyException_SetContext(exc.ptr(), value.inc_ref().ptr());
    PyException_SetCause(exc.ptr(), value.inc_ref().ptr());
    PyErr_SetObject((PyObject *) Py_TYPE(exc.ptr()), exc.ptr());
    throw nb::python_error();
}

bool error_is(const nb::python_error &error, nb::handle cls) {
    return PyErr_GivenExceptionMatches(error.type().ptr(), cls.ptr()) != 0;
}

// ---------------------------------------------------------------------------
// Warnings

void warn(nb::handle category, nb::handle text, int stacklevel) {
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (utf8 != nullptr && std::char_traits<char>::length(utf8) == (size_t) size) {
        if (PyErr_WarnEx(category.ptr(), utf8, stacklevel) != 0)
            throw nb::python_error();
        return;
    }
    // Text that UTF-8 cannot carry intact (lone surrogates, NUL characters):
    // hand the text object itself to the host's warnings.warn, which sees the
    // same calling frame from here.
    PyErr_Clear();
    nb::object warn_fn = from_import("warnings", "warn");
    warn_fn(text, category, nb::arg("stacklevel") = stacklevel);
}

// ---------------------------------------------------------------------------
// Values

bool is_none(nb::handle h) { return h.ptr() == Py_None; }

bool exit_suppresses(nb::handle exit, nb::python_error &error) {
    nb::object traceback = error.traceback();
    return truth(exit(error.type(), error.value(), traceback.is_valid() ? traceback : nb::none()));
}

bool truth(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

nb::list as_list(nb::handle iterable) {
    PyObject *list = PySequence_List(iterable.ptr());
    if (!list)
        throw nb::python_error();
    return nb::steal<nb::list>(list);
}

bool is_missing(nb::handle h) {
    PyObject *o = h.ptr();
    if (o == Py_None)
        return true;
    if (PyFloat_CheckExact(o))
        return std::isnan(PyFloat_AsDouble(o));
    if (PyLong_CheckExact(o) || PyUnicode_CheckExact(o) || PyBool_Check(o))
        return false;
    nb::object isna = import("pandas").attr("isna");
    nb::object result = isna(h);
    // A scalar gives True or False; a list-like gives an array of answers.
    return result.ptr() == Py_True;
}

}  // namespace host
