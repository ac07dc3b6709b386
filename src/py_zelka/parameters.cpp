// py_zelka.parameters -- the model's parameter set: five named sections loaded
// from YAML, checked against a fixed schema, and derived by overrides that
// record their provenance.
#include "host/classes.hpp"
#include "host/host.hpp"
#include "host/yaml_file.hpp"
#include "records/parameter_schema.hpp"

namespace nb = nanobind;

namespace {

struct State : host::State {
    host::Ref path_type{this};        // pathlib.Path
    host::Ref yaml_module{this};      // yaml (safe_load is looked up per call)
    host::Ref parameter_error{this};  // py_zelka.exceptions.ParameterError
};

const char *const rate_basis_hint =
    ". general.rate_basis is new in 0.3: add 'rate_basis: current_pool' to keep the pre-0.3 "
    "reading (harvest.hazard_weeks as weekly hazards), or 'rate_basis: cohort' (the new "
    "default; hazard_weeks are then shares of the cohort at the harvest threshold)";

const char *const carrying_capacity_refused =
    "sucker_selection.carrying_capacity only applies under general.rate_basis 'current_pool': "
    "under 'cohort' every mother keeps exactly one follower, so the number of mats is already "
    "constant, and damping the followers would shrink the farm every generation. Set "
    "carrying_capacity to null, or switch rate_basis first.";

using host::contains;

// The items of `items`, in the order they come, that are not in `container`.
nb::list not_in(nb::handle items, nb::handle container) {
    nb::list absent;
    for (nb::handle item : items)
        if (!contains(container, item))
            absent.append(item);
    return absent;
}

bool truthy(nb::handle value) { return host::truth(value); }

// `a == b` as a truth value (no identity shortcut).
bool equals(nb::handle a, const char *b) {
    nb::str text(b);
    nb::object result = nb::steal(PyObject_RichCompare(a.ptr(), text.ptr(), Py_EQ));
    if (!result.is_valid())
        throw nb::python_error();
    return truthy(result);
}

nb::object attribute(nb::handle obj, nb::handle name) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

// dict(value): a new plain dict from a mapping or a sequence of pairs.
nb::object dict_of(nb::handle value) {
    return nb::handle((PyObject *) &PyDict_Type)(value);
}

// list(value)
nb::list list_of(nb::handle value) {
    PyObject *list = PySequence_List(value.ptr());
    if (!list)
        throw nb::python_error();
    return nb::steal<nb::list>(list);
}

// sorted(value)
nb::list sorted_list(nb::handle value) {
    nb::list list = list_of(value);
    if (PyList_Sort(list.ptr()) != 0)
        throw nb::python_error();
    return list;
}

nb::object difference(nb::handle a, nb::handle b) {
    PyObject *result = PyNumber_Subtract(a.ptr(), b.ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// cls(**kwargs)
nb::object construct(nb::handle cls, nb::handle kwargs) {
    nb::tuple no_args;
    PyObject *result = PyObject_Call(cls.ptr(), no_args.ptr(), kwargs.ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// ---------------------------------------------------------------------------
// ParameterSet

// Value checks of every construction: a known rate basis, and no carrying
// capacity under the "cohort" basis.
void post_init(State &s, nb::handle self) {
    nb::object basis = self.attr("general").attr("get")("rate_basis");
    nb::object rate_bases = s.global("_RATE_BASES");
    if (!contains(rate_bases, basis))
        host::raise(s.parameter_error,
                    host::text("general.rate_basis must be one of ", host::Str{list_of(rate_bases)},
                               "; got ", host::Repr{basis}));
    if (equals(basis, "cohort") &&
        truthy(self.attr("sucker_selection").attr("get")("carrying_capacity")))
        host::raise(s.parameter_error, nb::str(carrying_capacity_refused));
}

nb::object from_kessot_defaults(State &s, nb::handle cls) {
    return cls.attr("from_yaml")(s.global("_DEFAULTS_PATH"),
                                 nb::arg("source_tag") = "kessot_defaults");
}

nb::object from_yaml(State &s, nb::handle cls, nb::handle path, nb::handle source_tag) {
    nb::object p = s.path_type.get()(path);
    nb::object raw = host::load_yaml_file(p, s.yaml_module);
    nb::object tag = truthy(source_tag) ? nb::borrow(source_tag) : p.attr("stem");
    return cls.attr("_from_mapping")(raw, nb::arg("source_tag") = tag);
}

nb::object from_mapping(State &s, nb::handle cls, nb::handle raw, nb::handle source_tag) {
    nb::object sections = s.global("_SECTIONS");

    nb::list missing = not_in(sections, raw);
    if (nb::len(missing) != 0)
        host::raise(s.parameter_error,
                    host::text("parameter data is missing section(s): ", host::Str{missing}));

    nb::object known_keys = s.global("_KNOWN_KEYS");
    nb::dict fields;
    for (nb::handle name : sections) {
        nb::object copy = dict_of(raw[name]);
        nb::object known = known_keys[name];
        nb::object keys = copy.attr("keys")();
        nb::list missing_keys = sorted_list(difference(known, keys));
        nb::list unknown_keys = sorted_list(difference(keys, known));
        if (nb::len(missing_keys) != 0 || nb::len(unknown_keys) != 0) {
            nb::str hint("");
            if (equals(name, "general") && contains(missing_keys, nb::str("rate_basis")))
                hint = nb::str(rate_basis_hint);
            host::raise(s.parameter_error,
                        host::text("section ", host::Repr{name}, ": missing key(s) ",
                                   host::Str{missing_keys}, "; unknown key(s) ",
                                   host::Str{unknown_keys}, " (expected exactly ",
                                   host::Str{sorted_list(known)}, ")", hint));
        }
        fields[name] = copy;
    }
    fields["source"] = nb::make_tuple(source_tag);
    return construct(cls, fields);
}

nb::object section_copy(State &s, nb::handle self, nb::handle section) {
    nb::object sections = s.global("_SECTIONS");
    if (!contains(sections, section))
        host::raise(s.parameter_error,
                    host::text("unknown parameter section ", host::Repr{section},
                               "; expected one of ", host::Str{sections}));
    return dict_of(attribute(self, section));
}

nb::object override_section(State &s, nb::handle self, nb::handle section, nb::handle updates,
                            nb::handle source) {
    nb::object current = self.attr("_section_copy")(section);

    nb::list unknown = not_in(updates, current);
    if (nb::len(unknown) != 0)
        host::raise(s.parameter_error,
                    host::text("unknown key(s) ", host::Str{unknown}, " for section ",
                               host::Repr{section}, "; known keys are ",
                               host::Str{sorted_list(current)}));
    current.attr("update")(updates);

    nb::dict fields;
    for (nb::handle name : s.global("_SECTIONS"))
        fields[name] = dict_of(attribute(self, name));
    fields[section] = current;
    fields["source"] = self.attr("source") + nb::make_tuple(source);
    return construct(s.global("ParameterSet"), fields);
}

void init(nb::module_ &m, State &s) {
    m.doc() =
        "The model's parameter set.\n\n"
        "A ParameterSet groups the parameters of the population simulation in five\n"
        "sections -- general, flowering, sucker_selection, harvest and\n"
        "mortality_replacement -- each a mapping from key to value.  Sets are loaded\n"
        "from a YAML parameter file (ParameterSet.from_yaml) or from the defaults that\n"
        "ship with the package (ParameterSet.from_kessot_defaults), are checked\n"
        "against a fixed schema, and are changed only by deriving a new set with\n"
        "override().  Every set records where its values came from in source.";

    s.path_type = host::from_import("pathlib", "Path");
    s.yaml_module = host::import("yaml");

    // The names the field annotations refer to, so that they resolve.
    host::publish(m, "Any", host::from_import("typing", "Any"));
    host::publish(m, "Mapping", host::from_import("collections.abc", "Mapping"));
    s.parameter_error =
        host::publish(m, "ParameterError", host::from_import("py_zelka.exceptions", "ParameterError"));

    nb::object here = s.path_type.get()(m.attr("__file__")).attr("parent");
    host::publish(m, "_DEFAULTS_PATH",
                  here / nb::str("defaults") / nb::str("kessot_defaults.yaml"));

    // The schema's sections and keys: _SECTIONS, _RATE_BASES, _KNOWN_KEYS.
    nb::list names;
    nb::dict known_keys;
    for (const schema::Section &section : schema::sections) {
        names.append(nb::str(section.name));
        nb::list keys;
        for (const schema::Key &key : schema::keys)
            if (schema::same(key.section, section.name))
                keys.append(nb::str(key.name));
        PyObject *frozen = PyFrozenSet_New(keys.ptr());
        if (!frozen)
            throw nb::python_error();
        known_keys[section.name] = nb::steal(frozen);
    }
    host::publish(m, "_SECTIONS", nb::tuple(names));
    nb::list bases;
    for (const char *basis : schema::rate_bases)
        bases.append(nb::str(basis));
    host::publish(m, "_RATE_BASES", nb::tuple(bases));
    host::publish(m, "_KNOWN_KEYS", known_keys);

    host::ClassBuilder set(
            s, "ParameterSet",
            "The immutable parameter set of the population simulation.\n\n"
            "general                a base temperature (degrees Celsius), the week length\n"
            "                       (days), the population epsilon, the maximum ages (weeks)\n"
            "                       of the vegetative and reproductive stages, and\n"
            "                       rate_basis: 'cohort' or 'current_pool'\n"
            "flowering              threshold_dd, and the dispersion shape amplitude,\n"
            "                       peak_weeks, spread\n"
            "sucker_selection       the same four keys and carrying_capacity (only under\n"
            "                       'current_pool'; may be None)\n"
            "harvest                threshold_dd and hazard_weeks, the per-week values after\n"
            "                       the harvest threshold, read as rate_basis says\n"
            "mortality_replacement  death_rate_vegetative, death_rate_reproductive,\n"
            "                       replacement_rate\n"
            "source                 where the values came from: labels, oldest first\n\n"
            "The set is frozen; derive a changed set with override().  Construction checks\n"
            "general.rate_basis and refuses a carrying capacity under 'cohort'; loading a\n"
            "file also checks that every section holds exactly its known keys.");
    for (const schema::Section &section : schema::sections)
        set.field(section.name, section.annotation);
    set.field("source", "tuple[str, ...]", nb::tuple())
        .method<&post_init>("__post_init__", "(self, /) -> None",
                    "Check the values of a new set.\n\n"
                    "general.rate_basis must be 'cohort' or 'current_pool'; under 'cohort'\n"
                    "sucker_selection.carrying_capacity must be null (or zero).  Raises\n"
                    "ParameterError otherwise.")
        .class_method<&from_kessot_defaults>("from_kessot_defaults", "(cls, /) -> ParameterSet",
                          "Load the parameter set that ships with the package.\n\n"
                          "The file is read afresh on every call; the set's source is\n"
                          "('kessot_defaults',).")
        .class_method<&from_yaml>(
                          "from_yaml",
                          "(cls, /, path: str | os.PathLike, *, source_tag: str | None = None) "
                          "-> ParameterSet",
                          "Load a parameter set from a YAML parameter file.\n\n"
                          "path is a text path or a path object; the file is read as UTF-8.\n"
                          "The set's source is (source_tag,), or the file name without its\n"
                          "suffix when source_tag is empty or None.  Missing sections, wrong\n"
                          "key sets and invalid values raise ParameterError; a missing file\n"
                          "or a YAML syntax error raises the usual error of the host.")
        .class_method<&from_mapping>(
                          "_from_mapping", "(cls, /, raw: Mapping, *, source_tag: str) -> ParameterSet",
                          "Build a set from already parsed parameter data.\n\n"
                          "Every section must be present and hold exactly its known keys;\n"
                          "each section is copied into a new dict (a mapping or a sequence\n"
                          "of key-value pairs); other top-level entries are ignored.  The\n"
                          "set's source is (source_tag,).")
        .method<&section_copy>("_section_copy", "(self, /, section: str) -> dict",
                    "A new plain dict holding the content of the named section.")
        .method<&override_section>(
                    "override",
                    "(self, /, section: str, updates: Mapping[str, Any], *, "
                    "source: str = 'override') -> ParameterSet",
                    "Derive a set with some values of one section replaced.\n\n"
                    "updates maps keys of the section to their new values; only keys the\n"
                    "section already holds may be named.  The new set's source is this\n"
                    "set's source with the label source appended; its values are checked\n"
                    "as on every construction.  This set is not changed.");
    host::publish(m, "ParameterSet", set.record());
}

}  // namespace

ZELKA_MODULE(parameters, State, init)
