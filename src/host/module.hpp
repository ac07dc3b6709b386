// Module state.
//
// Every host object a module keeps between calls lives in the state of the
// module object that made it (multi-phase initialisation, as CPython's own
// extension modules keep theirs): a module executed again -- after a purge of
// sys.modules -- makes a state of its own, and the objects made by an earlier
// execution keep the state they were made with.  The state is visited by the
// collector and cleared with the module, so a module that is dropped is freed
// with everything it made.  The modules live in the main interpreter only:
// importing one in a sub-interpreter raises ImportError (the C++ object
// layer, nanobind, keeps state per process).
//
//   struct State : host::State {
//       host::Ref error_cls{this};          // held, visited, cleared
//   };
//
//   void init(nb::module_ &m, State &s) {
//       s.error_cls = host::from_import("py_zelka.exceptions", "WeatherError");
//       ...
//   }
//
//   ZELKA_MODULE(weather, State, init)
//
// Functions made for the module (function.hpp) hold the module and hand its
// state to their C++ bodies.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

namespace host {

namespace nb = nanobind;

class State;

// A part of a state that holds host objects: visited by the collector,
// released when the module is cleared or freed.
class Holder {
  public:
    explicit Holder(State *owner);
    virtual ~Holder() = default;
    Holder(const Holder &) = delete;
    Holder &operator=(const Holder &) = delete;

    virtual int visit(visitproc visit, void *arg) = 0;
    virtual void clear() = 0;
};

// One strong reference, empty until set.
class Ref : public Holder {
  public:
    explicit Ref(State *owner) : Holder(owner) {}
    ~Ref() override { Ref::clear(); }

    // Holds a new reference to `value` (releasing the one held before).
    Ref &operator=(nb::handle value);

    PyObject *ptr() const { return ptr_; }
    nb::handle get() const { return nb::handle(ptr_); }
    operator nb::handle() const { return nb::handle(ptr_); }
    nb::object object() const { return nb::borrow(ptr_); }
    explicit operator bool() const { return ptr_ != nullptr; }

    int visit(visitproc visit, void *arg) override {
        Py_VISIT(ptr_);
        return 0;
    }
    void clear() override { Py_CLEAR(ptr_); }

  private:
    PyObject *ptr_ = nullptr;
};

// The state of one module object.  Modules derive their own state from it and
// declare what they hold as Ref (or other Holder) members.
class State {
  public:
    State() = default;
    virtual ~State() = default;
    State(const State &) = delete;
    State &operator=(const State &) = delete;

  private:
    friend class Holder;
    // Declared before every Ref: the Refs register themselves in it.
    std::vector<Holder *> holders_;

  public:
    // The module object (borrowed: the module owns its state).
    PyObject *module = nullptr;
    // True once the module was cleared (a collected module, interpreter
    // shutdown): its functions then refuse to run.
    bool cleared = false;

    // What the bridge needs in every module.
    Ref object_layer{this};   // holds nanobind's interpreter-wide state
    Ref function_type{this};  // the type of the module's C++ functions
    Ref method_type{this};    // types.MethodType, to bind them to instances

    // The module attribute `name`, looked up now, as the module's own code
    // would look up a global name (NameError when it is gone).
    nb::object global(const char *name) const;

    int traverse(visitproc visit, void *arg);
    void clear();
};

namespace detail {

// The module definition's hooks, shared by every module.
int module_traverse(PyObject *m, visitproc visit, void *arg);
int module_clear(PyObject *m);
void module_free(void *m);
// Gives the new module its state and runs `init` on it; -1 with the error
// that stopped it set on failure (an ImportError for a C++ exception).
int module_exec(PyObject *m, State *state, void (*init)(nb::module_ &, State &));
PyObject *module_init(PyModuleDef *def, const char *name, PyModuleDef_Slot *slots);

template <typename S, void (*Init)(nb::module_ &, S &)>
struct Definition {
    static void run(nb::module_ &m, State &s) { Init(m, static_cast<S &>(s)); }
    static int exec(PyObject *m) {
        S *state = nullptr;
        try {
            state = new S();
        } catch (nb::python_error &error) {
            error.restore();
            return -1;
        } catch (...) {
            PyErr_NoMemory();
            return -1;
        }
        return module_exec(m, state, &run);
    }
    static PyObject *init(const char *name) {
        static PyModuleDef_Slot slots[] = {
            {Py_mod_exec, (void *) &exec},
            {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
            {0, nullptr},
        };
        static PyModuleDef def;
        return module_init(&def, name, slots);
    }
};

}  // namespace detail
}  // namespace host

// Defines the module `name`: its state is a `StateType` (derived from
// host::State), and `init(nb::module_ &, StateType &)` fills the module.
#define ZELKA_MODULE(name, StateType, init)                                    \
    PyMODINIT_FUNC PyInit_##name(void) {                                       \
        return ::host::detail::Definition<StateType, init>::init(#name);       \
    }
