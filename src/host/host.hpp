// The bridge between py_zelka's extension modules and the interpreter: host
// modules and names, the text of messages, errors, warnings and the tests of
// values every module needs.  Module state is in module.hpp, the C++
// functions in function.hpp, host-made classes in classes.hpp, the speed
// tricks in speed.hpp.
//
// Message text is always assembled from host-formatted pieces (repr, str,
// format), so quotes, escapes and float forms are the interpreter's.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <vector>

namespace host {

namespace nb = nanobind;

// ---------------------------------------------------------------------------
// Modules and attributes

// `import name` (the module object).
nb::object import(const char *name);

// `from module import name`.
nb::object from_import(const char *module, const char *name);

// Binds `value` as a module attribute and returns it.
nb::object publish(nb::module_ &m, const char *name, nb::handle value);

// ---------------------------------------------------------------------------
// Text of messages

nb::str repr(nb::handle value);    // repr(value)
nb::str str(nb::handle value);     // str(value)
// str(value) as UTF-8; "?" when it holds what UTF-8 cannot (lone surrogates).
std::string utf8(nb::handle value);
nb::str format(nb::handle value);  // format(value)
nb::str format(nb::handle value, const char *spec);  // format(value, spec), e.g. ",", ".1f"

// Pieces of a message.  A `const char *` piece is literal text; the wrappers
// format a value the way the host does.
struct Repr { nb::handle value; };
struct Str { nb::handle value; };
struct Format { nb::handle value; };

namespace detail {
void append(std::vector<nb::object> &parts, const char *literal);
void append(std::vector<nb::object> &parts, const std::string &literal);
void append(std::vector<nb::object> &parts, const nb::str &text);
void append(std::vector<nb::object> &parts, const Repr &piece);
void append(std::vector<nb::object> &parts, const Str &piece);
void append(std::vector<nb::object> &parts, const Format &piece);
nb::str join(const std::vector<nb::object> &parts);
}  // namespace detail

// Concatenation of the pieces, in order, with nothing between them.
template <typename... Pieces>
nb::str text(const Pieces &...pieces) {
    std::vector<nb::object> parts;
    parts.reserve(sizeof...(Pieces));
    (detail::append(parts, pieces), ...);
    return detail::join(parts);
}

// ---------------------------------------------------------------------------
// Errors

// Raises `cls(message)`.
[[noreturn]] void raise(nb::handle cls, nb::handle message);

// Raises `cls(message)` from the caught error (`raise cls(message) from cause`).
[[noreturn]] void raise_from(nb::handle cls, nb::handle message,
                             nb::python_error &cause);
// The same from a cause kept as an exception object.
[[noreturn]] void raise_from(nb::handle cls, nb::handle message, nb::handle cause);

// True when the caught error is an instance of `cls` (an exception class or a
// tuple of them).
bool error_is(const nb::python_error &error, nb::handle cls);

// ---------------------------------------------------------------------------
// Warnings

// Issues `text` as a warning of `category`.  Level 1 attributes it to the
// Python code that called into C++ (what `stacklevel=2` means inside a Python
// function).  An error raised by the warning filters propagates.
void warn(nb::handle category, nb::handle text, int stacklevel = 1);

// ---------------------------------------------------------------------------
// Values

bool is_none(nb::handle h);
// `bool(value)`, as the host evaluates it.
bool truth(nb::handle value);
// `item in container`.
bool contains(nb::handle container, nb::handle item);
// `list(iterable)`: a new list.
nb::list as_list(nb::handle iterable);

// What `with` does when its block raises: hands the error to the manager's
// __exit__, and tells whether the manager suppressed it (an error of
// __exit__ itself propagates).
bool exit_suppresses(nb::handle exit, nb::python_error &error);

// `with manager as entered: body(entered)`: an error of the body goes to the
// manager's __exit__, which may suppress it (the block then ends there); a
// C++ exception leaves the manager as a clean exit would, and goes on.
template <typename Body>
void with(nb::handle manager, Body &&body) {
    nb::object exit = manager.attr("__exit__");
    nb::object entered = manager.attr("__enter__")();
    try {
        body(nb::handle(entered));
    } catch (nb::python_error &error) {
        if (!exit_suppresses(exit, error))
            throw;
        return;
    } catch (...) {
        exit(nb::none(), nb::none(), nb::none());
        throw;
    }
    exit(nb::none(), nb::none(), nb::none());
}
// pandas' own missing-value test of one cell, `pandas.isna(value)` for a
// scalar: None, NaN (of any float or complex type, Decimal), NA, NaT.  Exact
// str, int, bool and float values are answered without pandas; anything else
// asks pandas (imported then), and a value that is not a scalar to pandas (a
// list, an array) is not missing.  Errors of the test propagate.
bool is_missing(nb::handle h);

}  // namespace host
