#include "host/host.hpp"

#include <cmath>

namespace host {

nb::object import(const char *name) { return nb::module_::import_(name); }

nb::object from_import(const char *module, const char *name) {
    return import(module).attr(name);
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

nb::str format(nb::handle value) { return checked_text(PyObject_Format(value.ptr(), nullptr)); }

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
    nb::object exc = exception_of(cls, message);
    nb::object value = nb::borrow(cause.value());
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

bool is_exact_int(nb::handle h) { return Py_IS_TYPE(h.ptr(), &PyLong_Type); }

bool is_exact_float(nb::handle h) { return Py_IS_TYPE(h.ptr(), &PyFloat_Type); }

bool is_missing(nb::handle h) {
    PyObject *o = h.ptr();
    if (o == Py_None)
        return true;
    if (PyFloat_Check(o))
        return std::isnan(PyFloat_AsDouble(o));
    if (PyLong_Check(o) || PyUnicode_Check(o))
        return false;
    // pandas' NA and NaT, numpy floating scalars: recognised by their type,
    // without importing pandas or numpy.
    PyObject *type = (PyObject *) Py_TYPE(o);
    nb::object name = nb::steal(PyObject_GetAttrString(type, "__name__"));
    if (!name.is_valid()) {
        PyErr_Clear();
        return false;
    }
    const char *n = PyUnicode_AsUTF8AndSize(name.ptr(), nullptr);
    if (n == nullptr) {
        PyErr_Clear();
        return false;
    }
    std::string tname(n);
    if (tname == "NAType" || tname == "NaTType")
        return true;
    if (tname.rfind("float", 0) == 0 || tname == "double" || tname == "longdouble") {
        double v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return std::isnan(v);
    }
    return false;
}

// ---------------------------------------------------------------------------
// Classes

ClassBuilder::ClassBuilder(nb::handle module, const char *name, const char *doc)
    : module_name_(module.attr("__name__")), name_(nb::str(name)) {
    nb::object simple_namespace = from_import("types", "SimpleNamespace");
    scope_ = simple_namespace(nb::arg("__module__") = module_name_,
                              nb::arg("__qualname__") = name_);
    // The C++ functions keep a borrowed pointer to their scope.
    leak(scope_);
    entries_.emplace_back(nb::str("__module__"), module_name_);
    entries_.emplace_back(nb::str("__qualname__"), name_);
    if (doc)
        entries_.emplace_back(nb::str("__doc__"), nb::str(doc));
}

ClassBuilder &ClassBuilder::field(const char *name, const char *annotation) {
    // The annotations dict enters the namespace with the first field, so it
    // stands before the defaults and the members, as in a class body.
    if (annotations_.size() == 0)
        entries_.emplace_back(nb::str("__annotations__"), annotations_);
    annotations_[name] = nb::str(annotation);
    return *this;
}

ClassBuilder &ClassBuilder::field(const char *name, const char *annotation,
                                  nb::handle default_value) {
    field(name, annotation);
    return attr(name, default_value);
}

ClassBuilder &ClassBuilder::field_default_factory(const char *name, const char *annotation,
                                                  nb::handle factory) {
    nb::object field_fn = from_import("dataclasses", "field");
    return field(name, annotation, field_fn(nb::arg("default_factory") = factory));
}

ClassBuilder &ClassBuilder::attr(const char *name, nb::handle value) {
    entries_.emplace_back(nb::str(name), nb::borrow(value));
    return *this;
}

nb::object ClassBuilder::wrap_static(nb::handle f) {
    return from_import("builtins", "staticmethod")(f);
}

nb::object ClassBuilder::wrap_class(nb::handle f) {
    return from_import("builtins", "classmethod")(f);
}

nb::object ClassBuilder::wrap_property(nb::handle f) {
    return from_import("builtins", "property")(f);
}

nb::object ClassBuilder::make(nb::handle bases) {
    nb::object bases_tuple = bases.is_valid() ? nb::borrow(bases) : nb::object(nb::tuple());
    auto entries = entries_;
    nb::object exec_body = nb::cpp_function([entries](nb::dict ns) {
        for (const auto &[key, value] : entries)
            ns[key] = value;
    });
    nb::object new_class = from_import("types", "new_class");
    return new_class(name_, bases_tuple, nb::none(), exec_body);
}

nb::object ClassBuilder::record(nb::handle bases, bool frozen, bool slots) {
    nb::object plain = make(bases);
    nb::object dataclass = from_import("dataclasses", "dataclass");
    nb::object decorate = dataclass(nb::arg("frozen") = frozen, nb::arg("slots") = slots);
    return decorate(plain);
}

nb::object str_enum(nb::handle module, const char *name, const char *doc,
                    const std::vector<std::pair<const char *, const char *>> &members) {
    nb::list items;
    for (const auto &[key, value] : members)
        items.append(nb::make_tuple(nb::str(key), nb::str(value)));
    nb::object enum_cls = from_import("enum", "Enum");
    nb::object cls = enum_cls(nb::str(name), items, nb::arg("module") = module.attr("__name__"),
                              nb::arg("qualname") = nb::str(name),
                              nb::arg("type") = nb::handle((PyObject *) &PyUnicode_Type));
    if (doc)
        cls.attr("__doc__") = nb::str(doc);
    return cls;
}

nb::object empty_class(nb::handle module, const char *name, const char *doc, nb::handle bases) {
    return ClassBuilder(module, name, doc).make(bases);
}

nb::object publish(nb::module_ &m, const char *name, nb::handle value) {
    m.attr(name) = value;
    return nb::borrow(value);
}

}  // namespace host
