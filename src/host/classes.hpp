// Host-made classes: every class of the package is created by the
// interpreter's own facilities (a class statement's steps, dataclasses,
// enum), and its methods are the module's C++ functions (function.hpp).
//
//   nb::object cls = host::ClassBuilder(s, "Notice", "One finding of a read.")
//                        .field("kind", "NoticeKind")
//                        .field("week_index", "int | None", nb::none())
//                        .method<&emit>("emit", "(self, /) -> None", "doc")
//                        .record();
#pragma once

#include "host/function.hpp"
#include "host/module.hpp"

#include <string>
#include <utility>
#include <vector>

namespace host {

namespace nb = nanobind;

// Builds a class the way a class statement in the module would: namespace in
// class-body order (__module__, __qualname__, __doc__, __annotations__, field
// defaults, then the members), the bases resolved and the metaclass prepared
// as `types.new_class` does (so that bases such as `Generic[T]` or
// `list[Notice]` resolve and `__orig_bases__` is recorded).
class ClassBuilder {
  public:
    ClassBuilder(State &state, const char *name, const char *doc = nullptr);

    // Data-class fields, in declaration order.  The annotation is stored as
    // text, as postponed evaluation of annotations would store it.
    ClassBuilder &field(const char *name, const char *annotation);
    ClassBuilder &field(const char *name, const char *annotation, nb::handle default_value);
    ClassBuilder &field_default_factory(const char *name, const char *annotation,
                                        nb::handle factory);

    // An arbitrary namespace entry.
    ClassBuilder &attr(const char *name, nb::handle value);

    // C++ methods (see function.hpp): `signature` names `self` (or `cls`)
    // first, as the body's first parameter.
    template <auto F>
    ClassBuilder &method(const char *name, const char *signature, const char *doc) {
        return attr(name, function<F>(state_, qualname(name).c_str(), signature, doc));
    }
    template <auto F>
    ClassBuilder &static_method(const char *name, const char *signature, const char *doc) {
        return attr(name, wrap("staticmethod",
                               function<F>(state_, qualname(name).c_str(), signature, doc)));
    }
    template <auto F>
    ClassBuilder &class_method(const char *name, const char *signature, const char *doc) {
        return attr(name, wrap("classmethod",
                               function<F>(state_, qualname(name).c_str(), signature, doc)));
    }
    // A read-only property whose getter is the body `F(state, self)`.
    template <auto F>
    ClassBuilder &property(const char *name, const char *annotation, const char *doc) {
        std::string signature = std::string("(self, /) -> ") + annotation;
        return attr(name, wrap("property", function<F>(state_, qualname(name).c_str(),
                                                       signature.c_str(), doc)));
    }

    // A plain class.
    nb::object make(nb::handle bases = nb::handle());
    // A data class: `dataclasses.dataclass(frozen=..., slots=..., eq=...)`
    // applied to the plain class.  With slots the decorator returns a new
    // class: that is the one returned here.
    nb::object record(nb::handle bases = nb::handle(), bool frozen = true, bool slots = true,
                      bool eq = true);

  private:
    std::string qualname(const char *member) const;
    static nb::object wrap(const char *builtin, nb::handle f);

    State &state_;
    std::string name_;
    nb::dict annotations_;
    std::vector<std::pair<nb::object, nb::object>> entries_;
};

// `class name(str, Enum)` with the members in order.
nb::object str_enum(nb::handle module, const char *name, const char *doc,
                    const std::vector<std::pair<const char *, const char *>> &members);

// `class name(*bases): """doc"""` -- a class with no members of its own.
nb::object empty_class(State &state, const char *name, const char *doc, nb::handle bases);

}  // namespace host
