#include "host/classes.hpp"

#include "host/host.hpp"

namespace host {

ClassBuilder::ClassBuilder(State &state, const char *name, const char *doc)
    : state_(state), name_(name) {
    entries_.emplace_back(nb::str("__module__"), nb::handle(state.module).attr("__name__"));
    entries_.emplace_back(nb::str("__qualname__"), nb::str(name));
    if (doc)
        entries_.emplace_back(nb::str("__doc__"), nb::str(doc));
}

std::string ClassBuilder::qualname(const char *member) const { return name_ + "." + member; }

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

nb::object ClassBuilder::wrap(const char *builtin, nb::handle f) {
    return from_import("builtins", builtin)(f);
}

nb::object ClassBuilder::make(nb::handle bases) {
    // What types.new_class does, with the namespace filled here.
    nb::object given = bases.is_valid() ? nb::borrow(bases) : nb::object(nb::tuple());
    nb::object types = import("types");
    nb::object resolved = types.attr("resolve_bases")(given);
    nb::tuple prepared = nb::borrow<nb::tuple>(
        types.attr("prepare_class")(nb::str(name_.c_str()), resolved, nb::none()));
    nb::object meta = prepared[0], ns = prepared[1];
    nb::dict kwds = nb::borrow<nb::dict>(prepared[2]);
    for (const auto &[key, value] : entries_)
        ns[key] = value;
    if (!resolved.is(given))
        ns["__orig_bases__"] = given;
    return meta(nb::str(name_.c_str()), resolved, ns, **kwds);
}

nb::object ClassBuilder::record(nb::handle bases, bool frozen, bool slots, bool eq) {
    nb::object plain = make(bases);
    nb::object dataclass = from_import("dataclasses", "dataclass");
    nb::object decorate =
        dataclass(nb::arg("frozen") = frozen, nb::arg("slots") = slots, nb::arg("eq") = eq);
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

nb::object empty_class(State &state, const char *name, const char *doc, nb::handle bases) {
    return ClassBuilder(state, name, doc).make(bases);
}

}  // namespace host
