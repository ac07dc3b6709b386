#include "host/function.hpp"

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace host {

namespace {

enum Kind { positional_only, positional_or_keyword, keyword_only };

struct FunctionObject : detail::FunctionHead {
    PyObject *module;       // strong: the state lives as long as the module
    PyObject *name;
    PyObject *qualname;
    PyObject *module_name;
    PyObject *doc;
    PyObject *annotations;  // dict of the annotation texts
    PyObject *returns;      // the return annotation text, or null
    PyObject *signature;    // inspect.Signature, made on first use
    int positional_only;    // [0, positional_only): positional-only
    int positional;         // [positional_only, positional): positional or keyword; the rest keyword-only
    PyObject *names[max_parameters];        // interned
    PyObject *defaults[max_parameters];     // null: required
    PyObject *param_annotations[max_parameters];
};

FunctionObject *as_function(PyObject *o) { return static_cast<FunctionObject *>(reinterpret_cast<detail::FunctionHead *>(o)); }

// ---------------------------------------------------------------------------
// Binding arguments

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

const char *text_of(PyObject *s) {
    const char *text = PyUnicode_AsUTF8AndSize(s, nullptr);
    return text ? text : "?";
}

bool report_missing(FunctionObject *f, PyObject **out, int from, int to, const char *kind) {
    std::vector<const char *> absent;
    for (int i = from; i < to; ++i)
        if (!out[i])
            absent.push_back(text_of(f->names[i]));
    if (absent.empty())
        return false;
    PyErr_Format(PyExc_TypeError, "%U() missing %d required %s argument%s: %s", f->qualname,
                 (int) absent.size(), kind, absent.size() == 1 ? "" : "s",
                 listing(absent).c_str());
    return true;
}

// The parameter in [from, count) named `key`, or -1.
int find_keyword(FunctionObject *f, PyObject *key, int from) {
    for (int i = from; i < f->count; ++i)
        if (f->names[i] == key)
            return i;
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(key, &size);
    if (!text) {
        PyErr_Clear();
        return -1;
    }
    for (int i = from; i < f->count; ++i) {
        Py_ssize_t n = 0;
        const char *name = PyUnicode_AsUTF8AndSize(f->names[i], &n);
        if (name && n == size && std::memcmp(name, text, (size_t) size) == 0)
            return i;
    }
    return -1;
}

// "f() got some positional-only arguments passed as keyword arguments:
// 'a, b'" when keywords name positional-only parameters (all of them named).
bool positional_only_as_keywords(FunctionObject *f, PyObject *kwnames) {
    std::string names;
    Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GetItem(kwnames, k);
        int i = find_keyword(f, key, 0);
        if (i < 0 || i >= f->positional_only)
            continue;
        if (!names.empty())
            names += ", ";
        names += text_of(f->names[i]);
    }
    if (names.empty())
        return false;
    PyErr_Format(PyExc_TypeError,
                 "%U() got some positional-only arguments passed as keyword arguments: '%s'",
                 f->qualname, names.c_str());
    return true;
}

// What the interpreter says of too many positional arguments.
void too_many_positional(FunctionObject *f, Py_ssize_t given, PyObject **out) {
    Py_ssize_t kwonly_given = 0;
    for (int i = f->positional; i < f->count; ++i)
        if (out[i])
            ++kwonly_given;
    int least = 0;
    while (least < f->positional && !f->defaults[least])
        ++least;
    std::string sig = least < f->positional
                          ? "from " + std::to_string(least) + " to " + std::to_string(f->positional)
                          : std::to_string(f->positional);
    bool plural = least < f->positional || f->positional != 1;
    std::string kwonly_sig;
    if (kwonly_given)
        kwonly_sig = std::string(" positional argument") + (given != 1 ? "s" : "") + " (and " +
                     std::to_string(kwonly_given) + " keyword-only argument" +
                     (kwonly_given != 1 ? "s" : "") + ")";
    PyErr_Format(PyExc_TypeError, "%U() takes %s positional argument%s but %zd%s %s given",
                 f->qualname, sig.c_str(), plural ? "s" : "", given, kwonly_sig.c_str(),
                 given == 1 && !kwonly_given ? "was" : "were");
}

// Binds the arguments to the parameters in the interpreter's order: the
// positional ones, then the keywords (an unknown one, or a second value for
// a parameter, fails at once), then too many positional arguments, then the
// defaults and what is still missing.
bool bind(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
          PyObject **out) {
    for (int i = 0; i < f->count; ++i)
        out[i] = i < nargs && i < f->positional ? args[i] : nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GetItem(kwnames, k);
            int i = find_keyword(f, key, f->positional_only);
            if (i < 0) {
                if (!positional_only_as_keywords(f, kwnames))
                    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'",
                                 f->qualname, key);
                return false;
            }
            if (out[i]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'",
                             f->qualname, f->names[i]);
                return false;
            }
            out[i] = args[nargs + k];
        }
    }
    if (nargs > f->positional) {
        too_many_positional(f, nargs, out);
        return false;
    }
    for (int i = 0; i < f->count; ++i)
        if (!out[i])
            out[i] = f->defaults[i];
    return !report_missing(f, out, 0, f->positional, "positional") &&
           !report_missing(f, out, f->positional, f->count, "keyword-only");
}

