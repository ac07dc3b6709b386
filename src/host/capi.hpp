// Small helpers over the interpreter's C API for the code paths that call it
// directly (the stable ABI's functions: no macros that reach into objects).
#pragma once

#include <nanobind/nanobind.h>

namespace host {

namespace nb = nanobind;

// A result of the C API: the object, or the pending error thrown.
inline PyObject *checked(PyObject *o) {
    if (!o)
        throw nb::python_error();
    return o;
}

// `f(a)`.
inline nb::object call(nb::handle f, nb::handle a) {
    PyObject *args[] = {a.ptr()};
    return nb::steal(checked(PyObject_Vectorcall(f.ptr(), args, 1, nullptr)));
}

// The interned text object (a leaked reference).
inline PyObject *interned(const char *text) { return checked(PyUnicode_InternFromString(text)); }

}  // namespace host
