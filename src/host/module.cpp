#include "host/module.hpp"

#include "host/function.hpp"

namespace host {

Holder::Holder(State *owner) { owner->holders_.push_back(this); }

Ref &Ref::operator=(nb::handle value) {
    PyObject *old = ptr_;
    ptr_ = value.ptr();
    Py_XINCREF(ptr_);
    Py_XDECREF(old);
    return *this;
}

nb::object State::global(const char *name) const {
    PyObject *value = module ? PyObject_GetAttrString(module, name) : nullptr;
    if (!value) {
        if (!module || PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        }
        throw nb::python_error();
    }
    return nb::steal(value);
}

int State::traverse(visitproc visit, void *arg) {
    for (Holder *holder : holders_)
        if (int r = holder->visit(visit, arg))
            return r;
    return 0;
}

void State::clear() {
    cleared = true;
    for (Holder *holder : holders_)
        holder->clear();
}

namespace detail {

namespace {

State *state_of(PyObject *m) {
    void *memory = PyModule_GetState(m);
    return memory ? *static_cast<State **>(memory) : nullptr;
}

}  // namespace

int module_traverse(PyObject *m, visitproc visit, void *arg) {
    State *state = state_of(m);
    return state ? state->traverse(visit, arg) : 0;
}

int module_clear(PyObject *m) {
    if (State *state = state_of(m))
        state->clear();
    return 0;
}

void module_free(void *m) {
    State *state = state_of(static_cast<PyObject *>(m));
    if (!state)
        return;
    *static_cast<State **>(PyModule_GetState(static_cast<PyObject *>(m))) = nullptr;
    state->clear();
    delete state;
}

int module_exec(PyObject *m, State *state, void (*init)(nb::module_ &, State &)) {
    void *memory = PyModule_GetState(m);
    if (!memory) {
        delete state;
        return -1;
    }
    *static_cast<State **>(memory) = state;
    state->module = m;
    // The C++ object layer (nanobind) keeps interpreter-wide state of its own
    // in every extension: one interpreter only.  Legacy sub-interpreters
    // (which skip the module definition's check) are refused here.
    if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
        PyErr_Format(PyExc_ImportError,
                     "%s cannot be imported in a sub-interpreter; import it in the main "
                     "interpreter",
                     PyModule_GetName(m));
        return -1;
    }
    // The object layer's interpreter-wide state, held for as long as the
    // module lives by a private module object of the state (so that nothing
    // of it shows in the module's own namespace).
    PyObject *anchor = PyModule_New("py_zelka._object_layer");
    if (!anchor)
        return -1;
    state->object_layer = nb::steal(anchor);
    if (!nb::register_module(nb::handle(anchor)))
        return -1;
    try {
        PyObject *type = function_type(m);
        if (!type)
            throw nb::python_error();
        state->function_type = nb::steal(type);
        state->method_type = nb::module_::import_("types").attr("MethodType");
        nb::module_ module = nb::borrow<nb::module_>(m);
        init(module, *state);
        return 0;
    } catch (nb::python_error &error) {
        error.restore();
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_ImportError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_ImportError, "an unknown C++ exception stopped the module");
    }
    return -1;
}

PyObject *module_init(PyModuleDef *def, const char *name, PyModuleDef_Slot *slots) {
    nanobind::detail::init_singletons();
    if (!def->m_name) {
        PyModuleDef fresh = {
            PyModuleDef_HEAD_INIT,
            name,
            nullptr,
            (Py_ssize_t) sizeof(State *),
            nullptr,
            slots,
            &module_traverse,
            &module_clear,
            &module_free,
        };
        *def = fresh;
    }
    return PyModuleDef_Init(def);
}

}  // namespace detail
}  // namespace host