// ---------------------------------------------------------------------------
// The type

int traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module_name);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->returns);
    Py_VISIT(f->signature);
    for (int i = 0; i < f->count; ++i) {
        Py_VISIT(f->names[i]);
        Py_VISIT(f->defaults[i]);
        Py_VISIT(f->param_annotations[i]);
    }
    return 0;
}

int clear(PyObject *self) {
    FunctionObject *f = as_function(self);
    f->state = nullptr;
    f->simple = false;  // every call then takes bind_call, which refuses it
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->returns);
    Py_CLEAR(f->signature);
    for (int i = 0; i < f->count; ++i) {
        Py_CLEAR(f->defaults[i]);
        Py_CLEAR(f->param_annotations[i]);
    }
    return 0;
}

void dealloc(PyObject *self) {
    FunctionObject *f = as_function(self);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    for (int i = 0; i < f->count; ++i)
        Py_CLEAR(f->names[i]);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyObject *descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None)
        return Py_NewRef(self);
    FunctionObject *f = as_function(self);
    if (f->state && !f->state->cleared)
        return PyObject_CallFunctionObjArgs(f->state->method_type.ptr(), self, obj, nullptr);
    PyObject *types = PyImport_ImportModule("types");
    if (!types)
        return nullptr;
    PyObject *method_type = PyObject_GetAttrString(types, "MethodType");
    Py_DECREF(types);
    if (!method_type)
        return nullptr;
    PyObject *bound = PyObject_CallFunctionObjArgs(method_type, self, obj, nullptr);
    Py_DECREF(method_type);
    return bound;
}

PyObject *repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject *reduce(PyObject *self, PyObject *) { return Py_NewRef(as_function(self)->qualname); }

PyObject *or_none(PyObject *o) { return Py_NewRef(o ? o : Py_None); }

PyObject *get_name(PyObject *self, void *) { return or_none(as_function(self)->name); }
PyObject *get_qualname(PyObject *self, void *) { return or_none(as_function(self)->qualname); }
PyObject *get_module(PyObject *self, void *) { return or_none(as_function(self)->module_name); }
PyObject *get_doc(PyObject *self, void *) { return or_none(as_function(self)->doc); }

PyObject *get_annotations(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    if (!f->annotations)
        f->annotations = PyDict_New();
    return f->annotations ? Py_NewRef(f->annotations) : nullptr;
}

// inspect.Signature of the function, with the annotations as texts.
PyObject *get_signature(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    if (f->signature)
        return Py_NewRef(f->signature);
    try {
        nb::object inspect = nb::module_::import_("inspect");
        nb::object parameter = inspect.attr("Parameter");
        nb::object empty = parameter.attr("empty");
        nb::object kinds[3] = {parameter.attr("POSITIONAL_ONLY"),
                               parameter.attr("POSITIONAL_OR_KEYWORD"),
                               parameter.attr("KEYWORD_ONLY")};
        nb::list parameters;
        for (int i = 0; i < f->count; ++i) {
            int kind = i < f->positional_only ? positional_only
                       : i < f->positional    ? positional_or_keyword
                                              : keyword_only;
            nb::handle annotation = f->param_annotations[i] ? nb::handle(f->param_annotations[i])
                                                            : nb::handle(empty);
            nb::handle default_value = f->defaults[i] ? nb::handle(f->defaults[i]) : nb::handle(empty);
            parameters.append(parameter(nb::handle(f->names[i]), kinds[kind],
                                        nb::arg("default") = default_value,
                                        nb::arg("annotation") = annotation));
        }
        nb::handle returns = f->returns ? nb::handle(f->returns) : nb::handle(empty);
        nb::object signature =
            inspect.attr("Signature")(parameters, nb::arg("return_annotation") = returns);
        f->signature = signature.release().ptr();
        return Py_NewRef(f->signature);
    } catch (nb::python_error &error) {
        error.restore();
    } catch (const std::exception &error) {
        detail::restore_error(error);
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return nullptr;
}

// A function's __module__ is its own; the type's namespace keeps the type's
// (so that the type itself names its module as a class should).
PyObject *getattro(PyObject *self, PyObject *name) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__module__") == 0)
        return get_module(self, nullptr);
    return PyObject_GenericGetAttr(self, name);
}

