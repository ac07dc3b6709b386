// Fast paths between the interpreter and the few entry points whose per-call
// overhead matters.
//
// Functions and methods called through the interpreter's own fast calling
// convention (METH_FASTCALL | METH_KEYWORDS): a built-in function bound to a
// module, or a method
// descriptor of a host-made class -- what the interpreter's own built-in
// methods are, so a call costs about what a call of a built-in method costs.
//
// Arguments are bound to their parameter names as a Python function binds
// them (by position or keyword, then the keyword-only ones), and wrong calls
// raise the TypeError a Python function of that signature would raise.
#pragma once

#include <nanobind/nanobind.h>

namespace host {

namespace nb = nanobind;

// The parameters of a function: `names[0 .. positional)` by position or
// keyword, `names[positional .. count)` keyword-only; all required.
struct Signature {  // a constant expression, for the template below
    const char *qualname;       // in messages: "<qualname>() missing ..."
    const char *const *names;
    int positional;
    int count;
    int self_count;             // 1 for a method: `self` counts in "takes N positional arguments"
};

// Binds the arguments of a fast call to `out[0 .. count)` (borrowed).  False,
// with the TypeError set, for a wrong call.  `names`, when given, holds the
// parameter names as interned text objects, in order.
bool bind_arguments(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, PyObject **out, PyObject *const *names = nullptr);

// The parameter names of a signature as interned text objects (created on
// first use and never released), or null when one cannot be made.
template <const Signature &Sig>
PyObject *const *interned_names() {
    static PyObject *names[8] = {};
    static bool made = false;
    if (!made) {
        for (int i = 0; i < Sig.count; ++i) {
            names[i] = PyUnicode_InternFromString(Sig.names[i]);
            if (!names[i]) {
                PyErr_Clear();
                return nullptr;
            }
        }
        made = true;
    }
    return names;
}

using FastFunction = PyObject *(*)(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames);

// The entry point of a fast function whose body is `Body(self, arguments)`:
// binds the arguments, turns C++ exceptions into the pending host error.
template <const Signature &Sig, nb::object (*Body)(PyObject *self, PyObject **arguments)>
PyObject *fast_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static_assert(Sig.count <= 8, "at most 8 parameters");
    PyObject *bound[8];
    PyObject **arguments = bound;
    if (!kwnames && Sig.positional == Sig.count && PyVectorcall_NARGS(nargs) == Sig.count)
        arguments = const_cast<PyObject **>(args);  // every argument by position
    else if (!bind_arguments(Sig, args, nargs, kwnames, bound,
                             kwnames ? interned_names<Sig>() : nullptr))
        return nullptr;
    try {
        return Body(self, arguments).release().ptr();
    } catch (nb::python_error &error) {
        error.restore();
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return nullptr;
}

// A method definition for a fast function.  `def` must outlive the function
// (a static object).
inline PyMethodDef fast_def(const char *name, FastFunction f, const char *doc) {
    return PyMethodDef{name, (PyCFunction) (void (*)(void)) f, METH_FASTCALL | METH_KEYWORDS, doc};
}

// A built-in function of `module` (its __module__ is the module's name).
nb::object builtin_function(nb::handle module, PyMethodDef *def);

// Installs a method descriptor of `cls` under `def->name`, replacing the
// namespace entry of that name in place (the entry keeps its position).
void install_method(nb::handle cls, PyMethodDef *def);

// ---------------------------------------------------------------------------
// Slots of host-made record classes

// The byte offset at which instances of `cls` hold the slot `name`, found once
// by storing a sentinel through the slot's own descriptor into a bare instance
// and looking for it; -1 when it cannot be found (then read the attribute).
Py_ssize_t slot_offset(nb::handle cls, const char *name);

// The value of the slot at `offset` of an instance of exactly the class the
// offset was found for (borrowed; null when the slot is empty).
inline PyObject *read_slot(PyObject *instance, Py_ssize_t offset) {
    return *(PyObject **) ((char *) instance + offset);
}

}  // namespace host
