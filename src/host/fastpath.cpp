#include "host/fastpath.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace host {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'" -- as the interpreter lists
// missing arguments.
std::string listing(const std::vector<const char *> &names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

bool missing(const Signature &sig, PyObject **out, int from, int to, const char *kind) {
    std::vector<const char *> absent;
    for (int i = from; i < to; ++i)
        if (!out[i])
            absent.push_back(sig.names[i]);
    if (absent.empty())
        return false;
    PyErr_Format(PyExc_TypeError, "%s() missing %d required %s argument%s: %s", sig.qualname,
                 (int) absent.size(), kind, absent.size() == 1 ? "" : "s",
                 listing(absent).c_str());
    return true;
}

}  // namespace

bool bind_arguments(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, PyObject **out, PyObject *const *names) {
    nargs = PyVectorcall_NARGS(nargs);
    if (nargs > sig.positional) {
        int takes = sig.positional + sig.self_count;
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
                     sig.qualname, takes, takes == 1 ? "" : "s", nargs + sig.self_count,
                     nargs + sig.self_count == 1 ? "was" : "were");
        return false;
    }
    for (int i = 0; i < sig.count; ++i)
        out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GetItem(kwnames, k);
            // A keyword written in the caller's code is the interned text:
            // found by identity with the interned parameter names first.
            int found = -1;
            if (names)
                for (int i = 0; i < sig.count && found < 0; ++i)
                    if (names[i] == key)
                        found = i;
            if (found >= 0) {
                if (out[found]) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                                 sig.qualname, sig.names[found]);
                    return false;
                }
                out[found] = args[nargs + k];
                continue;
            }
            Py_ssize_t size = 0;
            const char *text = PyUnicode_AsUTF8AndSize(key, &size);
            if (!text)
                return false;
            for (int i = 0; i < sig.count && found < 0; ++i)
                if (std::strlen(sig.names[i]) == (size_t) size &&
                    std::memcmp(sig.names[i], text, (size_t) size) == 0)
                    found = i;
            if (found < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             sig.qualname, key);
                return false;
            }
            if (out[found]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                             sig.qualname, sig.names[found]);
                return false;
            }
            out[found] = args[nargs + k];
        }
    }
    if (missing(sig, out, 0, sig.positional, "positional") ||
        missing(sig, out, sig.positional, sig.count, "keyword-only"))
        return false;
    return true;
}

nb::object builtin_function(nb::handle module, PyMethodDef *def) {
    nb::object name = module.attr("__name__");
    PyObject *f = PyCMethod_New(def, module.ptr(), name.ptr(), nullptr);
    if (!f)
        throw nb::python_error();
    return nb::steal(f);
}

void install_method(nb::handle cls, PyMethodDef *def) {
    PyObject *descriptor = PyDescr_NewMethod((PyTypeObject *) cls.ptr(), def);
    if (!descriptor)
        throw nb::python_error();
    nb::object owned = nb::steal(descriptor);
    if (PyObject_SetAttrString(cls.ptr(), def->ml_name, descriptor) != 0)
        throw nb::python_error();
}

Py_ssize_t slot_offset(nb::handle cls, const char *name) {
    nb::object descriptor = cls.attr("__dict__")[name];
    nb::object instance = nb::handle((PyObject *) &PyBaseObject_Type).attr("__new__")(cls);
    nb::object sentinel = nb::steal(PyObject_CallNoArgs((PyObject *) &PyBaseObject_Type));
    if (!sentinel.is_valid())
        throw nb::python_error();
    Py_ssize_t size = nb::cast<Py_ssize_t>(cls.attr("__basicsize__"));
    descriptor.attr("__set__")(instance, sentinel);
    Py_ssize_t found = -1;
    for (Py_ssize_t offset = (Py_ssize_t) (2 * sizeof(PyObject *));
         offset + (Py_ssize_t) sizeof(PyObject *) <= size; offset += sizeof(PyObject *))
        if (read_slot(instance.ptr(), offset) == sentinel.ptr())
            found = found < 0 ? offset : -2;  // a second match: do not guess
    descriptor.attr("__delete__")(instance);
    return found >= 0 ? found : -1;
}

}  // namespace host