PyGetSetDef getset[] = {
    {"__doc__", &get_doc, nullptr, nullptr, nullptr},
    {"__name__", &get_name, nullptr, nullptr, nullptr},
    {"__qualname__", &get_qualname, nullptr, nullptr, nullptr},
    {"__annotations__", &get_annotations, nullptr, nullptr, nullptr},
    {"__signature__", &get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", &reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, (Py_ssize_t) offsetof(detail::FunctionHead, vectorcall),
     Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, (void *) &dealloc},
    {Py_tp_traverse, (void *) &traverse},
    {Py_tp_clear, (void *) &clear},
    {Py_tp_descr_get, (void *) &descr_get},
    {Py_tp_repr, (void *) &repr},
    {Py_tp_getattro, (void *) &getattro},
    {Py_tp_call, (void *) &PyVectorcall_Call},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
    {Py_tp_members, members},
    {0, nullptr},
};

PyType_Spec function_type_layout = {
    "py_zelka.function",
    (int) sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

// ---------------------------------------------------------------------------
// Signatures

struct Parameter {
    std::string name;
    std::string annotation;
    Kind kind = positional_or_keyword;
    std::string default_text;  // empty: required
};

struct Parsed {
    std::vector<Parameter> parameters;
    std::string returns;
};

std::string trimmed(const std::string &text) {
    size_t begin = text.find_first_not_of(" \t\n");
    if (begin == std::string::npos)
        return std::string();
    size_t end = text.find_last_not_of(" \t\n");
    return text.substr(begin, end - begin + 1);
}

[[noreturn]] void bad_signature(const std::string &signature, const char *why) {
    throw std::invalid_argument("bad signature " + signature + ": " + why);
}

// The position of the first `c` outside brackets and quotes, from `from`.
size_t find_outside(const std::string &text, char c, size_t from = 0) {
    int depth = 0;
    char quote = 0;
    for (size_t i = from; i < text.size(); ++i) {
        char x = text[i];
        if (quote) {
            if (x == quote)
                quote = 0;
        } else if (x == c && depth == 0) {
            return i;
        } else if (x == '\'' || x == '"') {
            quote = x;
        } else if (x == '[' || x == '(' || x == '{') {
            ++depth;
        } else if (x == ']' || x == ')' || x == '}') {
            --depth;
        }
    }
    return std::string::npos;
}

Parsed parse(const std::string &signature) {
    Parsed parsed;
    std::string text = trimmed(signature);
    if (text.empty() || text[0] != '(')
        bad_signature(signature, "expected '('");
    // The parenthesis that closes the opening one.
    size_t close = find_outside(text, ')', 1);
    if (close == std::string::npos)
        bad_signature(signature, "unbalanced parentheses");
    std::string rest = trimmed(text.substr(close + 1));
    if (!rest.empty()) {
        if (rest.compare(0, 2, "->") != 0)
            bad_signature(signature, "expected '->' after the parameters");
        parsed.returns = trimmed(rest.substr(2));
    }
    std::string inner = text.substr(1, close - 1);
    Kind kind = positional_or_keyword;
    size_t start = 0;
    while (start <= inner.size()) {
        size_t comma = find_outside(inner, ',', start);
        std::string item = trimmed(inner.substr(start, comma == std::string::npos
                                                           ? std::string::npos
                                                           : comma - start));
        start = comma == std::string::npos ? inner.size() + 1 : comma + 1;
        if (item.empty())
            continue;
        if (item == "/") {
            for (Parameter &p : parsed.parameters)
                p.kind = positional_only;
            continue;
        }
        if (item == "*") {
            kind = keyword_only;
            continue;
        }
        Parameter p;
        p.kind = kind;
        size_t equals = find_outside(item, '=');
        std::string head = item.substr(0, equals);
        if (equals != std::string::npos)
            p.default_text = trimmed(item.substr(equals + 1));
        size_t colon = find_outside(head, ':');
        p.name = trimmed(head.substr(0, colon));
        if (colon != std::string::npos)
            p.annotation = trimmed(head.substr(colon + 1));
        if (p.name.empty())
            bad_signature(signature, "a parameter without a name");
        parsed.parameters.push_back(p);
    }
    return parsed;
}

// The value of a default written in a signature: None, True, False, an
// integer, a quoted text or ().
nb::object default_value(const std::string &signature, const std::string &text) {
    if (text == "None")
        return nb::none();
    if (text == "True")
        return nb::bool_(true);
    if (text == "False")
        return nb::bool_(false);
    if (text == "()")
        return nb::tuple();
    if (text.size() >= 2 && (text[0] == '\'' || text[0] == '"') && text.back() == text[0])
        return nb::str(text.substr(1, text.size() - 2).c_str());
    char *end = nullptr;
    PyObject *number = PyLong_FromString(text.c_str(), &end, 10);
    if (number && end && *end == '\0')
        return nb::steal(number);
    Py_XDECREF(number);
    PyErr_Clear();
    bad_signature(signature, "a default that is not a literal");
}

nb::object interned(const std::string &text) {
    PyObject *s = PyUnicode_InternFromString(text.c_str());
    if (!s)
        throw nb::python_error();
    return nb::steal(s);
}

}  // namespace

