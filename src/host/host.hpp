// The bridge between py_zelka's extension modules and the interpreter.
//
// Every module builds its classes with the interpreter's own facilities
// (dataclasses, enum, types) and fills them with C++ functions.  The helpers
// here keep each module file close to the class body it stands for:
//
//   auto cls = host::ClassBuilder(m, "Notice", "One finding of a read.")
//                  .field("kind", "NoticeKind")
//                  .field("week_index", "int | None", nb::none())
//                  .record();
//
// Message text is always assembled from host-formatted pieces (repr, str,
// format), so quotes, escapes and float forms are the interpreter's.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace host {

namespace nb = nanobind;

// ---------------------------------------------------------------------------
// Modules and attributes

// `import name` (the module object).
nb::object import(const char *name);

// `from module import name`.
nb::object from_import(const char *module, const char *name);

// A strong reference that is intentionally never released.  Used for host
// objects cached at module initialisation: releasing them in a static
// destructor would run after the interpreter is gone.
inline PyObject *leak(nb::handle h) { return h.inc_ref().ptr(); }

// ---------------------------------------------------------------------------
// Text of messages

nb::str repr(nb::handle value);    // repr(value)
nb::str str(nb::handle value);     // str(value)
nb::str format(nb::handle value);  // format(value)

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
// Exact `int` / `float` (not subclasses such as bool or numpy scalars).
bool is_exact_int(nb::handle h);
bool is_exact_float(nb::handle h);
// A missing cell as pandas writes it: None, a float NaN (including numpy
// floats), pandas' NA or NaT.  Never raises.
bool is_missing(nb::handle h);

// ---------------------------------------------------------------------------
// Classes

// Builds a class the way a class statement in the module would: namespace in
// class-body order (__module__, __qualname__, __doc__, __annotations__, field
// defaults, then the members), created with `types.new_class` so that bases
// such as `Generic[T]` or `list[Notice]` resolve and `__orig_bases__` is
// recorded.
class ClassBuilder {
  public:
    ClassBuilder(nb::handle module, const char *name, const char *doc = nullptr);

    // Data-class fields, in declaration order.  The annotation is stored as
    // text, as postponed evaluation of annotations would store it.
    ClassBuilder &field(const char *name, const char *annotation);
    ClassBuilder &field(const char *name, const char *annotation, nb::handle default_value);
    ClassBuilder &field_default_factory(const char *name, const char *annotation,
                                        nb::handle factory);

    // An arbitrary namespace entry.
    ClassBuilder &attr(const char *name, nb::handle value);

    // Methods written in C++.  The first parameter of `f` receives `self`
    // (or `cls` for a class method).
    template <typename F, typename... Extra>
    ClassBuilder &method(const char *name, F &&f, const Extra &...extra) {
        return attr(name, nb::cpp_function(std::forward<F>(f), nb::name(name), nb::is_method(),
                                           nb::scope(scope_), extra...));
    }
    template <typename F, typename... Extra>
    ClassBuilder &static_method(const char *name, F &&f, const Extra &...extra) {
        return attr(name, wrap_static(nb::cpp_function(std::forward<F>(f), nb::name(name),
                                                       nb::scope(scope_), extra...)));
    }
    template <typename F, typename... Extra>
    ClassBuilder &class_method(const char *name, F &&f, const Extra &...extra) {
        return attr(name, wrap_class(nb::cpp_function(std::forward<F>(f), nb::name(name),
                                                      nb::is_method(), nb::scope(scope_),
                                                      extra...)));
    }
    // A read-only property whose getter is `f(self)`.
    template <typename F>
    ClassBuilder &property(const char *name, F &&f, const char *doc = nullptr) {
        nb::object getter = doc ? nb::cpp_function(std::forward<F>(f), nb::name(name),
                                                   nb::is_method(), nb::scope(scope_), doc)
                                : nb::cpp_function(std::forward<F>(f), nb::name(name),
                                                   nb::is_method(), nb::scope(scope_));
        return attr(name, wrap_property(getter));
    }

    // A plain class.
    nb::object make(nb::handle bases = nb::handle());
    // A data class: `dataclasses.dataclass(frozen=..., slots=...)` applied to
    // the plain class.  With slots the decorator returns a new class: that is
    // the one returned here.
    nb::object record(nb::handle bases = nb::handle(), bool frozen = true, bool slots = true);

  private:
    static nb::object wrap_static(nb::handle f);
    static nb::object wrap_class(nb::handle f);
    static nb::object wrap_property(nb::handle f);

    nb::object module_name_;
    nb::object name_;
    nb::object scope_;  // carries __module__/__qualname__ for the C++ methods
    nb::dict annotations_;
    std::vector<std::pair<nb::object, nb::object>> entries_;
};

// `class name(str, Enum)` with the members in order.
nb::object str_enum(nb::handle module, const char *name, const char *doc,
                    const std::vector<std::pair<const char *, const char *>> &members);

// `class name(*bases): """doc"""` -- a class with no members of its own.
nb::object empty_class(nb::handle module, const char *name, const char *doc, nb::handle bases);

// Binds `value` as a module attribute and returns it.
nb::object publish(nb::module_ &m, const char *name, nb::handle value);

}  // namespace host
