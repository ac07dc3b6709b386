// The C++ functions of a module: module functions, methods, static and class
// methods and property getters are all objects of one type, made from a
// signature written as Python writes one:
//
//   nb::object read(State &s, nb::handle path, nb::handle columns);
//
//   host::def<&read>(m, s, "read",
//                    "(path: str | os.PathLike, columns: ColumnMap | None = None)"
//                    " -> ReadResult",
//                    "Load a weather file ...");
//
// The body receives the state of the module that made the function (see
// module.hpp) and one borrowed handle per parameter, `self` or `cls`
// included.  Arguments are bound as the interpreter binds them for a Python
// function -- by position or keyword, positional-only before "/",
// keyword-only after "*", defaults filled in -- and a wrong call raises the
// TypeError a Python function of that signature raises.
//
// The functions are introspectable: inspect.signature (and so help(), IDEs,
// mypy's stubtest) reads __signature__, with the parameters' names, kinds and
// defaults; __annotations__ holds the annotation texts, as postponed
// evaluation of annotations stores them.  They bind to instances as Python
// functions do (a method), are called through the interpreter's vectorcall
// protocol without an intermediate bound method, and pickle by their
// qualified name.
#pragma once

#include "host/module.hpp"

#include <cstddef>
#include <exception>
#include <type_traits>
#include <utility>

namespace host {

namespace nb = nanobind;

// At most this many parameters.
constexpr int max_parameters = 8;

namespace detail {

// The head of every function object: what its entry reads on each call.
struct FunctionHead {
    PyObject_HEAD
    vectorcallfunc vectorcall;  // the entry of the function's body
    State *state;               // of the module that made it (null once cleared)
    int count;                  // parameters
    bool simple;                // every parameter may be passed by position
};

// Binds the arguments of a call that the entry's fast path did not take to
// `bound`; false, with the TypeError (or the error of an unloaded module)
// set, for a call that cannot run.
bool bind_call(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames,
               PyObject **bound);

template <typename T>
struct body_traits;
template <typename R, typename S, typename... A>
struct body_traits<R (*)(S &, A...)> {
    using state_type = S;
    using result_type = R;
    static constexpr size_t arity = sizeof...(A);
};

// Turns the C++ exceptions of a body into the pending host error: nanobind's
// builtin exceptions their own types, a failed cast a TypeError, anything else
// a RuntimeError (MemoryError for bad_alloc, SystemError for what is no
// std::exception).
void restore_error(const std::exception &error);
void restore_unknown_error();

template <auto F, size_t... I>
PyObject *invoke(State &state, PyObject *const *args, std::index_sequence<I...>) {
    using traits = body_traits<decltype(F)>;
    auto &s = static_cast<typename traits::state_type &>(state);
    try {
        if constexpr (std::is_void_v<typename traits::result_type>) {
            F(s, nb::handle(args[I])...);
            return Py_NewRef(Py_None);
        } else {
            return F(s, nb::handle(args[I])...).release().ptr();
        }
    } catch (nb::python_error &error) {
        error.restore();
    } catch (const std::exception &error) {
        restore_error(error);
    } catch (...) {
        restore_unknown_error();
    }
    return nullptr;
}

// The vectorcall entry of a function whose body is F: a call that passes
// exactly every parameter by position goes straight to the body.
template <auto F>
PyObject *entry(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    constexpr size_t arity = body_traits<decltype(F)>::arity;
    auto *head = reinterpret_cast<FunctionHead *>(callable);
    State *state = head->state;
    if (!kwnames && (size_t) PyVectorcall_NARGS(nargsf) == arity && head->simple &&
        !state->cleared)
        return invoke<F>(*state, args, std::make_index_sequence<arity>());
    PyObject *bound[max_parameters];
    if (!bind_call(callable, args, nargsf, kwnames, bound))
        return nullptr;
    return invoke<F>(*head->state, bound, std::make_index_sequence<arity>());
}

// A new reference to the type of a module's functions (made once per
// module, with the module as its defining module).
PyObject *function_type(PyObject *module);

}  // namespace detail

// A function of the module whose state is `state`.  `qualname` is its
// qualified name ("read", "HarvestTagReader.read"); its __name__ is the last
// part.  `signature` must name as many parameters as the body takes.
nb::object make_function(State &state, const char *qualname, const char *signature,
                         const char *doc, vectorcallfunc entry, size_t arity);

template <auto F>
nb::object function(State &state, const char *qualname, const char *signature,
                    const char *doc) {
    return make_function(state, qualname, signature, doc, &detail::entry<F>,
                         detail::body_traits<decltype(F)>::arity);
}

// The module function `name` (bound as a module attribute and returned).
template <auto F>
nb::object def(nb::module_ &m, State &state, const char *name, const char *signature,
               const char *doc) {
    nb::object f = function<F>(state, name, signature, doc);
    m.attr(name) = f;
    return f;
}

// True when `f` is a function of this module made for the body F (one of
// its own functions, not a replacement).
bool is_function(State &state, nb::handle f, vectorcallfunc entry);

template <auto F>
bool is_function(State &state, nb::handle f) {
    return is_function(state, f, &detail::entry<F>);
}

}  // namespace host