namespace detail {

bool bind_call(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames,
               PyObject **bound) {
    FunctionObject *f = as_function(callable);
    if (!f->state || f->state->cleared) {
        PyErr_Format(PyExc_RuntimeError, "%U() cannot run: its module %U was unloaded",
                     f->qualname, f->module_name);
        return false;
    }
    return bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
}

void restore_error(const std::exception &error) {
    if (dynamic_cast<const std::bad_alloc *>(&error)) {
        PyErr_NoMemory();
        return;
    }
    PyObject *type = PyExc_RuntimeError;
    if (dynamic_cast<const nb::cast_error *>(&error)) {
        type = PyExc_TypeError;
    } else if (auto *builtin = dynamic_cast<const nb::builtin_exception *>(&error)) {
        switch (builtin->type()) {
        case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
        case nb::exception_type::index_error: type = PyExc_IndexError; break;
        case nb::exception_type::key_error: type = PyExc_KeyError; break;
        case nb::exception_type::value_error: type = PyExc_ValueError; break;
        case nb::exception_type::type_error: type = PyExc_TypeError; break;
        case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
        case nb::exception_type::import_error: type = PyExc_ImportError; break;
        case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
        default: break;
        }
    }
    PyErr_SetString(type, error.what());
}

void restore_unknown_error() {
    PyErr_SetString(PyExc_SystemError, "a C++ function raised an unknown C++ exception");
}

PyObject *function_type(PyObject *module) {
    return PyType_FromModuleAndSpec(module, &function_type_layout, nullptr);
}

}  // namespace detail

nb::object make_function(State &state, const char *qualname, const char *signature,
                         const char *doc, vectorcallfunc entry, size_t arity) {
    Parsed parsed = parse(signature);
    if (parsed.parameters.size() != arity || arity > (size_t) max_parameters)
        bad_signature(signature, "the body takes another number of parameters");

    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(state.function_type.ptr());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    nb::object self = nb::steal(alloc(type, 0));
    if (!self.is_valid())
        throw nb::python_error();
    FunctionObject *f = as_function(self.ptr());
    f->vectorcall = entry;
    f->state = &state;
    f->module = Py_NewRef(state.module);

    std::string qualified(qualname);
    size_t dot = qualified.rfind('.');
    f->qualname = interned(qualified).release().ptr();
    f->name = interned(dot == std::string::npos ? qualified : qualified.substr(dot + 1)).release().ptr();
    f->module_name = nb::object(nb::handle(state.module).attr("__name__")).release().ptr();
    f->doc = doc ? nb::str(doc).release().ptr() : nullptr;

    nb::dict annotations;
    f->count = (int) parsed.parameters.size();
    f->positional_only = 0;
    f->positional = 0;
    bool seen_default = false;
    for (int i = 0; i < f->count; ++i) {
        const Parameter &p = parsed.parameters[(size_t) i];
        if (p.kind == positional_only)
            f->positional_only = i + 1;
        if (p.kind != keyword_only)
            f->positional = i + 1;
        if (p.kind != keyword_only && !p.default_text.empty())
            seen_default = true;
        else if (p.kind != keyword_only && seen_default)
            bad_signature(signature, "a required parameter after one with a default");
        f->names[i] = interned(p.name).release().ptr();
        if (!p.default_text.empty())
            f->defaults[i] = default_value(signature, p.default_text).release().ptr();
        if (!p.annotation.empty()) {
            nb::str text(p.annotation.c_str());
            f->param_annotations[i] = text.inc_ref().ptr();
            annotations[nb::handle(f->names[i])] = text;
        }
    }
    f->simple = f->positional == f->count;
    if (!parsed.returns.empty()) {
        f->returns = nb::str(parsed.returns.c_str()).release().ptr();
        annotations["return"] = nb::handle(f->returns);
    }
    f->annotations = annotations.release().ptr();
    return self;
}

bool is_function(State &state, nb::handle f, vectorcallfunc entry) {
    return Py_TYPE(f.ptr()) == reinterpret_cast<PyTypeObject *>(state.function_type.ptr()) &&
           as_function(f.ptr())->vectorcall == entry;
}

}  // namespace host
